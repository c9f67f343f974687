"""Conversion of dumps to NetCDF-4 and Zarr, chunk by chunk.

The output holds the dataset that the xarray backend (engine "vintar")
gives: "field" on (x, y, z) with the axes as coordinates, or "phase_space"
on (component, particle), and the header as attributes. The data are read
and written one chunk at a time by a few threads, so that a dump larger
than memory converts: at most a few chunks of WRITE_CHUNK_BYTES are in memory at
once. The values are stored as they are, float32 without compression.

The output is written under a temporary name beside it and renamed when
complete, so an interrupted conversion never leaves a file that looks
finished. It is stamped as ours (the root attribute "quickio_output" is
"convert"). An output that is, or holds, the dump (by any name: the dump
is known by its file) is refused; an existing output is replaced only
with `overwrite` and only when it is one that convert wrote (a Zarr store
with nothing added to it, a NetCDF-4 file), the previous one put back
should the replacement fail (see _output).

Attributes go into Zarr's zarr.json as JSON, which has no NaN or
infinity: such values are written as the strings "NaN", "Infinity" and
"-Infinity", as `quickio info --json` writes them.

Needs xarray and dask, h5netcdf (with h5py) for NetCDF, zarr 3 for Zarr:
``pip install "dorvo.quickio[convert]"``.
"""

from __future__ import annotations

import collections
import contextlib
import functools
import itertools
import json
import numbers
import os
import warnings

import numpy as np

from ._dump import progress as progress_
from ._dump.dump import Dump
from ._io import output as _output
from ._io.output import OutputExists, OutputRefused
from .header import json_number

__all__ = [
    "WRITE_CHUNK_BYTES",
    "FORMATS",
    "ConvertMissing",
    "OutputExists",
    "OutputRefused",
    "check_output",
    "convert",
    "field_chunks",
    "json_attrs",
    "phase_space_chunks",
    "netcdf_attrs",
    "require",
]

# Bytes of one chunk of the output at most: large enough that a chunk is a
# few large reads and writes, small enough that the few in flight stay well
# within a few hundred MiB. (The dask chunks of a dataset are larger, about
# _dump.planner.CHUNK_BYTES: a chunk there is one task of a computation.)
WRITE_CHUNK_BYTES = 32 << 20
# Threads that read (and, for NetCDF, reorder) chunks while the calling
# thread writes them to NetCDF: reordering keeps a core busy.
WORKERS = 2
# Threads that each read and write one Zarr chunk: they wait on the file
# system part of the time, so more of them than cores keep the cores busy.
ZARR_WORKERS = 4

# Output suffix: (format name, modules it needs).
FORMATS = {".nc": ("NetCDF-4", ("xarray", "h5netcdf", "h5py")), ".zarr": ("Zarr", ("xarray", "dask", "zarr"))}
# Output suffix: the kind of output an existing one must be to be replaced.
KINDS = {".nc": _output.NETCDF, ".zarr": _output.ZARR}
INSTALL_HINT = 'pip install "dorvo.quickio[convert]"'


class ConvertMissing(ImportError):
    """A library that the conversion needs is not installed."""


def output_format(out) -> str:
    """The suffix of `out` that names its format, or a ValueError."""
    suffix = os.path.splitext(os.path.normpath(os.fspath(out)))[1].lower()
    if suffix not in FORMATS:
        raise ValueError(f"{out}: name the output *.nc (NetCDF-4) or *.zarr (Zarr)")
    return suffix


def require(suffix: str) -> None:
    """Raises ConvertMissing, naming what to install, when a library that
    writing the format of `suffix` needs cannot be imported; lets callers
    fail before reading anything."""
    import importlib.util

    missing = [m for m in FORMATS[suffix][1] if importlib.util.find_spec(m) is None]
    if suffix == ".zarr" and not missing:
        import zarr

        if int(zarr.__version__.split(".")[0]) < 3:
            missing.append(f"zarr>=3 (zarr {zarr.__version__} is installed)")
    if missing:
        raise ConvertMissing(f"writing {FORMATS[suffix][0]} needs {', '.join(missing)}: {INSTALL_HINT}")


# ---------------------------------------------------------------- chunks


def _common(sizes):
    """The size shared by all of `sizes` but the last, which may be no
    larger (a regular chunking), or None."""
    sizes = [s for s in sizes if s]
    if sizes and all(s == sizes[0] for s in sizes[:-1]) and sizes[-1] <= sizes[0]:
        return sizes[0]
    return None


def field_chunks(header, limit: int | None = None) -> tuple[int, int, int]:
    """Chunk shape (x, y, z) for the field of a well-formed field dump: whole
    planes, as many whole layers of blocks as fit in `limit` bytes when the
    layers have one height (so that a chunk reads whole blocks, each in
    one run), else as many planes as fit; a plane larger than `limit` is
    cut along y, into the blocks' width when they have one."""
    limit = WRITE_CHUNK_BYTES if limit is None else limit
    nx, ny, nz = header.nx, header.ny, header.nz
    heights = [int(header.blocks[iz * header.nproc_y].nz_loc) for iz in range(header.nproc_z)]
    row = 4 * nx
    plane = row * ny
    if plane <= limit:
        per = limit // plane
        height = _common(heights)
        cz = height * (per // height) if height and height <= per else per
        return nx, ny, min(nz, cz)
    if row <= limit:
        width = _common([int(header.blocks[i].ny_loc) for i in range(header.nproc_y)])
        rows = limit // row
        return nx, min(ny, width if width and width <= rows else rows), 1
    return limit // 4, 1, 1


def phase_space_chunks(components: int, particles: int, limit: int | None = None) -> tuple[int, int]:
    """Chunk shape (component, particle): every component of as many
    particles as fit in `limit` bytes."""
    limit = WRITE_CHUNK_BYTES if limit is None else limit
    return components, max(1, min(particles, limit // (4 * components)))


# ---------------------------------------------------------------- attributes


def _netcdf_value(value):
    """`value` in a form NetCDF-4 stores, or None to leave it out.
    NetCDF has no booleans (stored as 0 and 1 bytes, the usual flag) and no
    None (the attribute is left out); a mapping becomes a JSON string;
    anything else that is not a number, a string or an array of either
    becomes its text."""
    if value is None:
        return None
    if isinstance(value, (bool, np.bool_)):
        return np.int8(value)
    if isinstance(value, (str, bytes, numbers.Number, np.number)):
        return value
    if isinstance(value, dict):
        return json.dumps(_json_value(value), default=str, allow_nan=False)
    if isinstance(value, (list, tuple, np.ndarray)):
        try:
            array = np.asarray(value)
        except ValueError:  # ragged
            return str(value)
        if array.dtype == np.bool_:
            return array.astype(np.int8)
        if array.ndim == 1 and array.dtype.kind in "iufU":
            return value
    return str(value)


def netcdf_attrs(attrs: dict) -> dict:
    """`attrs` with every value NetCDF-4 cannot store converted (see
    _netcdf_value) and None values left out."""
    out = {}
    for key, value in attrs.items():
        stored = _netcdf_value(value)
        if stored is not None:
            out[str(key)] = stored
    return out


def _json_value(value):
    """`value` with every non-finite float in it (in lists, tuples,
    mappings and float arrays) replaced by json_number's string, so that
    JSON takes it; anything without one is returned as it is."""
    if isinstance(value, (float, np.floating)):
        return value if np.isfinite(value) else json_number(float(value))
    if isinstance(value, np.ndarray):
        if value.dtype.kind in "fc" and not np.isfinite(value).all():
            return _json_value(value.tolist())
        return value
    if isinstance(value, (list, tuple)):
        return [_json_value(v) for v in value]
    if isinstance(value, dict):
        return {k: _json_value(v) for k, v in value.items()}
    return value


def json_attrs(attrs: dict) -> dict:
    """`attrs` with non-finite numbers written as json_number writes them,
    so that they can be stored as JSON (a Zarr store's zarr.json)."""
    return {key: _json_value(value) for key, value in attrs.items()}


# ---------------------------------------------------------------- writing


def _progress_bar(total: int, label: str):
    """A progress bar (on stderr) of the bytes written when tqdm is
    installed, else None."""
    return progress_.bar(label, total, terminal=False)


def _ticked(bar, block):
    """`block`, once counted by `bar`."""
    bar.add(block.nbytes)
    return block


def _open(dump: Dump):
    """The backend's lazy dataset of the opened dump, the name of its data
    variable and the chunk shape to write it in."""
    import xarray as xr

    from .header import FieldHeader

    field = isinstance(dump.header, FieldHeader)
    kwargs = {} if field else {"n_dimensions": dump.header.n_dimensions}
    # The vintar engine takes an opened Dump, which xarray's types do not name.
    ds = xr.open_dataset(dump, engine="vintar", **kwargs).drop_encoding()  # type: ignore[arg-type]
    if field:
        return ds, "field", field_chunks(dump.header)
    return ds, "phase_space", phase_space_chunks(*ds["phase_space"].shape)


def _input(dump: Dump) -> _output.Input:
    """The dump as the output checks know it: by its file's (device,
    inode) when it is a local file."""
    return _output.Input(dump.name, tuple(dump.identity[:2]) if dump.is_local else None)


def _c_order(block: np.ndarray) -> np.ndarray:
    """`block` in C order. A 3-D block with its first index fastest is
    reordered one y-slice at a time: each slice's rows lie close together
    in memory, where NumPy's copy of the whole block would take each value
    from another page (twice as slow on a 32 MiB chunk)."""
    if block.ndim != 3 or block.flags.c_contiguous:
        return np.ascontiguousarray(block)
    out = np.empty(block.shape, block.dtype)
    for j in range(block.shape[1]):
        out[:, j, :] = block[:, j, :]
    return out


def _chunk_reader(variable, chunks):
    """A function that reads the chunk starting at a given index of the
    lazy `variable` and returns it in C order and at the full chunk shape
    (an edge chunk padded with NaN, as HDF5 stores it)."""

    def read(start):
        region = tuple(slice(s, min(s + c, n)) for s, c, n in zip(start, chunks, variable.shape))
        block = np.asarray(variable[region].values)
        if block.shape == tuple(chunks):
            return start, _c_order(block)
        full = np.full(chunks, np.nan, block.dtype)
        full[tuple(slice(0, n) for n in block.shape)] = block
        return start, full

    return read


def _write_netcdf(ds, name, chunks, out, bar):
    """Writes `ds` to the NetCDF-4 file `out`. xarray writes everything but
    the data variable, h5netcdf declares that on the same dimensions, and
    its chunks go into the file as they are (h5py's direct chunk write):
    HDF5's ordinary write path stages every chunk in a buffer of its own
    and takes four times as long. Threads read and reorder the next chunks
    (the reader gives the first index fastest, HDF5 stores the last
    fastest) while this thread writes, with at most WORKERS + 1 chunks
    waiting."""
    import h5netcdf
    import h5py

    variable = ds[name].variable
    rest = ds.drop_vars(name)
    rest.attrs = {**netcdf_attrs(ds.attrs), _output.STAMP: _output.CONVERT}
    for v in rest.variables.values():
        v.attrs = netcdf_attrs(v.attrs)
    rest.to_netcdf(out, engine="h5netcdf")
    with h5netcdf.File(out, "a") as f:
        for dim, size in zip(variable.dims, variable.shape):
            if dim not in f.dimensions:
                f.dimensions[dim] = size
        created = f.create_variable(
            name,
            variable.dims,
            dtype=variable.dtype,
            fillvalue=np.float32(np.nan),
            chunks=tuple(chunks) if variable.size else None,
        )
        created.attrs.update(netcdf_attrs(variable.attrs))
    if not variable.size:
        return
    starts = itertools.product(*(range(0, n, c) for n, c in zip(variable.shape, chunks)))
    read = _chunk_reader(variable, chunks)
    with h5py.File(out, "r+") as f, _pool(WORKERS) as pool:
        write = f[name].id.write_direct_chunk
        pending = collections.deque()
        for start in starts:
            pending.append(pool.submit(read, start))
            if len(pending) > WORKERS:
                _write_one(write, pending.popleft().result(), bar)
        while pending:
            _write_one(write, pending.popleft().result(), bar)


def _write_one(write, chunk, bar):
    start, block = chunk
    write(start, block)
    if bar is not None:
        bar.add(block.nbytes)


def _zarr_job(ds, name, chunks, out, bar):
    """The deferred write of `ds` to a Zarr store. Each chunk is stored
    with its first index fastest, as the reader gives it (zarr's transpose
    codec records that order), so writing it copies nothing. Every chunk is
    written, also one that holds nothing but NaN (the fill value): zarr
    would otherwise test each chunk for that, a pass over it that costs as
    much as writing it."""
    from zarr.codecs import TransposeCodec

    ds = ds.chunk(dict(zip(ds[name].dims, chunks)))
    ds.attrs = {**json_attrs(ds.attrs), _output.STAMP: _output.CONVERT}
    for v in ds.variables.values():
        v.attrs = json_attrs(v.attrs)
    if bar is not None:
        ds[name] = ds[name].copy(data=ds[name].data.map_blocks(functools.partial(_ticked, bar), dtype=ds[name].dtype))
    order = tuple(reversed(range(ds[name].ndim)))
    encoding = {name: {"chunks": chunks, "compressors": None, "filters": [TransposeCodec(order=order)]}}
    return ds.to_zarr(
        out, mode="w-", zarr_format=3, consolidated=True, compute=False, encoding=encoding, write_empty_chunks=True
    )


@contextlib.contextmanager
def _pool(workers):
    """`workers` threads of our own. Should a task fail, the threads still
    at work finish before the failure propagates, so that no chunk is
    written after the caller has removed the output."""
    from concurrent.futures import ThreadPoolExecutor

    pool = ThreadPoolExecutor(workers, thread_name_prefix="quickio-convert")
    try:
        yield pool
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def _write_zarr(ds, name, chunks, out, bar):
    """Writes the Zarr store from a thread of its own while this one waits.
    zarr does its I/O on a thread of its own too, which an interrupt of
    the thread that waits for it does not stop: were the store written
    from here, a Ctrl-C would leave writes under way that could put files
    back into the store after the caller removed it. On an interrupt (or
    any exception) here, no further chunk starts, and this thread returns
    only once the writer has stopped, whatever more interrupts come."""
    import threading

    failure, done = [], threading.Event()
    with _pool(ZARR_WORKERS) as pool:

        def write():
            try:
                _zarr_job(ds, name, chunks, out, bar).compute(scheduler="threads", pool=pool)
            except BaseException as e:
                failure.append(e)
            finally:
                done.set()

        # Waited for by an event: a Thread.join() that an interrupt cuts
        # short may take the thread for ended (Python 3.11).
        threading.Thread(target=write, name="quickio-convert-zarr", daemon=True).start()
        try:
            done.wait()
        except BaseException:
            pool.shutdown(wait=False, cancel_futures=True)  # dask can start nothing more
            while not done.is_set():
                with contextlib.suppress(KeyboardInterrupt):
                    done.wait()
            raise
    if failure:
        raise failure[0]


def check_output(path, out, *, overwrite: bool = False) -> None:
    """Raises OutputRefused (OutputExists when `out` exists and not
    `overwrite`) unless convert() may write the dump at `path` (a path, a
    URL, a file object or an opened Dump) to `out`: `out` is not, and does
    not hold, the dump; it does not exist, or it is replaced (`overwrite`)
    and is an output that convert wrote. Lets callers refuse before
    reading any data: the dump's header is read only when `out` exists."""
    out = os.path.normpath(os.fspath(out))
    kind = KINDS[output_format(out)]
    if not os.path.lexists(out):
        return
    if isinstance(path, Dump):
        _output.check(out, kind, [_input(path)], overwrite)
        return
    with Dump(path, strict=False) as dump:
        _output.check(out, kind, [_input(dump)], overwrite)


def convert(path, out, n_dimensions=None, *, progress: bool = False, overwrite: bool = False) -> None:
    """Writes the dump at `path` (a path, a URL, a file object or an opened
    Dump; a phase-space dump read with `n_dimensions`) to `out`: NetCDF-4
    when it ends in .nc, a Zarr (format 3) store when it ends in .zarr.
    With `progress`, shows a progress bar when tqdm is installed.

    An `out` that is, or holds, the dump is refused (OutputRefused), and
    so is an existing `out` when the dump is not known to be a local file
    (nothing then tells that `out` does not hold it). An existing `out` is
    replaced only with `overwrite` (else OutputExists), and only when
    convert wrote it: a Zarr store with nothing added to it or a NetCDF-4
    file, stamped as ours; anything else is refused. The previous output
    is deleted only once the new one is in place; a failure or interrupt
    leaves it as it was and removes the new one. A write that fails (a
    full disk) raises OSError."""
    out = os.path.normpath(os.fspath(out))
    suffix = output_format(out)
    require(suffix)
    kind = KINDS[suffix]
    given = isinstance(path, Dump)
    dump = path if given else Dump(path, n_dimensions=n_dimensions, strict=False)
    bar = None
    try:
        if dump.header is None:
            raise ValueError(dump.not_a_field_dump("pass n_dimensions=N"))
        ds, name, chunks = _open(dump)
        bar = _progress_bar(ds[name].nbytes, os.path.basename(out)) if progress else None
        with _output.writing(out, kind, [_input(dump)], overwrite) as tmp, warnings.catch_warnings():
            # Consolidated metadata lets xarray open a Zarr store without
            # listing it; zarr warns that it is its own extension.
            warnings.filterwarnings("ignore", message="Consolidated metadata is currently not part")
            if suffix == ".nc":
                with _output.hdf5_errors(out):
                    _write_netcdf(ds, name, chunks, tmp, bar)
            else:
                _write_zarr(ds, name, chunks, tmp, bar)
    finally:
        if bar is not None:
            bar.close()
        if not given:
            dump.close()
