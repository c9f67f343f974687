"""Dumps as labelled, lazy xarray datasets, and time series of dumps.

The backend registers under the engine name "vintar"::

    import xarray as xr
    ds = xr.open_dataset("run/Ex_out.bin", engine="vintar")                   # field dump
    ps = xr.open_dataset("run/beam.bin", engine="vintar", n_dimensions=3)     # phase-space dump
    ps.phase_space.sel(component="px")      # components named as components.default_labels gives,
                                            # or by labels=[...] of 2n+1 names

Opening opens the dump once (``dorvo.quickio.open``): one native scan of the
header, the block table and the axes, or for a phase-space dump the block
counts, and the file's identity pinned. The data stay on disk until
indexed: a selection reads only the blocks that hold it, through the
dump's read planner, and raises OSError when the file changed since it was
opened. Loading a whole variable goes through the dump's ``load()``.

With dask, a field is chunked by its blocks, each cut to about 128 MiB,
and the particles of a phase-space dump by groups of whole blocks, so that
a reduction reads each chunk once and on its own.

``open_series`` stacks many dumps along a leading "dump" dimension as one
dask-backed dataset, built from the dumps' scans and labelled by the steps
in the dumps' names; ``select_position`` selects by position in a series
whose window moves.

The arrays behind a dataset hold an opened dump, which pickles as how to
open it and its pinned identity, so they travel to dask's process and
distributed workers, which refuse a file that changed.

A dump may also be a URL read through fsspec (http(s)://, s3://, gs://,
...; ``storage_options`` go to its file system), an fsspec OpenFile or a
binary file object. Such a dump is read by byte ranges: opening reads the
header, the block extents or counts and the axes; a selection the blocks
it touches, nearby runs coalesced into one range; a whole variable a few
large ranges fetched together. A URL pickles as its name; a file object
serves the process that holds it.
"""
from __future__ import annotations

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

from dorvo.quickio import _dump as _targets
from dorvo.quickio._dump import Dump, step_number
from dorvo.quickio.components import check_labels
from dorvo.quickio.header import FieldHeader

__all__ = ["FieldArray", "PhaseSpaceArray", "VintarBackendEntrypoint", "open_field_dataset",
           "open_phase_space_dataset", "open_series", "select_position"]

SUFFIX = ".bin"


def _key(key: tuple, shape: tuple) -> tuple:
    """A basic key as Dump.read takes it: slices and ints."""
    return tuple(k if isinstance(k, slice) else int(k) for k in key)


class _DumpArray(BackendArray):
    """A variable of one opened dump: basic indexing, each selection one
    read of the dump; the whole variable through its load()."""

    dtype = np.dtype(np.float32)

    def __init__(self, dump: Dump):
        self.dump = dump
        self.shape = dump.header.shape if isinstance(dump.header, FieldHeader) else (
            dump.header.components, dump.header.particles)

    def __getitem__(self, key):
        return indexing.explicit_indexing_adapter(
            key, self.shape, indexing.IndexingSupport.BASIC, self._getitem)

    def _whole(self, key) -> bool:
        return all(isinstance(k, slice) and k.indices(n) == (0, n, 1) for k, n in zip(key, self.shape))


class FieldArray(_DumpArray):
    """The field of a field dump, (nx, ny, nz) float32, read on indexing:
    from each block that holds part of a selection, the rows of its
    z-planes that the selection spans."""

    def _getitem(self, key):
        key = _key(key, self.shape)
        if self._whole(key):
            return self.dump.load()[0]
        return self.dump.read(*key)


class PhaseSpaceArray(_DumpArray):
    """The components of a phase-space dump, (2n+1, particles) float32,
    read on indexing: a particle range reads the stretch of the file that
    holds it."""

    def _getitem(self, key):
        key = _key(key, self.shape)
        if self._whole(key) and self.shape[1]:
            return self.dump.load()
        return self.dump.read(components=key[0], particles=key[1])


def _opened(filename_or_obj, n_dimensions=None, storage_options=None) -> Dump:
    """The Dump of a path, URL, fsspec OpenFile or file object (a Dump
    passes as it is)."""
    if isinstance(filename_or_obj, Dump):
        return filename_or_obj
    if not (_targets.is_remote(filename_or_obj) or isinstance(filename_or_obj, (str, os.PathLike))):
        raise TypeError(f"the vintar engine reads dumps named by a path or a URL, or from a binary file object, "
                        f"not from {type(filename_or_obj).__name__}")
    if n_dimensions is not None and int(n_dimensions) < 0:
        raise ValueError(f"n_dimensions must be 0 or more, not {int(n_dimensions)}")
    if not _targets.is_remote(filename_or_obj):
        filename_or_obj = os.path.abspath(os.fsdecode(os.fspath(filename_or_obj)))
    return Dump(filename_or_obj, n_dimensions=n_dimensions, storage_options=storage_options, strict=False)


def _dump_name(dump: Dump) -> str:
    name = os.path.basename(dump.name)
    return name[:-len(SUFFIX)] if name.endswith(SUFFIX) else name


def _field_attrs(dump: Dump) -> dict:
    h = dump.header
    return {
        "name": _dump_name(dump),
        "nparam": h.nparam,
        "integer_params": np.array(h.int_params, np.int32),
        "real_params": np.array(h.real_params, np.float32),
        "nproc_y": h.nproc_y,
        "nproc_z": h.nproc_z,
    }


def _field_dump(dump: Dump) -> Dump:
    h = dump.header
    if h is None:
        raise ValueError(dump.not_a_field_dump("pass n_dimensions=N"))
    if not h.well_formed:
        raise ValueError(f"{h.path}: not a well-formed field dump: {h.reason}")
    return dump


def _phase_dump(dump: Dump) -> Dump:
    h = dump.header
    if not h.well_formed:
        raise ValueError(f"{h.path}: not a whole phase-space dump when read with n_dimensions={h.n_dimensions}: "
                         f"{h.reason}")
    return dump


def _preferred(dump: Dump, dims) -> dict:
    return dict(zip(dims, dump.chunks()))


def open_field_dataset(path, *, storage_options=None) -> xr.Dataset:
    """Dataset of the field dump at `path` (a path, a URL or a file object):
    the variable "field" (x, y, z), lazily read, with the axes as
    coordinates and the header as attributes."""
    return _field_dataset(_opened(path, storage_options=storage_options))


def _field_dataset(dump: Dump) -> xr.Dataset:
    h = _field_dump(dump).header
    data = indexing.LazilyIndexedArray(FieldArray(dump))
    field = xr.Variable(("x", "y", "z"), data, encoding={"preferred_chunks": _preferred(dump, "xyz")})
    coords = {"x": np.array(h.x), "y": np.array(h.y), "z": np.array(h.z)}
    return xr.Dataset({"field": field}, coords=coords, attrs=_field_attrs(dump))


def open_phase_space_dataset(path, n_dimensions: int, *, labels=None, storage_options=None) -> xr.Dataset:
    """Dataset of the phase-space dump at `path` (a path, a URL or a file
    object) read with `n_dimensions`: the variable "phase_space"
    (component, particle), lazily read, chunked by groups of blocks when
    opened with dask, with the components named by `labels` (2n+1 names;
    by default those of ``components.default_labels``)."""
    return _phase_dataset(_opened(path, n_dimensions, storage_options), labels)


def _components(n_dimensions: int, labels) -> np.ndarray:
    """The "component" coordinate: the components' names, so that
    ``sel(component="px")`` picks one and ``isel`` keeps counting. Python
    strings (dtype object), which NetCDF-4 and Zarr 3 both store as
    variable-length strings; Zarr has no stable type for NumPy's
    fixed-width ones."""
    return np.array(check_labels(labels, n_dimensions), dtype=object)


def _phase_dataset(dump: Dump, labels=None) -> xr.Dataset:
    h = _phase_dump(dump).header
    names = _components(h.n_dimensions, labels)
    data = indexing.LazilyIndexedArray(PhaseSpaceArray(dump))
    encoding = {"preferred_chunks": _preferred(dump, ("component", "particle"))} if h.particles else {}
    attrs = {"name": _dump_name(dump), "n_dimensions": h.n_dimensions, "blocks": len(h.blocks)}
    return xr.Dataset({"phase_space": xr.Variable(("component", "particle"), data, encoding=encoding)},
                      coords={"component": names}, attrs=attrs)


def _no_labels_for_fields(labels) -> None:
    if labels is not None:
        raise ValueError("labels= names the components of a phase-space dump; give n_dimensions to read one")


class VintarBackendEntrypoint(BackendEntrypoint):
    """xarray backend for field and phase-space dumps (engine "vintar").

    A field dump is recognised by its header; a phase-space dump records
    no dimension count, so it is opened with ``n_dimensions=N``, and its
    components are named by ``labels=[...]`` (2n+1 names; by default x,
    px, w for n = 1 and so on, as ``components.default_labels`` gives)."""

    description = "Field and phase-space dumps of the plasma code Vintar, read lazily as float32"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "n_dimensions", "labels", "storage_options")

    def open_dataset(self, filename_or_obj, *, drop_variables=None, n_dimensions=None, labels=None,
                     storage_options=None):
        if n_dimensions is None:
            _no_labels_for_fields(labels)
        dump = _opened(filename_or_obj, n_dimensions, storage_options)
        try:
            ds = _field_dataset(dump) if n_dimensions is None else _phase_dataset(dump, labels)
        except BaseException:
            dump.close()
            raise
        if drop_variables is not None:
            ds = ds.drop_vars(drop_variables, errors="ignore")
        ds.set_close(dump.close)
        return ds

    def guess_can_open(self, filename_or_obj) -> bool:
        # A remote dump is opened only when asked for by engine="vintar":
        # guessing would cost requests for every URL that xarray opens.
        if _targets.is_remote(filename_or_obj) or not isinstance(filename_or_obj, (str, os.PathLike)):
            return False
        try:
            if not os.path.isfile(filename_or_obj):
                return False
            with _opened(filename_or_obj) as dump:
                return dump.is_field_dump
        except (TypeError, ValueError, EOFError, OSError):
            return False


# ---------------------------------------------------------------- series


def _natural_key(path):
    """Sorts file names with their numbers by value: dump_9 before dump_10."""
    label = _targets.target_name(path)
    name = os.path.basename(label)
    return [(0, int(part), "") if part.isdigit() else (1, 0, part)
            for part in re.split(r"(\d+)", name)], label


def _series_paths(paths_or_glob, storage_options=None) -> list:
    if _targets.is_url(paths_or_glob):
        paths = _targets.glob(paths_or_glob, storage_options)
        if not paths:
            raise FileNotFoundError(f"no files match {paths_or_glob!r}")
    elif isinstance(paths_or_glob, (str, os.PathLike)):
        pattern = os.fspath(paths_or_glob)
        paths = glob.glob(pattern)
        if not paths:
            raise FileNotFoundError(f"no files match {pattern!r}")
    else:
        paths = [p if _targets.is_remote(p) else os.fspath(p) for p in paths_or_glob]
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


def _check_sizes(dumps, sizes):
    for d, s in zip(dumps[1:], sizes[1:]):
        if s != sizes[0]:
            raise ValueError(f"{d.name} has sizes {s}, but {dumps[0].name} has {sizes[0]}; "
                             f"a series needs dumps of one shape")


def _user_chunks(chunks, dims, shape, preferred):
    """Chunks along each axis of one dump: the caller's where given (as
    dask takes them), the preferred ones elsewhere."""
    wanted = tuple(chunks.get(d, p) if isinstance(chunks, dict) else chunks for d, p in zip(dims, preferred))
    return normalize_chunks(wanted, shape, dtype=np.float32)


def _token(dumps) -> str:
    return tokenize([d.name for d in dumps], [repr(d.identity) for d in dumps])


def _field_series(dumps, chunks):
    dumps = [_field_dump(d) for d in dumps]
    headers = [d.header for d in dumps]
    first = headers[0]
    _check_sizes(dumps, [dict(zip("xyz", h.shape)) for h in headers])
    arrays = [FieldArray(d) for d in dumps]
    data = _stacked(arrays, "vintar-field-" + _token(dumps),
                    _user_chunks(chunks, "xyz", first.shape, dumps[0].chunks()))
    coords = {}
    for axis in "xyz":
        values = [getattr(h, axis) for h in headers]
        # The axes were read once, by the scans; dumps whose axis equals
        # the first's share it.
        if all(np.array_equal(v, values[0]) for v in values[1:]):
            coords[axis] = np.array(values[0])
        else:
            coords[axis] = (("dump", axis), np.stack(values))
    attrs = _common_attrs([_field_attrs(d) for d in dumps])
    return xr.Dataset({"field": (("dump", "x", "y", "z"), data)}, coords=coords, attrs=attrs)


def _phase_series(dumps, chunks, labels=None):
    dumps = [_phase_dump(d) for d in dumps]
    headers = [d.header for d in dumps]
    names = _components(headers[0].n_dimensions, labels)
    _check_sizes(dumps, [{"component": h.components, "particle": h.particles} for h in headers])
    arrays = [PhaseSpaceArray(d) for d in dumps]
    data = _stacked(arrays, "vintar-phase-" + _token(dumps),
                    _user_chunks(chunks, ("component", "particle"), arrays[0].shape, dumps[0].chunks()))
    attrs = _common_attrs([{"name": _dump_name(d), "n_dimensions": h.n_dimensions, "blocks": len(h.blocks)}
                           for d, h in zip(dumps, headers)])
    return xr.Dataset({"phase_space": (("dump", "component", "particle"), data)}, coords={"component": names},
                      attrs=attrs)


def _labels(dumps) -> tuple:
    """(order, steps, files) of a series: the step numbers of the dumps'
    names when every name gives one and no two give the same, in step
    order; else None for steps, and the dumps in the order they came. The
    files are the names, or the whole paths where two names are alike."""
    files = [os.path.basename(d.name) for d in dumps]
    if len(set(files)) < len(files):
        files = [d.name for d in dumps]
    steps = [step_number(f) for f in files]
    # A label is an int64: a longer run of digits is no step either.
    if None in steps or len(set(steps)) < len(steps) or max(steps) > np.iinfo(np.int64).max:
        return list(range(len(dumps))), None, files
    order = sorted(range(len(dumps)), key=steps.__getitem__)
    return order, [steps[i] for i in order], [files[i] for i in order]


def open_series(paths_or_glob, *, chunks=None, n_dimensions=None, labels=None, drop_variables=None,
                storage_options=None) -> xr.Dataset:
    """Opens many dumps as one dask-backed dataset with a leading "dump"
    dimension labelled by step.

    The step of a dump is the last number in its file name (Ex_0.bin,
    Ex_50.bin, Ex_100.bin: 0, 50, 100), and the dumps are ordered by it.
    The file names are the coordinate "file" along "dump" (whole paths
    where two dumps have the same name). Where a name holds no number, or
    two dumps give the same step, "dump" is labelled 0 to n-1 instead, in
    the order of the names (numbers in names compared by value): every dump
    is kept, and "file" tells them apart.

    `paths_or_glob` is a glob pattern (a URL with a pattern is globbed by
    its file system) or a sequence of paths, URLs or file objects; phase-space
    dumps need `n_dimensions`, and take `labels` as open_dataset does. The
    dataset is built from the dumps' scans alone: no data is read until it
    is computed. `chunks` ({dim: size} as dask takes it) defaults to the
    writer's layers along z within each dump, or groups of blocks along the
    particles. The dumps must agree in
    shape; an axis that differs between dumps (a moving window) becomes a
    coordinate along ("dump", axis), which ``select_position`` selects by
    position; dumps whose axes agree share them."""
    if n_dimensions is None:
        _no_labels_for_fields(labels)
    given = _series_paths(paths_or_glob, storage_options)
    dumps = []
    try:
        for p in given:
            dumps.append(_opened(p, n_dimensions, storage_options))
        order, steps, files = _labels(dumps)
        dumps = [dumps[i] for i in order]
        chunks = {} if chunks is None else chunks
        series = _field_series(dumps, chunks) if n_dimensions is None else _phase_series(dumps, chunks, labels)
    except BaseException:
        for d in dumps:
            d.close()
        raise
    series = series.assign_coords(dump=np.arange(len(dumps)) if steps is None else np.array(steps, np.int64),
                                  file=("dump", files))
    if drop_variables is not None:
        series = series.drop_vars(drop_variables, errors="ignore")
    series.set_close(lambda: [d.close() for d in dumps])
    return series


def _nearest(axis: np.ndarray, value: float, name: str) -> int:
    """The position in `axis` of the value nearest `value`; of two as near,
    the greater value, as xarray's .sel(method="nearest") picks."""
    distance = np.abs(axis.astype(np.float64) - value)
    if not np.isfinite(value) or not np.isfinite(distance).any():
        raise ValueError(f"{name}: no finite value of the axis is nearest {value}")
    nearest = np.flatnonzero(distance == np.nanmin(distance))
    return int(nearest[np.argmax(axis[nearest])])


def select_position(series, **positions):
    """The values of `series` (a dataset or a variable of ``open_series``)
    nearest the given positions, {axis: value}, in axis units.

    An axis that every dump shares selects as ``.sel(axis=value,
    method="nearest")`` does. An axis that moves from dump to dump (the
    coordinate ("dump", axis)), which ``.sel`` cannot take, selects in each
    dump the point of that dump's own axis nearest the value: the result
    keeps "dump", and the coordinate `axis` along it holds the positions
    picked. Of two points as near, the greater position is picked."""
    indexers = {}
    for name, value in positions.items():
        if name not in series.coords:
            raise KeyError(f"{name!r} is not an axis of the series; it has {sorted(map(str, series.coords))}")
        axis = series.coords[name]
        value = float(value)
        if axis.dims == (name,):
            indexers[name] = _nearest(axis.values, value, name)
        elif axis.dims == ("dump", name):
            indexers[name] = xr.DataArray([_nearest(row, value, name) for row in axis.values], dims="dump")
        else:
            raise ValueError(f"{name!r} is a coordinate on {axis.dims}, not an axis of the dumps")
    return series.isel(indexers)
