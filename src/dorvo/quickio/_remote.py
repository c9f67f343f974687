"""Dumps that are not files on the local disk: URLs read through fsspec
(http(s)://, s3://, gs:// and the protocol of any fsspec implementation
installed), fsspec ``OpenFile`` objects, and binary file objects (anything
with seek() and read(): an open file, io.BytesIO, a file of a remote file
system).

Only the byte ranges that a read needs are asked for. The native scan reads
the header, the block extents or counts and the axes through the file
object, each read a window of at least 64 KiB after a jump and growing
while reads follow on, so that a dump of large blocks costs one request per
block and a dump of small blocks a few. A selection or a whole read is a
list of runs (a stretch of the file and the place in the result it fills);
runs close together are fetched as one range, ranges of one read are
fetched together (concurrently where the file system can), and each run is
placed with NumPy.
"""
from __future__ import annotations

import contextlib
import errno
import functools
import os
import re
import threading

import numpy as np

REMOTE_HINT = "pip install 'dorvo.quickio[remote]'"

# "http://", "s3://", and fsspec's chained URLs ("simplecache::s3://...").
_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.\-]+(://|::)")

# Runs at most this far apart in the file are fetched as one range, the
# bytes between them included. The ranges of a read are fetched together,
# so another range costs little time: the gap is kept small, about what one
# request's overhead could have moved.
MAX_GAP = 64 << 10
# A range asks for at most about this many bytes (a single run of one
# z-plane or one block's particles may be larger).
MAX_RANGE = 32 << 20
# The ranges of one read fetched at a time: at most this many, and at most
# this many bytes in all, which bounds the memory held in flight.
BATCH_RANGES = 64
BATCH_BYTES = 4 * MAX_RANGE
# The block size of a file opened for a scan. The file has no cache: the
# native scan buffers its own reads.
SCAN_BLOCK_SIZE = 1 << 16


def is_url(obj) -> bool:
    return isinstance(obj, str) and _URL.match(obj) is not None


def _is_open_file(obj) -> bool:
    """An fsspec OpenFile: a file system and a path, not yet opened."""
    return all(hasattr(obj, a) for a in ("fs", "path", "open")) and not hasattr(obj, "read")


def is_file_object(obj) -> bool:
    return (not isinstance(obj, (str, bytes, os.PathLike)) and callable(getattr(obj, "read", None))
            and callable(getattr(obj, "seek", None)))


def is_remote(obj) -> bool:
    """True for what this module reads: a URL, an fsspec OpenFile, a binary
    file object, or a Remote."""
    return isinstance(obj, Remote) or is_url(obj) or is_file_object(obj) or _is_open_file(obj)


def _file_name(f) -> str:
    """What names a file object in messages: its `name` when that is a
    string (open files have one), else its type (as the native scan does)."""
    name = getattr(f, "name", None)
    return name if isinstance(name, str) and name else f"<{type(f).__name__} object>"


def _filesystem(url: str, storage_options: dict):
    try:
        import fsspec
    except ImportError as e:
        raise ImportError(f"{url}: reading dumps from URLs needs fsspec: {REMOTE_HINT}") from e
    try:
        return fsspec.core.url_to_fs(url, **storage_options)
    except ImportError as e:
        # fsspec knows the protocol but its implementation is missing:
        # aiohttp for HTTP (in the extra), s3fs, gcsfs, ... (not in it).
        raise ImportError(f"{url}: {e} (HTTP needs {REMOTE_HINT}; s3:// needs s3fs, gs:// gcsfs)") from e
    except ValueError as e:
        # A protocol that no installed package registers with fsspec.
        if "protocol" not in str(e).lower():
            raise
        raise ImportError(f"{url}: no installed fsspec file system reads this protocol ({e})") from e


def _os_error(name: str, e: BaseException) -> OSError:
    """The OSError to raise for a failure of a file system call on `name`:
    FileNotFoundError for a missing file, PermissionError for a refused one
    (HTTP 401 and 403), otherwise OSError naming what went wrong. fsspec's
    HTTP file system reports any failure to learn a file's size as
    FileNotFoundError, with the real failure (the server's answer, a
    connection refused) as its cause."""
    cause = e.__cause__ if isinstance(e, FileNotFoundError) and e.__cause__ is not None else e
    status = getattr(cause, "status", None)
    if isinstance(status, int) and status not in (404, 410):
        if status in (401, 403):
            return PermissionError(errno.EACCES, f"access refused (HTTP {status})", name)
        return OSError(errno.EIO, f"the server answered HTTP {status} {getattr(cause, 'message', '')}".strip(), name)
    if isinstance(cause, OSError) and not isinstance(cause, FileNotFoundError) and status is None:
        e = cause  # no server to ask (refused, unreachable): say that, not "no such file"
    if isinstance(e, FileNotFoundError):
        return FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), name)
    if isinstance(e, OSError):
        # OSError() makes the subclass that the errno stands for. A client
        # library's own error says more in its text than in its strerror.
        text = e.strerror if type(e).__module__ == "builtins" and e.strerror else str(e)
        return OSError(e.errno or errno.EIO, text, name)
    return OSError(errno.EIO, f"{type(e).__name__}: {e}", name)


@contextlib.contextmanager
def _calls(name: str):
    """Turns what a file system or file object raises into the OSError of
    _os_error(); Python's own interrupts and errors of ours pass."""
    try:
        yield
    except (KeyboardInterrupt, MemoryError, ImportError):
        raise
    except Exception as e:
        if isinstance(e, OSError) and e.filename is not None:
            raise
        raise _os_error(name, e) from e


class _ScanFile:
    """The file object a native scan reads: seek() and read() of the opened
    file, their failures raised as OSError naming the dump."""

    def __init__(self, f, name: str):
        self._f = f
        self.name = name

    def seek(self, offset, whence=0):
        with _calls(self.name):
            return self._f.seek(offset, whence)

    def tell(self):
        return self._f.tell()

    def read(self, n=-1):
        with _calls(self.name):
            return self._f.read(n)


class Remote:
    """A dump read by byte ranges: a URL or fsspec OpenFile through its file
    system, or a binary file object through seek() and read().

    A Remote of a URL pickles as its URL and storage options, so arrays
    that hold one travel to dask's workers; a file object is read under a
    lock, so that threads reading parts of it do not mix their seeks."""

    def __init__(self, target, storage_options=None):
        if isinstance(target, Remote):
            storage_options = target.storage_options if storage_options is None else storage_options
            target = (target.url if target.url is not None else target.file if target.file is not None
                      else (target._fs, target._path))
        self.storage_options = dict(storage_options or {})
        self.url = self.file = None
        self._fs = self._path = None
        if isinstance(target, tuple):
            self._fs, self._path = target
            self.name = self._fs.unstrip_protocol(self._path)
        elif _is_open_file(target):
            self._fs, self._path = target.fs, target.path
            self.name = self._fs.unstrip_protocol(self._path)
        elif is_url(target):
            self.url = self.name = target
        elif is_file_object(target):
            self.file = target
            self.name = _file_name(target)
        else:
            raise TypeError(f"expected a URL, an fsspec OpenFile or a binary file object with seek() and read(), "
                            f"not {type(target).__name__}")
        self._lock = threading.Lock()

    def __getstate__(self):
        state = self.__dict__.copy()
        del state["_lock"]
        if self.url is not None:
            state["_fs"] = state["_path"] = None  # made again from the URL where unpickled
        return state

    def __setstate__(self, state):
        self.__dict__.update(state)
        self._lock = threading.Lock()

    def __dask_tokenize__(self):
        if self.file is not None:
            return ("vintar-remote-file", id(self.file))
        return ("vintar-remote", self.name, sorted(self.storage_options.items(), key=str))

    def __repr__(self) -> str:
        return f"Remote({self.name!r})"

    def filesystem(self):
        """(fs, path) of a URL or OpenFile; made once, on first use."""
        if self._fs is None:
            self._fs, self._path = _filesystem(self.url, self.storage_options)
        return self._fs, self._path

    @contextlib.contextmanager
    def opened(self):
        """A file object over the dump for the native scan. A caller's file
        object is read under the lock and left at the position it had."""
        if self.file is not None:
            with self._lock:
                try:
                    position = self.file.tell()
                except (AttributeError, OSError, ValueError):
                    position = None
                try:
                    yield _ScanFile(self.file, self.name)
                finally:
                    if position is not None:
                        self.file.seek(position)
            return
        fs, path = self.filesystem()
        with _calls(self.name):
            f = fs.open(path, "rb", block_size=SCAN_BLOCK_SIZE, cache_type="none")
        with f:
            yield _ScanFile(f, self.name)

    def fetch(self, ranges) -> list:
        """The bytes of each (start, stop) range of the file, in order."""
        ranges = list(ranges)
        if self.file is not None:
            with self._lock, _calls(self.name):
                out = [self._read_range(s, e) for s, e in ranges]
        else:
            fs, path = self.filesystem()
            with _calls(self.name):
                out = fs.cat_ranges([path] * len(ranges), [s for s, _ in ranges], [e for _, e in ranges])
                for data in out:
                    if isinstance(data, BaseException):
                        raise data
        for (s, e), data in zip(ranges, out):
            if len(data) != e - s:
                raise OSError(errno.EIO, f"asked for bytes {s} to {e}, got {len(data)} bytes: the file changed "
                                         f"since it was scanned, or the server does not serve byte ranges", self.name)
        return out

    def _read_range(self, start: int, stop: int) -> bytes:
        self.file.seek(start)
        parts, left = [], stop - start
        while left > 0:
            data = self.file.read(left)
            if not data:
                break
            parts.append(data)
            left -= len(data)
        return parts[0] if len(parts) == 1 else b"".join(parts)

    def read_into(self, offset: int, view: np.ndarray) -> None:
        """Fills the contiguous array `view` with the file's bytes from
        `offset` on: one range."""
        mv = memoryview(view).cast("B")
        mv[:] = self.fetch([(offset, offset + mv.nbytes)])[0]


def glob(pattern: str, storage_options=None) -> list:
    """The URLs that a URL with a pattern (*, [...]) matches, as its file
    system globs; a URL without one is itself."""
    if not any(c in pattern for c in "*["):
        return [pattern]
    fs, path = _filesystem(pattern, dict(storage_options or {}))
    with _calls(pattern):
        return [fs.unstrip_protocol(p) for p in fs.glob(path)]


@contextlib.contextmanager
def scan_input(target, storage_options=None):
    """(name, source) for the native scan: the name of the dump in messages
    and what ``_scan`` reads, a path or a file object."""
    if is_remote(target):
        remote = Remote(target, storage_options)
        with remote.opened() as f:
            yield remote.name, f
    else:
        name = os.fsdecode(os.fspath(target))
        yield name, name


# ---------------------------------------------------------------- runs
#
# A run is (start, stop, place): the bytes [start, stop) of the file, and
# place(out, values) that puts them, seen as float32 values, into the
# result `out`.


def overlap(r: range, lo: int, hi: int) -> tuple:
    """Positions [p0, p1) in `r` (a range with a positive step) of the
    values that lie in [lo, hi)."""
    p0 = max(0, -((r.start - lo) // r.step))
    p1 = min(len(r), -((r.start - hi) // r.step))
    return p0, max(p0, p1)


def field_blocks(blocks) -> np.ndarray:
    """(y0, z0, ny_loc, nz_loc, offset) of the blocks of a field block table
    that hold values, one row each."""
    held = (blocks.ny_loc > 0) & (blocks.nz_loc > 0)
    return np.stack([blocks.y0[held], blocks.z0[held], blocks.ny_loc[held], blocks.nz_loc[held],
                     blocks.offset[held]], axis=1)


def _reshaped(out_key, shape, src_key, out, values):
    out[out_key] = values.reshape(shape, order="F")[src_key]


def field_runs(blocks: np.ndarray, nx: int, rx: range, ry: range, rz: range, max_range: int = MAX_RANGE):
    """The runs that fill an (len(rx), len(ry), len(rz)) array with the
    selection rx, ry, rz of a field whose blocks are `blocks` (rows of
    field_blocks()): from each block that holds part of it, its rows of
    the selected z-planes; whole planes of a block in one run, as many
    consecutive planes as fit in `max_range` bytes."""
    xs = slice(rx.start, rx.stop, rx.step)
    y0, z0, ny_loc, nz_loc = (blocks[:, i] for i in range(4))
    touched = (z0 < rz[-1] + 1) & (z0 + nz_loc > rz[0]) & (y0 < ry[-1] + 1) & (y0 + ny_loc > ry[0])
    runs = []
    for by0, bz0, bny, bnz, offset in blocks[touched].tolist():
        pz0, pz1 = overlap(rz, bz0, bz0 + bnz)
        py0, py1 = overlap(ry, by0, by0 + bny)
        if pz0 == pz1 or py0 == py1:
            continue
        j0 = ry[py0] - by0
        rows = ry[py1 - 1] - by0 + 1 - j0  # rows of the block that a plane's run spans
        row_bytes = 4 * nx
        if rows == bny and rz.step == 1:
            # Whole planes that follow each other in the file.
            per = max(1, max_range // (row_bytes * bny))
            k0 = rz[pz0] - bz0
            for p in range(pz0, pz1, per):
                q = min(pz1, p + per)
                start = offset + row_bytes * bny * (k0 + p - pz0)
                runs.append((start, start + row_bytes * bny * (q - p), functools.partial(
                    _reshaped, (slice(None), slice(py0, py1), slice(p, q)), (nx, bny, q - p),
                    (xs, slice(None, None, ry.step), slice(None)))))
            continue
        for p in range(pz0, pz1):
            start = offset + row_bytes * (j0 + bny * (rz[p] - bz0))
            runs.append((start, start + row_bytes * rows, functools.partial(
                _reshaped, (slice(None), slice(py0, py1), p), (nx, rows), (xs, slice(None, None, ry.step)))))
    return runs


class _Entries:
    """Where the particles' entries of a phase-space dump lie: the blocks
    that hold particles, the first particle of each, and the word at which
    any particle's entry starts."""

    def __init__(self, offsets, counts, components: int):
        counts = np.asarray(counts, np.int64)
        held = counts > 0
        self.counts = counts[held]
        self.entries_at = np.asarray(offsets, np.int64)[held] + 4
        self.starts = np.cumsum(self.counts) - self.counts
        self.components = components
        self.width = components + 1  # words per entry

    def block_of(self, particles):
        return np.searchsorted(self.starts, particles, side="right") - 1

    def words(self, particles):
        block = self.block_of(particles)
        return self.entries_at[block] // 4 + (particles - self.starts[block]) * self.width

    def place(self, p: int, q: int, out, values):
        """Puts particles [p, q), whose entries `values` hold from the first
        one's on, into out[:, p:q]."""
        if self.block_of(p) == self.block_of(q - 1):  # one block: evenly spaced entries
            # The run ends at the last particle's components: its trailing
            # word may lie past the end of the file.
            whole = self.width * (q - 1 - p)
            out[:, p:q - 1] = values[:whole].reshape((self.width, q - 1 - p), order="F")[:self.components]
            out[:, q - 1] = values[whole:whole + self.components]
            return
        rel = self.words(np.arange(p, q, dtype=np.int64))
        rel -= rel[0]
        for c in range(self.components):
            out[c, p:q] = values[rel + c]


def phase_runs(offsets, counts, components: int, max_range: int = MAX_RANGE):
    """The runs that fill a (components, P) array with every particle of a
    phase-space dump whose blocks have count words at `offsets` and
    `counts` entries: particles in runs of at most `max_range` bytes of
    entries, the count words between blocks read with them and left out
    as the trailing words are (the last particle's is not read: a dump may
    end without it). A dump of many small blocks costs one vectorised
    placement per run, not one per block."""
    entries = _Entries(offsets, counts, components)
    total = int(entries.counts.sum())
    per = max(1, max_range // (4 * entries.width))
    runs = []
    for p in range(0, total, per):
        q = min(total, p + per)
        first, last = entries.words(np.array([p, q - 1], np.int64)).tolist()
        runs.append((4 * first, 4 * (last + components), functools.partial(entries.place, p, q)))
    return runs


def _ranges(runs, max_gap: int, max_range: int):
    """Runs sorted by their place in the file, grouped into ranges: [start,
    stop, runs] with the runs of each range at most `max_gap` bytes apart
    and the range at most `max_range` bytes long unless one run is."""
    out = []
    for run in sorted(runs, key=lambda r: r[0]):
        if out and run[0] - out[-1][1] <= max_gap and run[1] - out[-1][0] <= max_range:
            last = out[-1]
            last[1] = max(last[1], run[1])
            last[2].append(run)
        else:
            out.append([run[0], run[1], [run]])
    return out


def fill(remote: Remote, runs, out: np.ndarray, *, max_gap: int = MAX_GAP, max_range: int = MAX_RANGE) -> None:
    """Fetches the runs, coalesced into ranges, a batch of ranges at a time,
    and places each run's values in `out`."""
    ranges = _ranges(runs, max_gap, max_range)
    i = 0
    while i < len(ranges):
        j, size = i, 0
        while j < len(ranges) and j - i < BATCH_RANGES and (j == i or size + ranges[j][1] - ranges[j][0] <= BATCH_BYTES):
            size += ranges[j][1] - ranges[j][0]
            j += 1
        batch = ranges[i:j]
        for (start, _, group), data in zip(batch, remote.fetch([(s, e) for s, e, _ in batch])):
            for s, e, place in group:
                place(out, np.frombuffer(data, "<f4", (e - s) // 4, s - start))
        i = j


def read_field(remote: Remote, blocks: np.ndarray, shape) -> np.ndarray:
    """The whole (nx, ny, nz) float32 field in column-major order, from
    blocks (rows of field_blocks()) that tile it."""
    nx, ny, nz = shape
    out = np.empty(shape, np.float32, order="F")
    fill(remote, field_runs(blocks, nx, range(nx), range(ny), range(nz)), out)
    return out


def read_phase_space(remote: Remote, offsets, counts, components: int, particles: int) -> np.ndarray:
    """The whole (components, particles) float32 array in column-major order."""
    out = np.empty((components, particles), np.float32, order="F")
    fill(remote, phase_runs(offsets, counts, components), out)
    return out


# ---------------------------------------------------------------- load()


def load(target, n_dimensions=None, storage_options=None):
    """``dorvo.quickio.load()`` of a dump that is not a local file: the same
    results, read by byte ranges. A dump that is not well-formed raises
    ValueError (EOFError for one cut short before its parameters end) with
    the reason the scan gives."""
    from . import _scan
    from .header import BlockTable, FieldBlock, read_phase_space_header

    remote = Remote(target, storage_options)
    if n_dimensions is not None:
        h = read_phase_space_header(remote, n_dimensions)
        if not h.well_formed:
            raise ValueError(f"{h.path}: {h.reason}")
        return read_phase_space(remote, h.blocks.offset, h.blocks.count, h.components, h.particles)

    with remote.opened() as f:
        s = _scan.field(f)
    name = remote.name
    if not s["framed"] and s["axes"] is None:
        raise ValueError(f"{name}: not a field dump ({s['reason'] or s['refusal']}); "
                         f"to load a phase-space dump, pass n_dimensions=N")
    problems = [p for p in (s["refusal"], s["reason"]) if p]
    if problems:
        raise (EOFError if s["eof"] and s["int_params"] is None else ValueError)(f"{name}: {'; '.join(problems)}")
    ints = s["int_params"]
    blocks = BlockTable(s["blocks"], FieldBlock)
    f = read_field(remote, field_blocks(blocks), (int(ints[3]), int(ints[4]), int(ints[6])))
    return (f, *s["axes"])
