"""Dumps as labelled, lazy xarray datasets, and time series of dumps.

The backend registers under the engine name "vintar"::

    import xarray as xr
    ds = xr.open_dataset("run/Ex_out.bin", engine="vintar")                   # field dump
    ps = xr.open_dataset("run/beam.bin", engine="vintar", n_dimensions=3)     # phase-space dump

Opening costs one native scan of the dump (``dorvo.quickio.header``): the
header, the block table and the axes, or for a phase-space dump the block
counts. The data stay on disk until indexed: a selection reads only the
blocks that hold it, straight into a float32 array where the layout allows.
Loading a whole variable goes through the native loader.

With dask, a field is chunked by the writer's layers of blocks along z, and
the particles of a phase-space dump by groups of whole blocks, so that a
reduction reads each chunk once and on its own.

``open_series`` stacks many dumps along a leading "dump" dimension as one
dask-backed dataset, built from the dumps' scans.

The arrays behind a dataset hold paths, not open files, so they pickle and
travel to dask's process and distributed workers.

A dump may also be a URL read through fsspec (http(s)://, s3://, gs://,
...; ``storage_options`` go to its file system), an fsspec OpenFile or a
binary file object. Such a dump is read by byte ranges: opening reads the
header, the block extents or counts and the axes; a selection the blocks
it touches, nearby runs coalesced into one range; a whole variable a few
large ranges fetched together. A URL pickles as its name; a file object
serves the process that holds it.
"""
from __future__ import annotations

import contextlib
import glob
import itertools
import os
import re

import numpy as np

try:
    import dask.array as da
    import xarray as xr
    from dask.array.core import normalize_chunks
    from dask.base import tokenize
    from xarray.backends import BackendArray, BackendEntrypoint
    from xarray.core import indexing
except ImportError as e:  # pragma: no cover - depends on the installation
    raise ImportError("dorvo.quickio.xarray needs xarray and dask: "
                      "pip install 'dorvo.quickio[xarray]'") from e

from dorvo.quickio import _remote, beamdump, meshdump
from dorvo.quickio._remote import overlap as _overlap
from dorvo.quickio.header import (is_field_dump, read_field_header, read_field_header_if_dump,
                                  read_phase_space_header)

__all__ = ["FieldArray", "PhaseSpaceArray", "VintarBackendEntrypoint", "open_field_dataset",
           "open_phase_space_dataset", "open_series"]

SUFFIX = ".bin"

# A partial phase-space read spans at most this many bytes of the file at a
# time (one scratch buffer), whatever the size of the selection.
_READ_BYTES = 8 << 20
# The particle chunks that dask is offered hold about this many bytes of
# components each, cut at block boundaries where the blocks allow.
_CHUNK_BYTES = 128 << 20


def _read_at(f, offset: int, view: np.ndarray) -> None:
    """Fills the contiguous array `view` with the bytes of the unbuffered
    file `f` from `offset` on. FileIO.readinto reads straight into the
    array and releases the interpreter lock while it waits; a short read
    only happens for very large requests, so the loop rarely turns twice."""
    f.seek(offset)
    mv = memoryview(view).cast("B")
    done = 0
    while done < len(mv):
        n = f.readinto(mv[done:])
        if not n:
            raise EOFError(f"{f.name}: no data at byte {offset + done}; the file was cut short after it was opened")
        done += n


def _ranges(key: tuple, shape: tuple) -> tuple[list, tuple]:
    """The index ranges a basic key selects along each axis, and the key
    that drops the axes indexed by an integer from a result of that shape.
    xarray hands backends slices of positive step only."""
    ranges, drop = [], []
    for k, n in zip(key, shape):
        if isinstance(k, slice):
            r = range(*k.indices(n))
            assert r.step > 0, "xarray turns negative steps into positive ones before the backend"
            ranges.append(r)
            drop.append(slice(None))
        else:
            i = int(k) + (n if k < 0 else 0)
            ranges.append(range(i, i + 1))
            drop.append(0)
    return ranges, tuple(drop)


def _whole(ranges, shape) -> bool:
    return all(r == range(n) for r, n in zip(ranges, shape))


class _DumpArray(BackendArray):
    """What both variables share: basic indexing, and a result of the
    selected shape whatever path it was read by (an integer index drops its
    axis on every path, the whole-array read included)."""

    dtype = np.dtype(np.float32)

    def __getitem__(self, key):
        return indexing.explicit_indexing_adapter(
            key, self.shape, indexing.IndexingSupport.BASIC, self._getitem)

    def _getitem(self, key):
        ranges, drop = _ranges(key, self.shape)
        if self.native and _whole(ranges, self.shape):
            return self._load()[drop]
        out = np.empty([len(r) for r in ranges], np.float32, order="F")
        if out.size:
            self._fill(out, *ranges)
        return out[drop]


class FieldArray(_DumpArray):
    """The field of a field dump, (nx, ny, nz) float32, read on indexing.

    A selection reads, from each block that holds part of it, the rows
    (runs of nx values) of its z-planes that the selection spans: a z-range
    touches only the layers that hold it, a y-range only the blocks that
    hold it. When the whole x extent is selected with unit y step, the rows
    land straight in the result; otherwise a plane goes through one scratch
    buffer. The whole field is read by the native loader.

    A remote dump (`path` a Remote) is read by runs that dorvo.quickio._remote
    coalesces into ranges, the whole field in a few large ones."""

    def __init__(self, path, header):
        self.path = path
        self.shape = header.shape
        # (y0, z0, ny_loc, nz_loc, offset) of the blocks that hold values.
        self.blocks = _remote.field_blocks(header.blocks)
        # The loader appends the suffix itself; a well-formed header is one
        # it takes.
        self.native = isinstance(path, _remote.Remote) or path.endswith(SUFFIX)

    def _load(self):
        if isinstance(self.path, _remote.Remote):
            return _remote.read_field(self.path, self.blocks, self.shape)
        nx, ny, nz = self.shape
        return meshdump.read_Vintar_bin(self.path[:-len(SUFFIX)], {"nx": nx, "ny": ny, "nz": nz})[0]

    def _fill(self, out, rx, ry, rz):
        nx = self.shape[0]
        if isinstance(self.path, _remote.Remote):
            _remote.fill(self.path, _remote.field_runs(self.blocks, nx, rx, ry, rz), out)
            return
        nys = len(ry)
        flat = out.reshape(-1, order="F")  # a view: out is F-contiguous
        # Whole rows can land in the result when it takes every x and
        # consecutive rows of y.
        rows_direct = rx == range(nx)
        xs = slice(rx.start, rx.stop, rx.step)
        y0, z0, ny_loc, nz_loc = (self.blocks[:, i] for i in range(4))
        touched = ((z0 < rz[-1] + 1) & (z0 + nz_loc > rz[0]) & (y0 < ry[-1] + 1) & (y0 + ny_loc > ry[0]))
        scratch = None
        with open(self.path, "rb", buffering=0) as f:
            for by0, bz0, bny, bnz, offset in self.blocks[touched].tolist():
                pz0, pz1 = _overlap(rz, bz0, bz0 + bnz)
                py0, py1 = _overlap(ry, by0, by0 + bny)
                if pz0 == pz1 or py0 == py1:
                    continue
                j0 = ry[py0] - by0
                rows = ry[py1 - 1] - by0 + 1 - j0
                direct = rows_direct and rows == py1 - py0
                if direct and rows == bny == nys and rz.step == 1:
                    # The block's planes follow each other in the file as
                    # they do in the result: one read for all of them.
                    k0 = rz[pz0] - bz0
                    _read_at(f, offset + 4 * nx * bny * k0, flat[nx * nys * pz0:nx * nys * pz1])
                    continue
                for p in range(pz0, pz1):
                    at = offset + 4 * nx * (j0 + bny * (rz[p] - bz0))
                    if direct:
                        start = nx * (py0 + nys * p)
                        _read_at(f, at, flat[start:start + nx * rows])
                        continue
                    if scratch is None:
                        scratch = np.empty(nx * int(self.blocks[:, 2].max()), np.float32)
                    plane = scratch[:nx * rows]
                    _read_at(f, at, plane)
                    out[:, py0:py1, p] = plane.reshape(nx, rows, order="F")[xs, ::ry.step]


class PhaseSpaceArray(_DumpArray):
    """The components of a phase-space dump, (2n+1, particles) float32,
    read on indexing.

    A particle range reads the stretch of the file that holds it, at most
    _READ_BYTES at a time into one scratch buffer (many small blocks come in
    one read; a large block in several), and gathers the selected
    components of the selected particles from it. The whole array is read
    by the native loader, or for a remote dump in a few large ranges."""

    def __init__(self, path, header):
        self.path = path
        self.n_dimensions = header.n_dimensions
        self.shape = (header.components, header.particles)
        held = header.blocks.count > 0
        self.counts = header.blocks.count[held]
        self.entries_at = header.blocks.offset[held] + 4
        self.starts = np.cumsum(self.counts) - self.counts  # first particle of each block
        # The loader cannot make an array of no particles.
        self.native = (isinstance(path, _remote.Remote) or path.endswith(SUFFIX)) and header.particles > 0

    def _load(self):
        if isinstance(self.path, _remote.Remote):
            return _remote.read_phase_space(self.path, self.entries_at - 4, self.counts, self.shape[0],
                                            self.shape[1])
        return beamdump.total_phase_space_read(self.path[:-len(SUFFIX)], {"n_dimensions": self.n_dimensions})

    def _word_of(self, particles: np.ndarray) -> np.ndarray:
        """File offsets, in words, of the first component of each particle."""
        block = np.searchsorted(self.starts, particles, side="right") - 1
        width = self.shape[0] + 1  # words per entry
        return self.entries_at[block] // 4 + (particles - self.starts[block]) * width

    def _fill(self, out, rc, rp):
        out_t = out.T  # (particles, components), one particle per row
        comps = np.arange(rc.start, rc.stop, rc.step)
        first_c, span_c = rc[0], rc[-1] + 1 - rc[0]  # words of each entry a read must cover
        budget = max(_READ_BYTES // 4, span_c)  # words per read
        batch = 1 << 16  # selected particles whose offsets are worked out at a time
        scratch = np.empty(0, np.float32)
        with _reader(self.path) as read_at:
            for b0 in range(0, len(rp), batch):
                sel = rp[b0:b0 + batch]
                words = self._word_of(np.arange(sel.start, sel.stop, sel.step, dtype=np.int64)) + first_c
                i = 0
                while i < len(words):
                    # The particles whose words fit one read of `budget`
                    # words from the first one's.
                    m = int(np.searchsorted(words, words[i] + budget - span_c, side="right"))
                    length = int(words[m - 1] - words[i]) + span_c
                    if len(scratch) < length:
                        scratch = np.empty(length, np.float32)
                    read_at(int(words[i]) * 4, scratch[:length])
                    rel = (words[i:m] - words[i])[:, None] + (comps - first_c)[None, :]
                    out_t[b0 + i:b0 + m] = scratch[rel]
                    i = m


@contextlib.contextmanager
def _reader(path):
    """read_at(offset, view) over the dump: one unbuffered local file for
    the whole selection, or one range of a remote dump per call."""
    if isinstance(path, _remote.Remote):
        yield path.read_into
        return
    with open(path, "rb", buffering=0) as f:
        yield lambda offset, view: _read_at(f, offset, view)


def _path_of(filename_or_obj, storage_options=None):
    """The absolute path of a local dump, or a Remote for a URL, an fsspec
    OpenFile or a file object."""
    if isinstance(filename_or_obj, _remote.Remote) and storage_options is None:
        return filename_or_obj
    if _remote.is_remote(filename_or_obj):
        return _remote.Remote(filename_or_obj, storage_options)
    if not isinstance(filename_or_obj, (str, os.PathLike)):
        raise TypeError(f"the vintar engine reads dumps named by a path or a URL, or from a binary file object, "
                        f"not from {type(filename_or_obj).__name__}")
    return os.path.abspath(os.fsdecode(os.fspath(filename_or_obj)))


def _label(path) -> str:
    """The dump's name in messages: its path, or a remote dump's name."""
    return path.name if isinstance(path, _remote.Remote) else path


def _dump_name(path) -> str:
    name = os.path.basename(_label(path))
    return name[:-len(SUFFIX)] if name.endswith(SUFFIX) else name


def _layer_chunks(header):
    """Chunk sizes along z that follow the writer's layers: one size when
    every layer but the last has the same height and the last is no higher,
    otherwise the heights themselves (empty layers left out)."""
    b = header.blocks
    heights = b.nz_loc[b.column == 0]
    heights = [h for h in heights.tolist() if h]
    if all(h == heights[0] for h in heights[:-1]) and heights[-1] <= heights[0]:
        return heights[0]
    return tuple(heights)


def _particle_chunks(header):
    """Chunk sizes along the particles: groups of whole blocks of about
    _CHUNK_BYTES of components, a block larger than that cut into pieces
    of that size."""
    total = header.particles
    target = max(1, _CHUNK_BYTES // (4 * header.components))
    counts = header.blocks.count
    starts = np.cumsum(np.maximum(counts, 0))[:-1]  # where each block after the first begins
    bounds = [0]
    while total - bounds[-1] > target:
        i = int(np.searchsorted(starts, bounds[-1] + target))
        cut = int(starts[i]) if i < len(starts) else total
        bounds.append(cut if cut - bounds[-1] <= 2 * target else bounds[-1] + target)
    if bounds[-1] < total:
        bounds.append(total)
    return tuple(np.diff(bounds).tolist())


def _field_attrs(path, h) -> dict:
    return {
        "name": _dump_name(path),
        "nparam": h.nparam,
        "integer_params": np.array(h.int_params, np.int32),
        "real_params": np.array(h.real_params, np.float32),
        "nproc_y": h.nproc_y,
        "nproc_z": h.nproc_z,
    }


def _field_header(path, h=None):
    h = read_field_header(path) if h is None else h
    if not h.well_formed:
        raise ValueError(f"{h.path}: not a well-formed field dump: {h.reason}")
    return h


def _phase_header(path, n_dimensions):
    h = read_phase_space_header(path, n_dimensions)
    if not h.well_formed:
        raise ValueError(f"{h.path}: not a whole phase-space dump when read with n_dimensions={h.n_dimensions}: "
                         f"{h.reason}")
    return h


def open_field_dataset(path, *, storage_options=None) -> xr.Dataset:
    """Dataset of the field dump at `path` (a path, a URL or a file object):
    the variable "field" (x, y, z), lazily read, with the axes as
    coordinates and the header as attributes."""
    return _field_dataset(_path_of(path, storage_options))


def _field_dataset(path, h=None) -> xr.Dataset:
    h = _field_header(path, h)
    data = indexing.LazilyIndexedArray(FieldArray(path, h))
    field = xr.Variable(("x", "y", "z"), data, encoding={"preferred_chunks": {"z": _layer_chunks(h)}})
    coords = {"x": np.array(h.x), "y": np.array(h.y), "z": np.array(h.z)}
    return xr.Dataset({"field": field}, coords=coords, attrs=_field_attrs(path, h))


def open_phase_space_dataset(path, n_dimensions: int, *, storage_options=None) -> xr.Dataset:
    """Dataset of the phase-space dump at `path` (a path, a URL or a file
    object) read with `n_dimensions`: the variable "phase_space"
    (component, particle), lazily read, chunked by groups of blocks when
    opened with dask."""
    path = _path_of(path, storage_options)
    h = _phase_header(path, n_dimensions)
    data = indexing.LazilyIndexedArray(PhaseSpaceArray(path, h))
    encoding = {"preferred_chunks": {"component": h.components, "particle": _particle_chunks(h)}} if h.particles else {}
    attrs = {"name": _dump_name(path), "n_dimensions": h.n_dimensions, "blocks": len(h.blocks)}
    return xr.Dataset({"phase_space": xr.Variable(("component", "particle"), data, encoding=encoding)}, attrs=attrs)


def _nothing_to_close():
    pass


class VintarBackendEntrypoint(BackendEntrypoint):
    """xarray backend for field and phase-space dumps (engine "vintar").

    A field dump is recognised by its header; a phase-space dump records
    no dimension count, so it is opened with ``n_dimensions=N``."""

    description = "Field and phase-space dumps of the plasma code Vintar, read lazily as float32"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "n_dimensions", "storage_options")

    def open_dataset(self, filename_or_obj, *, drop_variables=None, n_dimensions=None, storage_options=None):
        path = _path_of(filename_or_obj, storage_options)
        h = None if n_dimensions is not None else read_field_header_if_dump(path)
        if n_dimensions is not None:
            ds = open_phase_space_dataset(path, n_dimensions)
        elif h is not None:
            ds = _field_dataset(path, h)
        else:
            raise ValueError(f"{_label(path)}: not a field dump (it does not start with a parameter count "
                             f"and that many integer parameters); to open it as a phase-space dump, "
                             f"pass n_dimensions=N")
        if drop_variables is not None:
            ds = ds.drop_vars(drop_variables, errors="ignore")
        # Nothing stays open between reads, but open_mfdataset calls every
        # dataset's closer when it is closed.
        ds.set_close(_nothing_to_close)
        return ds

    def guess_can_open(self, filename_or_obj) -> bool:
        # A remote dump is opened only when asked for by engine="vintar":
        # guessing would cost requests for every URL that xarray opens.
        if _remote.is_remote(filename_or_obj):
            return False
        try:
            path = _path_of(filename_or_obj)
            return os.path.isfile(path) and is_field_dump(path)
        except (TypeError, OSError):
            return False


# ---------------------------------------------------------------- series


def _natural_key(path):
    """Sorts file names with their numbers by value: dump_9 before dump_10."""
    label = path if isinstance(path, str) else _remote.Remote(path).name
    name = os.path.basename(label)
    return [(0, int(part), "") if part.isdigit() else (1, 0, part)
            for part in re.split(r"(\d+)", name)], label


def _series_paths(paths_or_glob, storage_options=None) -> list:
    if _remote.is_url(paths_or_glob):
        paths = _remote.glob(paths_or_glob, storage_options)
        if not paths:
            raise FileNotFoundError(f"no files match {paths_or_glob!r}")
    elif isinstance(paths_or_glob, (str, os.PathLike)):
        pattern = os.fspath(paths_or_glob)
        paths = glob.glob(pattern)
        if not paths:
            raise FileNotFoundError(f"no files match {pattern!r}")
    else:
        paths = [p if _remote.is_remote(p) else os.fspath(p) for p in paths_or_glob]
        if not paths:
            raise ValueError("open_series needs at least one dump")
    return sorted(paths, key=_natural_key)


def _read_chunk(array, key):
    """One chunk of a series: a selection of one dump, with the leading
    "dump" axis."""
    return array._getitem(key)[None]


def _stacked(arrays, name, chunks, dtype=np.float32):
    """A dask array of the dumps' arrays stacked along a new first axis,
    one chunk per dump along it and `chunks` (one tuple per axis of a
    dump) along the others; each chunk reads its part of one dump."""
    edges = [np.concatenate([[0], np.cumsum(c)]).tolist() for c in chunks]
    parts = list(itertools.product(*[range(len(c)) for c in chunks]))
    graph = {}
    for i, array in enumerate(arrays):
        for part in parts:
            key = tuple(slice(edges[d][j], edges[d][j + 1]) for d, j in enumerate(part))
            graph[(name, i) + part] = (_read_chunk, array, key)
    return da.Array(graph, name, ((1,) * len(arrays),) + tuple(chunks), dtype=dtype,
                    meta=np.empty((0,) * (len(chunks) + 1), dtype))


def _common_attrs(attrs: list) -> dict:
    """The attributes that every dump has with the same value."""
    def same(a, b):
        return np.array_equal(a, b) if isinstance(a, np.ndarray) or isinstance(b, np.ndarray) else a == b
    first = attrs[0]
    return {k: v for k, v in first.items() if all(k in a and same(a[k], v) for a in attrs[1:])}


def _check_sizes(paths, sizes):
    for p, s in zip(paths[1:], sizes[1:]):
        if s != sizes[0]:
            raise ValueError(f"{_label(p)} has sizes {s}, but {_label(paths[0])} has {sizes[0]}; "
                             f"a series needs dumps of one shape")


def _user_chunks(chunks, dims, shape, preferred):
    """Chunks along each axis of one dump: the caller's where given (as
    dask takes them), the preferred ones elsewhere."""
    wanted = tuple(chunks.get(d, p) if isinstance(chunks, dict) else chunks for d, p in zip(dims, preferred))
    return normalize_chunks(wanted, shape, dtype=np.float32)


def _field_series(paths, chunks):
    headers = [_field_header(p) for p in paths]
    first = headers[0]
    _check_sizes(paths, [dict(zip("xyz", h.shape)) for h in headers])
    arrays = [FieldArray(p, h) for p, h in zip(paths, headers)]
    layers = _layer_chunks(first)
    preferred = (first.nx, first.ny, layers)
    data = _stacked(arrays, "vintar-field-" + tokenize(paths, [(h.file_size, h.blocks.offset.tobytes())
                                                                for h in headers]),
                    _user_chunks(chunks, "xyz", first.shape, preferred))
    coords = {}
    for axis in "xyz":
        values = [getattr(h, axis) for h in headers]
        # The axes were read once, by the scans; dumps whose axis equals
        # the first's share it.
        if all(np.array_equal(v, values[0]) for v in values[1:]):
            coords[axis] = np.array(values[0])
        else:
            coords[axis] = (("dump", axis), np.stack(values))
    attrs = _common_attrs([_field_attrs(p, h) for p, h in zip(paths, headers)])
    return xr.Dataset({"field": (("dump", "x", "y", "z"), data)}, coords=coords, attrs=attrs)


def _phase_series(paths, n_dimensions, chunks):
    headers = [_phase_header(p, n_dimensions) for p in paths]
    first = headers[0]
    _check_sizes(paths, [{"component": h.components, "particle": h.particles} for h in headers])
    arrays = [PhaseSpaceArray(p, h) for p, h in zip(paths, headers)]
    preferred = (first.components, _particle_chunks(first) or (0,))
    data = _stacked(arrays, "vintar-phase-" + tokenize(paths, [(h.file_size, h.blocks.offset.tobytes())
                                                                for h in headers]),
                    _user_chunks(chunks, ("component", "particle"), arrays[0].shape, preferred))
    attrs = _common_attrs([{"name": _dump_name(p), "n_dimensions": h.n_dimensions, "blocks": len(h.blocks)}
                           for p, h in zip(paths, headers)])
    return xr.Dataset({"phase_space": (("dump", "component", "particle"), data)}, attrs=attrs)


def open_series(paths_or_glob, *, chunks=None, n_dimensions=None, drop_variables=None,
                storage_options=None) -> xr.Dataset:
    """Opens many dumps as one dask-backed dataset with a leading "dump"
    dimension, ordered by file name (numbers in names compared by value),
    with the file names as its coordinate.

    `paths_or_glob` is a glob pattern (a URL with a pattern is globbed by
    its file system) or a sequence of paths, URLs or file objects; phase-space
    dumps need `n_dimensions`. The dataset is built from the dumps' scans
    alone: no data is read until it is computed. `chunks` ({dim: size} as
    dask takes it) defaults to the writer's layers along z within each
    dump, or groups of blocks along the particles. The dumps must agree in
    shape; an axis that differs between dumps (a moving window) becomes a
    coordinate along "dump" too, and dumps whose axes agree share them."""
    given = _series_paths(paths_or_glob, storage_options)
    paths = [_path_of(p, storage_options) for p in given]
    chunks = {} if chunks is None else chunks
    if n_dimensions is None:
        series = _field_series(paths, chunks)
    else:
        series = _phase_series(paths, n_dimensions, chunks)
    names = [os.path.basename(_label(p)) for p in paths]
    if len(set(names)) < len(names):
        names = [_label(p) for p in paths]
    series = series.assign_coords(dump=names)
    if drop_variables is not None:
        series = series.drop_vars(drop_variables, errors="ignore")
    return series
