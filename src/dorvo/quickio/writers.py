"""Writers of field and phase-space dumps, in the layout the simulation
writes, for tests of an analysis, benchmarks and small reproducers::

    from dorvo.quickio import write_field, write_phase_space
    write_field("run/Ex_out.bin", field, x, y, z, blocks=(2, 4))
    write_phase_space("run/Phasespace.bin", ps, n_dimensions=3)

Both stream: they convert and write a few MiB at a time, so that their
peak memory is the caller's arrays and a few MiB, whatever the dump's size.
Both write the whole dump under a temporary name in the target's folder and
rename it to `path` at the end, so that a reader never sees half a dump and
a failed write leaves no file behind (an existing file at `path` is
replaced only once the new dump is complete).
"""
from __future__ import annotations

import contextlib
import operator
import os
import tempfile
from typing import Iterable, Mapping, Optional, Sequence, Union

import numpy as np

__all__ = ["write_field", "write_phase_space"]

# Bytes converted and written at a time.
CHUNK = 4 << 20
INT32_MAX = 2**31 - 1
# Header entries the writer fills from the field and its blocks.
NPROC_Y, NPROC_Z, NX, NY, NZ, NDIMENSION = 0, 1, 3, 4, 6, 14
# The loader reads the header at fixed offsets that hold for 20 entries.
NPARAM = 20


@contextlib.contextmanager
def _replacing(path):
    """A binary file under a temporary name beside `path`, renamed to
    `path` when the block ends normally and removed otherwise."""
    path = os.fspath(path)
    folder, base = os.path.split(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=f".{base}.", suffix=".part")
    try:
        with os.fdopen(fd, "wb") as f:
            yield f
        # mkstemp makes the file private; give it the mode a new file gets.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def _i32(value) -> bytes:
    return np.int32(value).astype("<i4").tobytes()


def _marker(nbytes: int) -> bytes:
    # The readers skip markers by position; a payload too long for one
    # int32 marker (over 2 GiB) gets -1, as no length is right.
    return _i32(nbytes if nbytes <= INT32_MAX else -1)


def _record(f, payload: bytes) -> None:
    f.write(_marker(len(payload)) + payload + _marker(len(payload)))


def _splits(blocks, ny, nz):
    """(y extents, z extents) from (nproc_y, nproc_z) or explicit extents."""
    if len(blocks) != 2:
        raise ValueError(f"blocks: (nproc_y, nproc_z) or (y extents, z extents), got {blocks!r}")
    out = []
    for spec, total, axis in ((blocks[0], ny, "y"), (blocks[1], nz, "z")):
        if np.ndim(spec) == 0:
            parts = operator.index(spec)
            if parts < 1:
                raise ValueError(f"blocks: at least one block along {axis}, got {parts}")
            sizes = [len(a) for a in np.array_split(np.arange(total), parts)]
        else:
            sizes = [operator.index(s) for s in spec]
            if not sizes or min(sizes) < 0 or sum(sizes) != total:
                raise ValueError(f"blocks: the {axis} extents {sizes} must be >= 0 and add up to {total}")
        out.append(sizes)
    return out


def _header_values(params, nparam, dtype, what):
    values = np.zeros(nparam, dtype)
    if params is None:
        return values
    if isinstance(params, Mapping):
        for index, value in params.items():
            if not 0 <= operator.index(index) < nparam:
                raise ValueError(f"{what}: index {index} outside the header's {nparam} entries")
            values[index] = value
        return values
    given = np.asarray(params, dtype)
    if given.shape != (nparam,):
        raise ValueError(f"{what}: {nparam} values, got shape {given.shape}")
    return given


def write_field(path, field, x, y, z, *, blocks=(1, 1), params: Optional[Mapping[int, int]] = None,
                real_params: Union[Mapping[int, float], Sequence[float], None] = None) -> None:
    """Writes a field dump of `field`, an (nx, ny, nz) array, on the axes
    `x`, `y` and `z` (nx, ny and nz values), to `path` (its full name, with
    ".bin"). Values are stored as float32. `field` may be anything with a
    `shape` and NumPy slicing (an HDF5 dataset, a memory map): it is read a
    few MiB at a time.

    `blocks` cuts the grid as the simulation's processes own it: either
    (nproc_y, nproc_z), the counts of blocks along y and z with the points
    split as evenly as possible, or (y extents, z extents), two lists of
    block sizes that add up to ny and nz. Every block spans all of x.

    The header holds 20 integer and 20 real parameters. The writer sets the
    integer entries 0 (nproc_y), 1 (nproc_z), 3 (nx), 4 (ny), 6 (nz) and 14
    (the dimension count, 3); `params`, {index: value}, sets others (or
    overrides these), and `real_params`, {index: value} or 20 values, the
    real ones. Entries not set are 0.
    """
    if not (hasattr(field, "shape") and hasattr(field, "__getitem__")):
        field = np.asanyarray(field)
    if len(field.shape) != 3:
        raise ValueError(f"field: a 3-D (nx, ny, nz) array, got {len(field.shape)} dimensions")
    nx, ny, nz = (int(n) for n in field.shape)
    axes = [np.asarray(a, "<f4").ravel() for a in (x, y, z)]
    for name, axis, n in zip("xyz", axes, field.shape):
        if axis.size != n:
            raise ValueError(f"{name}: {n} values for a field of shape {field.shape}, got {axis.size}")
    if max(field.shape) > INT32_MAX:
        raise ValueError(f"field: a dump holds at most {INT32_MAX} points along an axis")
    ny_loc, nz_loc = _splits(blocks, ny, nz)
    ints = _header_values(params, NPARAM, "<i4", "params")
    reals = _header_values(real_params, NPARAM, "<f4", "real_params")
    structure = {NPROC_Y: len(ny_loc), NPROC_Z: len(nz_loc), NX: nx, NY: ny, NZ: nz, NDIMENSION: 3}
    for index, value in structure.items():
        if params is None or not isinstance(params, Mapping) or index not in params:
            ints[index] = value

    with _replacing(path) as f:
        _record(f, _i32(NPARAM))
        _record(f, ints.tobytes())
        _record(f, reals.tobytes())
        z0 = 0
        for height in nz_loc:
            y0 = 0
            for width in ny_loc:
                _record(f, np.asarray([nx, width, height], "<i4").tobytes())
                _block(f, field, nx, y0, width, z0, height)
                y0 += width
            z0 += height
        for axis in axes:
            _record(f, axis.tobytes())


def _block(f, field, nx, y0, width, z0, height):
    """One block's data record, x fastest, then y, then z, written a few
    MiB at a time: the rows of x along y, plane after plane along z."""
    nbytes = 4 * nx * width * height
    f.write(_marker(nbytes))
    rows = max(1, CHUNK // (4 * max(nx, 1)))
    for k in range(z0, z0 + height):
        for j in range(y0, y0 + width, rows):
            part = field[:, j:min(j + rows, y0 + width), k]
            # part is (nx, rows): the file wants x fastest, which is the
            # C order of its transpose.
            f.write(np.ascontiguousarray(np.asarray(part, "<f4").T).tobytes())
    f.write(_marker(nbytes))


def write_phase_space(path, blocks_or_array: Union[np.ndarray, Iterable[np.ndarray]], n_dimensions: int) -> None:
    """Writes a phase-space dump of particles with 2n+1 components each
    (n = `n_dimensions`) to `path` (its full name, with ".bin"). Values are
    stored as float32.

    `blocks_or_array` is either one (2n+1, P) array, as the loaders return
    it, written as one block, or an iterable of such arrays, one block each
    (P may be 0: an empty block); an iterable is consumed one block at a
    time, so a generator can write a dump larger than memory. A block too
    large for the readers (over 2 GiB) is written as several. The word
    after each particle, which readers skip, is 0.
    """
    n = operator.index(n_dimensions)
    if not 0 <= n <= (INT32_MAX - 1) // 2:
        raise ValueError(f"n_dimensions must be >= 0, got {n}")
    components = 2 * n + 1
    if isinstance(blocks_or_array, np.ndarray):
        blocks = [blocks_or_array]
    else:
        blocks = blocks_or_array
    entry = 4 * (components + 1)
    most = INT32_MAX // entry
    rows = max(1, CHUNK // entry)
    with _replacing(path) as f:
        for block in blocks:
            block = np.asanyarray(block)
            if block.ndim != 2 or block.shape[0] != components:
                raise ValueError(f"a block of particles: a ({components}, P) array for n_dimensions={n}, "
                                 f"got shape {block.shape}")
            count = block.shape[1]
            if count == 0:
                f.write(_i32(0))
            for start in range(0, count, most):
                stop = min(start + most, count)
                f.write(_i32(stop - start))
                for p in range(start, stop, rows):
                    part = block[:, p:min(p + rows, stop)]
                    entries = np.zeros((part.shape[1], components + 1), "<f4")
                    entries[:, :components] = part.T
                    f.write(entries.tobytes())
