# Types of the phase-space dump loader, an extension module.
from typing import Protocol, SupportsInt, TypeAlias, TypeVar

import numpy as np
import numpy.typing as npt
from typing_extensions import Buffer

class _Dimensions(Protocol):
    # Read by item access alone: a dict, any mapping, or an object with __getitem__.
    def __getitem__(self, key: str, /) -> SupportsInt: ...

# A float32 NumPy array, any other exporter of a float32 buffer (array.array("f"),
# a memoryview), or None; NumPy arrays are named apart because type checkers see
# them as buffers only from Python 3.12 on.
_FloatBuffer: TypeAlias = npt.NDArray[np.float32] | Buffer | None
_PS = TypeVar("_PS", bound=_FloatBuffer)

__test__: dict[str, object]

def total_phase_space_read(file_path: str, params: _Dimensions) -> npt.NDArray[np.float32]:
    """Loads every particle of the phase-space dump file_path + ".bin" read with
    params["n_dimensions"] dimensions: a (2n+1, P) array in column-major order,
    one column per particle."""

def beamdump(ps: _PS, n_dimensions: SupportsInt, f_path: bytes | bytearray) -> _PS:
    """Fills a writable, contiguous, one-dimensional float32 buffer with the
    2n+1 components of every particle of the dump at f_path (the full file
    name); returns the very object passed."""
