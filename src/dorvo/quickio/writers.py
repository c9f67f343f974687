"""Writers of field and phase-space dumps, in the layout the simulation
writes, for tests of an analysis, benchmarks and small reproducers::

    from dorvo.quickio import write_field, write_phase_space
    write_field("run/Ex_out.bin", field, x, y, z, blocks=(2, 4))
    write_phase_space("run/Phasespace.bin", ps, n_dimensions=3)

Both stream: they convert and write a few MiB at a time, so that their
peak memory is the caller's arrays and a few MiB, whatever the dump's size
(a memory-mapped field's pages are let go as they are written).

Both write the whole dump under a temporary name in the target's folder and
rename it to `path` at the end, so that a reader never sees half a dump and
a failed write leaves no file behind. An existing file at `path` is
replaced as an editor that keeps the file does it: only once the new dump
is complete, with the old file's mode (and owner, where allowed); a
symbolic link at `path` is written through, to its target. A dump with
other names (hard links) is replaced under this name only: the other names
keep the previous dump. A writer killed on the way leaves its temporary,
".NAME.quickio-HOST-PID-TOKEN.part"; the next write to the same name
removes those of processes that no longer run.
"""

from __future__ import annotations

import contextlib
import mmap
import operator
import os
import stat
from collections.abc import Iterable, Mapping, Sequence

import numpy as np

from ._io import output as _output

__all__ = ["write_field", "write_phase_space"]

# Bytes converted and written at a time.
CHUNK = 4 << 20
INT32_MAX = 2**31 - 1
# The most payload a subrecord holds, as gfortran writes records: a longer
# record is split into subrecords of this many bytes and one of the rest.
SUBRECORD = 2**31 - 9
# The particles a block's count holds: a larger block is written as several.
BLOCK_PARTICLES = INT32_MAX
# Header entries the writer fills from the field and its blocks.
NPROC_Y, NPROC_Z, NX, NY, NZ, NDIMENSION = 0, 1, 3, 4, 6, 14
# The loader reads the header at fixed offsets that hold for 20 entries.
NPARAM = 20


def _keep_owner(tmp: str, previous: os.stat_result) -> None:
    """Gives `tmp` the owner and group of the file it replaces, as far as
    this process may (root may; others may keep a group they belong to)."""
    for uid, gid in ((previous.st_uid, previous.st_gid), (-1, previous.st_gid)):
        try:
            os.chown(tmp, uid, gid)
            return
        except PermissionError:
            continue


@contextlib.contextmanager
def _replacing(path):
    """A binary file under a temporary name beside `path` (beside the
    target of a symbolic link there), renamed over it when the block ends
    normally and removed otherwise."""
    target = os.path.realpath(path) if os.path.islink(path) else os.fspath(path)
    _output.clean_stale(target)
    try:
        previous = os.stat(target)
    except FileNotFoundError:
        previous = None
    tmp = _output.temporary(target, "part")
    # Created with the mode every new file gets: 0666 less the umask (or a
    # folder's default ACL), applied by the system.
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o666)
    try:
        with os.fdopen(fd, "wb") as f:
            yield f
        if previous is not None and stat.S_ISREG(previous.st_mode):
            os.chmod(tmp, stat.S_IMODE(previous.st_mode))
            _keep_owner(tmp, previous)
        os.replace(tmp, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
    finally:
        _output.release(tmp)


def _i32(value) -> bytes:
    return np.int32(value).astype("<i4").tobytes()


class _Record:
    """One sequential unformatted record of `nbytes` of payload, written as
    it comes (write() any number of times, `nbytes` in all, then close())
    and framed as gfortran frames it, so that a Fortran program reads it
    back: a 4-byte length marker on each side, and past SUBRECORD bytes
    subrecords of SUBRECORD bytes and one of the rest, each framed alike,
    the opening marker negative when another subrecord follows, the
    closing one negative when another came before."""

    def __init__(self, f, nbytes: int):
        self._f = f
        self._left = nbytes  # payload still to come
        self._first = True
        self._open()

    def _open(self):
        self._length = self._room = min(self._left, SUBRECORD)
        self._f.write(_i32(-self._length if self._left > SUBRECORD else self._length))

    def _close(self):
        self._f.write(_i32(self._length if self._first else -self._length))
        self._first = False

    def write(self, data) -> None:
        data = memoryview(data).cast("B")
        while len(data):
            if self._left == 0:
                raise ValueError("a record's payload is longer than announced")
            if self._room == 0:
                self._close()
                self._open()
            take = min(self._room, len(data))
            self._f.write(data[:take])
            data, self._room, self._left = data[take:], self._room - take, self._left - take

    def close(self) -> None:
        if self._left or self._room:
            raise ValueError("a record's payload is shorter than announced")
        self._close()


def _record(f, payload: bytes) -> None:
    record = _Record(f, len(payload))
    record.write(payload)
    record.close()


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


def write_field(
    path,
    field,
    x,
    y,
    z,
    *,
    blocks=(1, 1),
    params: Mapping[int, int] | None = None,
    real_params: Mapping[int, float] | Sequence[float] | None = None,
) -> None:
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
    if min(nx, ny, nz) < 1:
        raise ValueError(
            f"{os.fspath(path)}: a field dump holds at least one point along each axis; the field's "
            f"shape is {tuple(field.shape)}"
        )
    if max(field.shape) > INT32_MAX:
        raise ValueError(f"field: a dump holds at most {INT32_MAX} points along an axis")
    axes = [np.asarray(a, "<f4").ravel() for a in (x, y, z)]
    for name, axis, n in zip("xyz", axes, field.shape):
        if axis.size != n:
            raise ValueError(f"{name}: {n} values for a field of shape {field.shape}, got {axis.size}")
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
        pages = _Pages(field)
        z0 = 0
        for height in nz_loc:
            y0 = 0
            for width in ny_loc:
                _record(f, np.asarray([nx, width, height], "<i4").tobytes())
                _block(f, field, nx, y0, width, z0, height, pages)
                y0 += width
            z0 += height
        for axis in axes:
            _record(f, axis.tobytes())


class _Pages:
    """Lets go of the pages of a NumPy memory map as they are written, so
    that a memory-mapped field does not stay resident as it is read (the
    system reads them again from the file should they be needed). Only a
    map in the dump's own order (x fastest, then y, then z, with no gaps)
    is let go: each piece written is then one run of it. In another order
    every piece touches pages all over the map, which the system keeps as
    its cache. A map that is copy-on-write (mode "c") keeps its pages,
    which may hold the caller's changes; anything else is not a map and
    has nothing to let go."""

    def __init__(self, field):
        self.map = None
        mapped = getattr(field, "_mmap", None)
        if mapped is None or getattr(field, "mode", "c") == "c" or not field.flags.f_contiguous:
            return
        try:
            view = np.frombuffer(mapped, np.uint8)
            # Where the field starts in the map: a map starts at a page,
            # the field at its offset in the file.
            self.base = field.ctypes.data - view.ctypes.data
            del view
        except (TypeError, ValueError, BufferError):
            return
        self.map = mapped
        self.row = 4 * field.shape[0]
        self.plane = self.row * field.shape[1]

    def release(self, k, j0, j1) -> None:
        """Lets go of the pages under rows j0 to j1 (excluded) of plane k."""
        if self.map is None:
            return
        first = (self.base + k * self.plane + j0 * self.row) // mmap.PAGESIZE * mmap.PAGESIZE
        last = min(self.base + k * self.plane + j1 * self.row, len(self.map))
        with contextlib.suppress(OSError, ValueError):
            self.map.madvise(mmap.MADV_DONTNEED, first, last - first)


def _block(f, field, nx, y0, width, z0, height, pages):
    """One block's data record, x fastest, then y, then z, written a few
    MiB at a time: the rows of x along y, plane after plane along z."""
    record = _Record(f, 4 * nx * width * height)
    rows = max(1, CHUNK // (4 * max(nx, 1)))
    for k in range(z0, z0 + height):
        for j in range(y0, y0 + width, rows):
            stop = min(j + rows, y0 + width)
            part = field[:, j:stop, k]
            # part is (nx, rows): the file wants x fastest, which is the
            # C order of its transpose.
            record.write(np.ascontiguousarray(np.asarray(part, "<f4").T))
            pages.release(k, j, stop)
    record.close()


def write_phase_space(path, blocks_or_array: np.ndarray | Iterable[np.ndarray], n_dimensions: int) -> None:
    """Writes a phase-space dump of particles with 2n+1 components each
    (n = `n_dimensions`) to `path` (its full name, with ".bin"). Values are
    stored as float32.

    `blocks_or_array` is either one (2n+1, P) array, as the loaders return
    it, written as one block, or an iterable of such arrays, one block each
    (P may be 0: an empty block); an iterable is consumed one block at a
    time, so a generator can write a dump larger than memory. A block of
    more particles than its int32 count holds (2**31 - 1) is written as
    several. The word after each particle, which readers skip, is 0.
    """
    n = operator.index(n_dimensions)
    if n < 0:
        raise ValueError(f"n_dimensions must be >= 0, got {n}")
    # 2n+1 components and the word after them are counted in an int32.
    if n > (INT32_MAX - 1) // 2:
        raise ValueError(f"n_dimensions must be at most {(INT32_MAX - 1) // 2}, got {n}")
    components = 2 * n + 1
    blocks: Iterable[np.ndarray] = [blocks_or_array] if isinstance(blocks_or_array, np.ndarray) else blocks_or_array
    entry = 4 * (components + 1)
    most = BLOCK_PARTICLES
    rows = max(1, CHUNK // entry)
    with _replacing(path) as f:
        for block in blocks:
            block = np.asanyarray(block)
            if block.ndim != 2 or block.shape[0] != components:
                raise ValueError(
                    f"a block of particles: a ({components}, P) array for n_dimensions={n}, got shape {block.shape}"
                )
            count = block.shape[1]
            if count == 0:
                f.write(_i32(0))
            for start in range(0, count, most):
                stop = min(start + most, count)
                f.write(_i32(stop - start))
                for p in range(start, stop, rows):
                    part = block[:, p : min(p + rows, stop)]
                    entries = np.zeros((part.shape[1], components + 1), "<f4")
                    entries[:, :components] = part.T
                    f.write(entries.tobytes())
