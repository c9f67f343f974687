"""Dumps as labelled, lazy xarray datasets, and time series of dumps.

The backend registers under the engine name "vintar"::

    import xarray as xr
    ds = xr.open_dataset("run/Ex_out.bin", engine="vintar")                   # field dump
    ps = xr.open_dataset("run/beam.bin", engine="vintar", n_dimensions=3)     # phase-space dump

Opening reads only the header, the block extents and the axes (or, for a
phase-space dump, the block counts). The data stay on disk until indexed:
a selection reads only the blocks that hold it, straight into a float32
array where the layout allows, with the interpreter lock released during
the reads. Loading a whole variable goes through the native loader.

``open_series`` stacks many dumps along a leading "dump" dimension as one
dask-backed dataset, one chunk per dump or finer.

The arrays behind a dataset hold paths, not open files, so they pickle and
travel to dask's process and distributed workers.
"""
from __future__ import annotations

import glob
import os
import re

import numpy as np

try:
    import xarray as xr
    from xarray.backends import BackendArray, BackendEntrypoint
    from xarray.core import indexing
except ImportError as e:  # pragma: no cover - depends on the installation
    raise ImportError("dorvo.quickio.xarray needs xarray and dask: "
                      "pip install 'dorvo.quickio[xarray]'") from e

from dorvo.quickio import beamdump, meshdump
from dorvo.quickio.header import (INT32_MAX, LOADER_MIN_NPARAM, is_field_dump, read_field_header,
                                  read_phase_space_header)

__all__ = ["FieldArray", "PhaseSpaceArray", "VintarBackendEntrypoint", "open_field_dataset",
           "open_phase_space_dataset", "open_series"]

SUFFIX = ".bin"

# Particle entries read at a time by a partial phase-space read: bounds the
# scratch buffer (entries of n = 3 take 32 bytes, so 8 MiB) whatever the
# size of the selection.
_ENTRIES_PER_READ = 1 << 18


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


def _overlap(r: range, lo: int, hi: int) -> tuple[int, int]:
    """Positions [p0, p1) in `r` (a range with a positive step) of the
    values that lie in [lo, hi)."""
    p0 = max(0, -((r.start - lo) // r.step))
    p1 = min(len(r), -((r.start - hi) // r.step))
    return p0, max(p0, p1)


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


class FieldArray(BackendArray):
    """The field of a field dump, (nx, ny, nz) float32, read on indexing.

    A selection reads, from each block that holds part of it, the rows
    (runs of nx values) of its z-planes that the selection spans: a z-range
    touches only the layers that hold it, a y-range only the blocks that
    hold it. When the whole x extent is selected with unit y step, the rows
    land straight in the result; otherwise a plane goes through one scratch
    buffer. The whole field is read by the native loader."""

    def __init__(self, path: str, header):
        self.path = path
        self.shape = header.shape
        self.dtype = np.dtype(np.float32)
        self.blocks = tuple(b for b in header.blocks if b.ny_loc and b.nz_loc)
        # The loader appends the suffix itself and takes the dimension
        # count from the header, so it needs both.
        self.native = path.endswith(SUFFIX) and header.nparam >= LOADER_MIN_NPARAM

    def __getitem__(self, key):
        return indexing.explicit_indexing_adapter(
            key, self.shape, indexing.IndexingSupport.BASIC, self._getitem)

    def _getitem(self, key):
        ranges, drop = _ranges(key, self.shape)
        if self.native and _whole(ranges, self.shape):
            nx, ny, nz = self.shape
            return meshdump.read_Vintar_bin(self.path[:-len(SUFFIX)], {"nx": nx, "ny": ny, "nz": nz})[0]
        out = np.empty([len(r) for r in ranges], np.float32, order="F")
        if out.size:
            self._fill(out, *ranges)
        return out[drop]

    def _fill(self, out, rx, ry, rz):
        nx = self.shape[0]
        nys = len(ry)
        flat = out.reshape(-1, order="F")  # a view: out is F-contiguous
        # Whole rows can land in the result when it takes every x and
        # consecutive rows of y.
        rows_direct = rx == range(nx)
        xs = slice(rx.start, rx.stop, rx.step)
        scratch = None
        with open(self.path, "rb", buffering=0) as f:
            for b in self.blocks:
                pz0, pz1 = _overlap(rz, b.z0, b.z0 + b.nz_loc)
                py0, py1 = _overlap(ry, b.y0, b.y0 + b.ny_loc)
                if pz0 == pz1 or py0 == py1:
                    continue
                j0 = ry[py0] - b.y0
                rows = ry[py1 - 1] - b.y0 + 1 - j0
                direct = rows_direct and rows == py1 - py0
                if direct and rows == b.ny_loc == nys and rz.step == 1:
                    # The block's planes follow each other in the file as
                    # they do in the result: one read for all of them.
                    k0 = rz[pz0] - b.z0
                    _read_at(f, b.offset + 4 * nx * b.ny_loc * k0, flat[nx * nys * pz0:nx * nys * pz1])
                    continue
                for p in range(pz0, pz1):
                    offset = b.offset + 4 * nx * (j0 + b.ny_loc * (rz[p] - b.z0))
                    if direct:
                        start = nx * (py0 + nys * p)
                        _read_at(f, offset, flat[start:start + nx * rows])
                        continue
                    if scratch is None:
                        scratch = np.empty(nx * max(c.ny_loc for c in self.blocks), np.float32)
                    plane = scratch[:nx * rows]
                    _read_at(f, offset, plane)
                    out[:, py0:py1, p] = plane.reshape(nx, rows, order="F")[xs, ::ry.step]


class PhaseSpaceArray(BackendArray):
    """The components of a phase-space dump, (2n+1, particles) float32,
    read on indexing.

    A particle range reads the entries of only the blocks that hold it, a
    bounded number at a time into one scratch buffer, from which the
    components are copied into the result (the trailing word of each entry
    stands between them, so they cannot be read in place). The whole array
    is read by the native loader."""

    def __init__(self, path: str, header):
        self.path = path
        self.n_dimensions = header.n_dimensions
        self.shape = (header.components, header.particles)
        self.dtype = np.dtype(np.float32)
        held = [b for b in header.blocks if b.count > 0]
        self.counts = np.array([b.count for b in held], np.int64)
        self.offsets = np.array([b.offset for b in held], np.int64)
        self.starts = np.cumsum(self.counts) - self.counts  # first particle of each block
        # The loader holds sizes in 32-bit integers; a larger dump is read
        # block by block here instead.
        self.native = (path.endswith(SUFFIX) and self.shape[0] * self.shape[1] <= INT32_MAX
                       and all(c * header.entry_bytes <= INT32_MAX for c in self.counts.tolist()))

    def __getitem__(self, key):
        return indexing.explicit_indexing_adapter(
            key, self.shape, indexing.IndexingSupport.BASIC, self._getitem)

    def _getitem(self, key):
        ranges, drop = _ranges(key, self.shape)
        # The loader refuses a dump of no particles; its empty array needs no read.
        if self.native and _whole(ranges, self.shape) and all(self.shape):
            return beamdump.total_phase_space_read(self.path[:-len(SUFFIX)], {"n_dimensions": self.n_dimensions})
        out = np.empty([len(r) for r in ranges], np.float32, order="F")
        if out.size:
            self._fill(out.T, *ranges)
        return out[drop]

    def _fill(self, out_t, rc, rp):
        """Fills `out_t`, the result seen as (particles, components) in C
        order, one entry per row."""
        width = self.shape[0] + 1  # words per entry
        cs = slice(rc.start, rc.stop, rc.step)
        step = rp.step
        # Output rows per read, so that one read spans at most
        # _ENTRIES_PER_READ entries.
        per_read = max(1, (_ENTRIES_PER_READ - 1) // step + 1)
        scratch = np.empty((min(len(rp) - 1, per_read - 1) * step + 1, width), np.float32)
        first = int(np.searchsorted(self.starts, rp[0], side="right")) - 1
        with open(self.path, "rb", buffering=0) as f:
            for i in range(first, len(self.counts)):
                start, count = int(self.starts[i]), int(self.counts[i])
                if start > rp[-1]:
                    break
                q0, q1 = _overlap(rp, start, start + count)
                for q in range(q0, q1, per_read):
                    m = min(per_read, q1 - q)
                    entries = scratch[:(m - 1) * step + 1]
                    _read_at(f, int(self.offsets[i]) + 4 + 4 * width * (rp[q] - start), entries)
                    out_t[q:q + m] = entries[::step, cs]


def _path_of(filename_or_obj) -> str:
    if not isinstance(filename_or_obj, (str, os.PathLike)):
        raise TypeError(f"the vintar engine reads dumps from files named by a path, "
                        f"not from {type(filename_or_obj).__name__}")
    return os.path.abspath(os.fsdecode(os.fspath(filename_or_obj)))


def _dump_name(path: str) -> str:
    name = os.path.basename(path)
    return name[:-len(SUFFIX)] if name.endswith(SUFFIX) else name


def _layer_chunks(header):
    """Chunk sizes along z that follow the writer's layers: one size when
    every layer but the last has the same height and the last is no higher,
    otherwise the heights themselves (empty layers left out)."""
    heights = [header.blocks[iz * header.nproc_y].nz_loc for iz in range(header.nproc_z)]
    heights = [h for h in heights if h]
    if all(h == heights[0] for h in heights[:-1]) and heights[-1] <= heights[0]:
        return heights[0]
    return tuple(heights)


def open_field_dataset(path) -> xr.Dataset:
    """Dataset of the field dump at `path`: the variable "field" (x, y, z),
    lazily read, with the axes as coordinates and the header as attributes."""
    path = _path_of(path)
    h = read_field_header(path)
    if not h.well_formed:
        raise ValueError(f"{path}: not a well-formed field dump: {h.reason}")
    data = indexing.LazilyIndexedArray(FieldArray(path, h))
    field = xr.Variable(("x", "y", "z"), data, encoding={"preferred_chunks": {"z": _layer_chunks(h)}})
    attrs = {
        "name": _dump_name(path),
        "nparam": h.nparam,
        "integer_params": np.array(h.int_params, np.int32),
        "real_params": np.array(h.real_params, np.float32),
        "nproc_y": h.nproc_y,
        "nproc_z": h.nproc_z,
    }
    coords = {"x": np.array(h.x), "y": np.array(h.y), "z": np.array(h.z)}
    return xr.Dataset({"field": field}, coords=coords, attrs=attrs)


def open_phase_space_dataset(path, n_dimensions: int) -> xr.Dataset:
    """Dataset of the phase-space dump at `path` read with `n_dimensions`:
    the variable "phase_space" (component, particle), lazily read."""
    path = _path_of(path)
    h = read_phase_space_header(path, n_dimensions)
    # Blocks of negative count are empty, as the loaders read them; a last
    # block that the file cuts short has no data to read.
    held = [b for b in h.blocks if b.count > 0]
    if held and held[-1].offset + 4 + held[-1].count * h.entry_bytes > h.file_size:
        raise ValueError(f"{path}: not a whole phase-space dump when read with n_dimensions={h.n_dimensions}: {h.reason}")
    data = indexing.LazilyIndexedArray(PhaseSpaceArray(path, h))
    attrs = {"name": _dump_name(path), "n_dimensions": h.n_dimensions, "blocks": len(h.blocks)}
    return xr.Dataset({"phase_space": xr.Variable(("component", "particle"), data)}, attrs=attrs)


def _nothing_to_close():
    pass


class VintarBackendEntrypoint(BackendEntrypoint):
    """xarray backend for field and phase-space dumps (engine "vintar").

    A field dump is recognised by its header; a phase-space dump records
    no dimension count, so it is opened with ``n_dimensions=N``."""

    description = "Field and phase-space dumps of the plasma code Vintar, read lazily as float32"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "n_dimensions")

    def open_dataset(self, filename_or_obj, *, drop_variables=None, n_dimensions=None):
        path = _path_of(filename_or_obj)
        if n_dimensions is not None:
            ds = open_phase_space_dataset(path, n_dimensions)
        elif is_field_dump(path):
            ds = open_field_dataset(path)
        else:
            raise ValueError(f"{path}: not a field dump (it does not start with a parameter count "
                             f"and that many integer parameters); to open it as a phase-space dump, "
                             f"pass n_dimensions=N")
        if drop_variables is not None:
            ds = ds.drop_vars(drop_variables, errors="ignore")
        # Nothing stays open between reads, but open_mfdataset calls every
        # dataset's closer when it is closed.
        ds.set_close(_nothing_to_close)
        return ds

    def guess_can_open(self, filename_or_obj) -> bool:
        try:
            path = _path_of(filename_or_obj)
            return os.path.isfile(path) and is_field_dump(path)
        except (TypeError, OSError):
            return False


def _natural_key(path: str):
    """Sorts file names with their numbers by value: dump_9 before dump_10."""
    name = os.path.basename(path)
    return [(0, int(part), "") if part.isdigit() else (1, 0, part)
            for part in re.split(r"(\d+)", name)], path


def _series_paths(paths_or_glob) -> list:
    if isinstance(paths_or_glob, (str, os.PathLike)):
        pattern = os.fspath(paths_or_glob)
        paths = glob.glob(pattern)
        if not paths:
            raise FileNotFoundError(f"no files match {pattern!r}")
    else:
        paths = [os.fspath(p) for p in paths_or_glob]
        if not paths:
            raise ValueError("open_series needs at least one dump")
    return sorted(paths, key=_natural_key)


def open_series(paths_or_glob, *, chunks=None, **kwargs) -> xr.Dataset:
    """Opens many dumps as one dask-backed dataset with a leading "dump"
    dimension, ordered by file name (numbers in names compared by value),
    with the file names as its coordinate.

    `paths_or_glob` is a glob pattern or a sequence of paths. `chunks`
    defaults to the writer's layers within each dump (one chunk per dump
    or finer); other keywords go to the backend (e.g. n_dimensions=3 for
    phase-space dumps). The dumps must agree in shape; axes that differ
    between dumps (a moving window) become coordinates along "dump" too."""
    paths = _series_paths(paths_or_glob)
    chunks = {} if chunks is None else chunks
    datasets = [xr.open_dataset(p, engine=VintarBackendEntrypoint, chunks=chunks, **kwargs) for p in paths]
    first = datasets[0]
    for p, ds in zip(paths[1:], datasets[1:]):
        if dict(ds.sizes) != dict(first.sizes):
            raise ValueError(f"{p} has sizes {dict(ds.sizes)}, but {paths[0]} has {dict(first.sizes)}; "
                             f"a series needs dumps of one shape")
    moving = [name for name in first.indexes
              if any(not ds.indexes[name].equals(first.indexes[name]) for ds in datasets[1:])]
    if moving:
        datasets = [ds.drop_indexes(moving) for ds in datasets]
    names = [os.path.basename(p) for p in paths]
    if len(set(names)) < len(names):
        names = paths
    series = xr.concat(datasets, dim="dump", data_vars="all", coords="different", compat="equals",
                       join="exact", combine_attrs="drop_conflicts")
    return series.assign_coords(dump=names)
