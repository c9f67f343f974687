# Types of the field dump loader, an extension module.
from typing import Protocol, SupportsInt, TypeAlias, TypeVar

import numpy as np
import numpy.typing as npt
from typing_extensions import Buffer

class _Sizes(Protocol):
    # Read by item access alone: a dict, any mapping, or an object with __getitem__.
    def __getitem__(self, key: str, /) -> SupportsInt: ...

# A float32 NumPy array, any other exporter of a float32 buffer (array.array("f"),
# a memoryview), or None; NumPy arrays are named apart because type checkers see
# them as buffers only from Python 3.12 on.
_FloatBuffer: TypeAlias = npt.NDArray[np.float32] | Buffer | None
_F = TypeVar("_F", bound=_FloatBuffer)
_X = TypeVar("_X", bound=_FloatBuffer)
_Y = TypeVar("_Y", bound=_FloatBuffer)
_Z = TypeVar("_Z", bound=_FloatBuffer)

_Float32Array = npt.NDArray[np.float32]

__test__: dict[str, object]

def read_Vintar_bin(
    file_path: str, params: _Sizes
) -> tuple[_Float32Array, _Float32Array, _Float32Array, _Float32Array]:
    """Loads the field dump file_path + ".bin" with the grid sizes params["nx"],
    params["ny"] and params["nz"]: the (nx, ny, nz) field in column-major order
    and the x, y and z axes."""

def read_file(f: _F, x: _X, y: _Y, z: _Z, f_path: bytes | bytearray) -> tuple[_F, _X, _Y, _Z]:
    """Fills four writable, contiguous, one-dimensional float32 buffers with the
    field (x fastest) and the three axes of the dump at f_path (the full file
    name); returns the very objects passed."""
