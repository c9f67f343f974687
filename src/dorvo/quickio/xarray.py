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

With dask, a field is chunked into about 128 MiB a chunk: its blocks
merged along y and z on block boundaries, a block too large cut along z, a
plane along y, a row along x; the particles of a phase-space dump by groups
of whole blocks; so that a reduction reads each chunk once and on its own.

``open_series`` stacks many dumps along a leading "dump" dimension as one
dask-backed dataset, built from the dumps' scans and labelled by the steps
in the dumps' names; ``select_position`` selects by position in a series
whose window moves.

The arrays behind a dataset hold an opened dump, which pickles as its
target, its pinned identity and its scan, so they travel to dask's process
and distributed workers; there, the first read opens the file and fails the
task with OSError when it is not the one pinned.

A dump may also be a URL read through fsspec (http(s)://, s3://, gs://,
...; ``storage_options`` go to its file system), an fsspec OpenFile or a
binary file object. Such a dump is read by byte ranges: opening reads the
header, the block extents or counts and the axes; a selection the blocks
it touches, nearby runs coalesced into one range; a whole variable a few
large ranges fetched together. A URL pickles as its name; a file object
serves the process that holds it.
"""

from __future__ import annotations

import functools
import itertools
import operator
import os

import numpy as np

try:
    import dask.array as da
    import xarray as xr
    from dask.array.core import normalize_chunks
    from dask.base import tokenize
    from xarray.backends import BackendArray, BackendEntrypoint
    from xarray.core import indexing
except ImportError as e:  # pragma: no cover - depends on the installation
    raise ImportError("dorvo.quickio.xarray needs xarray and dask: pip install 'dorvo.quickio[xarray]'") from e

from dorvo.quickio._dump import run as _run
from dorvo.quickio._dump import targets as _targets
from dorvo.quickio._dump.dump import Dump
from dorvo.quickio._dump.headers import field_attributes
from dorvo.quickio._dump.targets import dump_name
from dorvo.quickio._positions import select_position
from dorvo.quickio._runs import check_grid_sizes, file_labels, real_times, step_labels
from dorvo.quickio.components import check_labels
from dorvo.quickio.header import FieldHeader

__all__ = [
    "FieldArray",
    "PhaseSpaceArray",
    "VintarBackendEntrypoint",
    "open_field_dataset",
    "open_phase_space_dataset",
    "open_series",
    "select_position",
]


def _key(key: tuple, shape: tuple) -> tuple:
    """A basic key as Dump.read takes it: slices and ints."""
    return tuple(k if isinstance(k, slice) else int(k) for k in key)


class _DumpArray(BackendArray):
    """A variable of one opened dump: basic indexing, each selection one
    read of the dump; the whole variable through its load()."""

    dtype = np.dtype(np.float32)

    def __init__(self, dump: Dump):
        self.dump = dump
        self.shape = (
            dump.header.shape
            if isinstance(dump.header, FieldHeader)
            else (dump.header.components, dump.header.particles)
        )

    def __getitem__(self, key):
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.BASIC, self._getitem)

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
        raise TypeError(
            f"the vintar engine reads dumps named by a path or a URL, or from a binary file object, "
            f"not from {type(filename_or_obj).__name__}"
        )
    if not _targets.is_remote(filename_or_obj):
        filename_or_obj = os.path.abspath(os.fsdecode(os.fspath(filename_or_obj)))
    # The dataset owns the dump and closes it (ds.close(), or when it is
    # garbage-collected, without a warning, as xarray's own files do).
    return Dump(
        filename_or_obj,
        n_dimensions=n_dimensions,
        storage_options=storage_options,
        strict=False,
        resource_warning=False,
    )


def _view(target):
    """The record of the dump of an HDF5 view written by virtualize, once
    checked (see _view_record.dump_of); None for anything else."""
    if not isinstance(target, (str, os.PathLike)) or _targets.is_remote(target):
        return None
    path = os.fsdecode(os.fspath(target))
    if not path.lower().endswith((".h5", ".hdf5", ".nc")) or not os.path.isfile(path):
        return None
    from ._views.view_record import dump_of

    return dump_of(path)


def _field_attrs(dump: Dump) -> dict:
    return {"name": dump_name(dump.name), **field_attributes(dump.header)}


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
        raise ValueError(
            f"{h.path}: not a whole phase-space dump when read with n_dimensions={h.n_dimensions}: "
            f"{h.reason}{dump.dimensions_hint()}"
        )
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
    attrs = {"name": dump_name(dump.name), "n_dimensions": h.n_dimensions, "blocks": len(h.blocks)}
    return xr.Dataset(
        {"phase_space": xr.Variable(("component", "particle"), data, encoding=encoding)},
        coords={"component": names},
        attrs=attrs,
    )


def _no_labels_for_fields(labels) -> None:
    if labels is not None:
        raise ValueError("labels= names the components of a phase-space dump; give n_dimensions to read one")


class VintarBackendEntrypoint(BackendEntrypoint):
    """xarray backend for field and phase-space dumps (engine "vintar").

    A field dump is recognised by its header; a phase-space dump records
    no dimension count, so it is opened with ``n_dimensions=N``, and its
    components are named by ``labels=[...]`` (2n+1 names; by default x,
    px, w for n = 1 and so on, as ``components.default_labels`` gives).
    An HDF5 view that virtualize wrote opens as its dump, once the dump is
    found to be the file the view was made from (else OSError)."""

    description = "Field and phase-space dumps of the plasma code Vintar, read lazily as float32"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "n_dimensions", "labels", "storage_options")

    def open_dataset(
        self, filename_or_obj, *, drop_variables=None, n_dimensions=None, labels=None, storage_options=None
    ):
        view = _view(filename_or_obj)
        if view is not None:
            filename_or_obj, n_dimensions = view.ref, view.n_dimensions
        if n_dimensions is None:
            _no_labels_for_fields(labels)
        dump = _opened(filename_or_obj, n_dimensions, storage_options)
        if view is not None and tuple(dump.identity[:5]) != view.identity:
            dump.close()
            raise OSError(
                f"{view.view}: its dump {dump.name} is not the file the view was made from: it changed as it was opened"
            )
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
    return da.Array(
        graph, name, ((1,) * len(arrays),) + tuple(chunks), dtype=dtype, meta=np.empty((0,) * (len(chunks) + 1), dtype)
    )


def _common_attrs(attrs: list) -> dict:
    """The attributes that every dump has with the same value."""

    def same(a, b):
        return np.array_equal(a, b) if isinstance(a, np.ndarray) or isinstance(b, np.ndarray) else a == b

    first = attrs[0]
    return {k: v for k, v in first.items() if all(k in a and same(a[k], v) for a in attrs[1:])}


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
    check_grid_sizes(headers)
    arrays = [FieldArray(d) for d in dumps]
    data = _stacked(
        arrays, "vintar-field-" + _token(dumps), _user_chunks(chunks, "xyz", first.shape, dumps[0].chunks())
    )
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


class _Padded:
    """The particles of one dump of a series whose dumps hold different
    numbers of them, read as if it held `count`: those past its own end
    are NaN, so that the series is one array (dump, component, particle)."""

    def __init__(self, array: PhaseSpaceArray, count: int):
        self.array, self.count = array, count

    def _getitem(self, key):
        components, particles = key
        held = self.array.shape[1]
        start, stop, _ = particles.indices(self.count)
        out = np.full((len(range(*components.indices(self.array.shape[0]))), max(stop - start, 0)), np.nan, np.float32)
        if start < min(stop, held):
            out[:, : min(stop, held) - start] = self.array._getitem((components, slice(start, min(stop, held))))
        return out


def _phase_series(dumps, chunks, labels=None):
    dumps = [_phase_dump(d) for d in dumps]
    headers = [d.header for d in dumps]
    names = _components(headers[0].n_dimensions, labels)
    counts = [h.particles for h in headers]
    most = int(np.argmax(counts))
    arrays = [PhaseSpaceArray(d) for d in dumps]
    if min(counts) < max(counts):
        arrays = [_Padded(a, counts[most]) for a in arrays]
    data = _stacked(
        arrays,
        "vintar-phase-" + _token(dumps),
        _user_chunks(chunks, ("component", "particle"), (len(names), counts[most]), dumps[most].chunks()),
    )
    attrs = _common_attrs(
        [
            {"name": dump_name(d.name), "n_dimensions": h.n_dimensions, "blocks": len(h.blocks)}
            for d, h in zip(dumps, headers)
        ]
    )
    return xr.Dataset(
        {"phase_space": (("dump", "component", "particle"), data)},
        coords={"component": names, "particles": ("dump", np.array(counts, np.int64))},
        attrs=attrs,
    )


def _labels(dumps) -> tuple:
    """(order, steps, files) of a series: the step numbers of the dumps'
    names when every name gives one and no two give the same, in step
    order; else None for steps, and the dumps in the order they came. The
    files are the names, or the whole paths where two names are alike."""
    files = file_labels([d.name for d in dumps])
    order, steps = step_labels(files)
    return order, steps, [files[i] for i in order]


def open_series(
    paths_or_glob, *, chunks=None, n_dimensions=None, labels=None, drop_variables=None, storage_options=None, time=None
) -> xr.Dataset:
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
    is computed. `chunks` ({dim: size} as dask takes it) defaults to about
    128 MiB of each dump, its blocks merged (see Dump.chunks()), or groups
    of blocks along the particles. The dumps must agree in
    shape; an axis that differs between dumps (a moving window) becomes a
    coordinate along ("dump", axis), which ``select_position`` selects by
    position; dumps whose axes agree share them."""
    if n_dimensions is None:
        _no_labels_for_fields(labels)
    given = _run.targets(paths_or_glob, storage_options, "open_series")
    dumps = []
    try:
        for p in given:
            dumps.append(_opened(p, n_dimensions, storage_options))
        order, steps, files = _labels(dumps)
        dumps = [dumps[i] for i in order]
        chunks = {} if chunks is None else chunks
        series = _field_series(dumps, chunks) if n_dimensions is None else _phase_series(dumps, chunks, labels)
        if time is not None:
            series = series.assign_coords(time=("dump", real_times([d.header for d in dumps], operator.index(time))))
    except BaseException:
        for d in dumps:
            d.close()
        raise
    series = series.assign_coords(
        dump=np.arange(len(dumps)) if steps is None else np.array(steps, np.int64), file=("dump", files)
    )
    if drop_variables is not None:
        series = series.drop_vars(drop_variables, errors="ignore")
    # A function of the module, not a lambda: a series pickles with it.
    series.set_close(functools.partial(_close_all, dumps))
    return series


def _close_all(dumps) -> None:
    for d in dumps:
        d.close()
