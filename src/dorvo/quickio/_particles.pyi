# Types of the private module of streamed reductions behind dorvo.quickio.particles.
from collections.abc import Sequence
from typing import SupportsFloat, SupportsInt

import numpy as np
import numpy.typing as npt

_Windows = Sequence[tuple[SupportsInt, SupportsFloat, SupportsFloat]]
# (device, inode, size, mtime_ns, ctime_ns)
_Identity = tuple[int, int, int, int, int]
_Progress = npt.NDArray[np.int64] | None
# A dump's path, or a memoryview of a dump's bytes held in memory.
_Input = bytes | memoryview

def extent(
    path: _Input, n_dimensions: SupportsInt, components: Sequence[SupportsInt], where: _Windows, progress: _Progress
) -> tuple[list[float | None], list[float | None], _Identity | None, int, int]:
    """Finite minimum and maximum of each component (None where it has no
    finite value), the identity of the file read (None for bytes in
    memory), the particles kept and of those the ones finite in every
    component listed."""

def histogram(
    path: _Input,
    n_dimensions: SupportsInt,
    axes: Sequence[tuple[SupportsInt, npt.NDArray[np.float64], float | None]],
    weight: SupportsInt | None,
    where: _Windows,
    expect: _Identity | None,
    progress: _Progress,
) -> npt.NDArray[np.int64] | npt.NDArray[np.float64]:
    """Counts (or weighted sums) over one or two axes of bin edges."""

def moments(
    path: _Input, n_dimensions: SupportsInt, where: _Windows, progress: _Progress
) -> tuple[
    int,
    npt.NDArray[np.float32],
    npt.NDArray[np.float32],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.int64],
]:
    """(count, min, max, mean, std, NaN count) of each component."""

def select(path: _Input, n_dimensions: SupportsInt, where: _Windows, progress: _Progress) -> npt.NDArray[np.float32]:
    """The kept particles, (2n+1, K) float32 in column-major order, in file order."""
