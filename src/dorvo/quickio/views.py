"""Views of dumps: HDF5 files that hold no values, only where the dump's
values lie, so that anything that reads HDF5 or NetCDF-4 (h5py, xarray,
ParaView and VisIt through XDMF, MATLAB, Julia) reads a dump in place.

A view of a field dump holds:
- under "blocks", datasets whose storage is external: the dump's file, and
  per block the byte offset and length of its data record; each dataset
  is the run of up to SEGMENTS blocks' values one after the other;
- "field", a virtual dataset of (z, y, x) that places every block's run at
  its place in the grid; (z, y, x) with x fastest is the dump's own byte
  order, so a block is one contiguous run of the dump;
- "x", "y" and "z", the axes, again as external storage in the dump's
  axis records, and dimension scales of "field", so that NetCDF readers
  take them as coordinate variables;
- the header as attributes of the root group.

A view of a phase-space dump holds datasets of the non-empty blocks'
(count, 2n+2) words (the particle entries with their trailing word) as
external storage, up to SEGMENTS blocks each, and "phase_space", a virtual dataset of
(particle, component) whose sources are the first 2n+1 columns of each
block. "particle" and "component" are dimensions without values, which
cost no bytes whatever their length. HDF5 reads that strided selection of
external storage one entry at a time; "entries", on (particle, word), is
the whole entries (the trailing word as its last column), which it reads
a block at a time: the quick way to read all particles in place.

All offsets and sizes are 64-bit. The dump is named by its absolute path,
or with `relative`, by its path relative to the view's folder, which HDF5
resolves against the prefix in HDF5_EXTFILE_PREFIX (`${ORIGIN}` being the
view's folder), else against the working directory.

An XDMF file over a view shows the field as one rectilinear grid and the
particles as one point cloud; over several views, one temporal collection
that viewers play as a time series.

Nothing of the dump is ever written: external storage is created without
fill values, and HDF5 leaves external files alone unless a fill value is
set. Every file is written under a temporary name and renamed when
complete; an existing view or XDMF file under its name is replaced,
anything else there is refused (see _output).
"""
from __future__ import annotations

import os
import re
from typing import NamedTuple, Optional, Sequence
from xml.sax.saxutils import escape, quoteattr

import numpy as np

from . import _output, xdmf
from ._output import OutputRefused
from .header import FieldHeader, PhaseSpaceHeader, read_field_header_if_dump, read_phase_space_header

__all__ = ["H5_SUFFIXES", "XMF_SUFFIXES", "OutputRefused", "ViewError", "Written", "require_h5py", "virtualize"]

H5_SUFFIXES = (".h5", ".hdf5", ".nc")
XMF_SUFFIXES = (".xmf", ".xdmf")
SUFFIX = ".bin"

# The name netCDF gives a dimension that has no coordinate variable; its
# readers (h5netcdf, netCDF-C) take a dimension scale of this name as a
# dimension only.
_NOT_A_VARIABLE = b"This is a netCDF dimension but not a netCDF variable."
# A root attribute that marks a file as a view written here: only such a
# file is replaced by a new view.
MARK = "quickio_view"


class ViewError(ValueError):
    """A dump, or a set of dumps, that cannot be viewed as asked."""


class Written(NamedTuple):
    """What virtualize() wrote: the files (the XDMF file last), the number
    of dumps and the number of blocks that the views place."""
    files: tuple
    dumps: int
    blocks: int


def require_h5py():
    """h5py, or ImportError naming the extra that installs it."""
    try:
        import h5py
    except ImportError as e:
        raise ImportError("writing an HDF5 view needs h5py: pip install 'dorvo.quickio[view]'") from e
    return h5py


# ---------------------------------------------------------------- dumps


def _header(dump, n_dimensions):
    """The header of a dump given as a path, as its header, or as an opened
    dump (anything with a `.header`), which must be a whole local file."""
    if isinstance(dump, (FieldHeader, PhaseSpaceHeader)):
        header = dump
    elif hasattr(dump, "header"):
        header = dump.header
    else:
        path = os.fspath(dump)
        if os.path.isdir(path):
            raise ViewError(f"{path}: is a directory, not a dump")
        header = read_field_header_if_dump(path)
        if header is None:
            if n_dimensions is None:
                raise ViewError(f"{path}: not a field dump; to read it as a phase-space dump, "
                                f"give its dimension count")
            header = read_phase_space_header(path, n_dimensions)
    if not header.well_formed:
        raise ViewError(f"{header.path}: cannot view a dump that is not well-formed: {header.reason}")
    if not os.path.isfile(header.path):
        raise ViewError(f"{header.path}: a view points at the dump's own bytes on a local disk; "
                        f"copy the dump there first")
    return header


def _dump_ref(path: str, out: str, relative: bool) -> str:
    """How the view at `out` names the dump: its absolute path, or its path
    from the real folder of `out` to the real dump."""
    if relative:
        try:
            return os.path.relpath(os.path.realpath(path), os.path.realpath(os.path.dirname(os.path.abspath(out))))
        except ValueError:  # another drive: no relative path exists
            pass
    return os.path.abspath(path)


def _stem(path: str) -> str:
    name = os.path.basename(path)
    return name[:-len(SUFFIX)] if name.endswith(SUFFIX) else name


# ---------------------------------------------------------------- HDF5


def _h5_file(tmp: str):
    import h5py

    # Creation order tracked, as NetCDF-4 files have it: netCDF-C lists
    # variables and dimensions in that order.
    fcpl = h5py.h5p.create(h5py.h5p.FILE_CREATE)
    fcpl.set_link_creation_order(h5py.h5p.CRT_ORDER_TRACKED | h5py.h5p.CRT_ORDER_INDEXED)
    fcpl.set_attr_creation_order(h5py.h5p.CRT_ORDER_TRACKED | h5py.h5p.CRT_ORDER_INDEXED)
    fid = h5py.h5f.create(os.fsencode(tmp), h5py.h5f.ACC_TRUNC, fcpl=fcpl)
    return h5py.File(fid)


def _external(loc, name: bytes, shape, ref: bytes, offset: int):
    """A float32 dataset of `shape` whose values are the bytes of file
    `ref` from `offset`. No fill value: nothing is written to the file."""
    from h5py import h5d, h5p, h5s, h5t

    dcpl = h5p.create(h5p.DATASET_CREATE)
    dcpl.set_fill_time(h5d.FILL_TIME_NEVER)
    dcpl.set_external(ref, int(offset), 4 * int(np.prod(shape, dtype=np.int64)))
    return h5d.create(loc, name, h5t.IEEE_F32LE, h5s.create_simple(tuple(int(s) for s in shape)), dcpl=dcpl)


# Blocks per source dataset. A dataset's external storage is a list of
# segments (file, offset, size) read as one run; its list is one object
# header message of at most 64 KiB, 24 bytes per segment. One segment per
# block and a few sources in all, rather than one dataset per block, make
# a view of thousands of blocks quick to write and to open.
SEGMENTS = 2048


def _sources(loc, ref: bytes, offsets, rows, width: int):
    """Datasets "0", "1", ... under `loc` whose storage is the runs of
    `rows[i]` rows of `width` float32 (a row of one value: a 1-D dataset)
    at `offsets[i]` of the file `ref`, SEGMENTS runs each, one after the
    other. Returns, per run, (its dataset's name, its first row there),
    and the number of rows of each dataset."""
    from h5py import h5d, h5p, h5s, h5t

    placed, lengths = [], []
    for first in range(0, len(rows), SEGMENTS):
        dcpl = h5p.create(h5p.DATASET_CREATE)
        dcpl.set_fill_time(h5d.FILL_TIME_NEVER)
        name, at = b"%d" % len(lengths), 0
        for offset, count in zip(offsets[first:first + SEGMENTS], rows[first:first + SEGMENTS]):
            dcpl.set_external(ref, offset, 4 * width * count)
            placed.append((name, at))
            at += count
        shape = (at,) if width == 1 else (at, width)
        h5d.create(loc, name, h5t.IEEE_F32LE, h5s.create_simple(shape), dcpl=dcpl).close()
        lengths.append(at)
    return placed, lengths


def _dimension(loc, name: bytes, length: int):
    """A dimension without a coordinate: a dataset of `length` that is never
    written, so its storage is never allocated."""
    from h5py import h5d, h5ds, h5p, h5s, h5t

    dcpl = h5p.create(h5p.DATASET_CREATE)
    dcpl.set_fill_time(h5d.FILL_TIME_NEVER)
    dim = h5d.create(loc, name, h5t.IEEE_F32LE, h5s.create_simple((int(length),)), dcpl=dcpl)
    h5ds.set_scale(dim, _NOT_A_VARIABLE + b"%10d" % int(length))
    return dim


def _virtual(loc, name: bytes, shape, mappings):
    """A float32 virtual dataset of `shape`: `mappings` yields, per source,
    (its name in this file, its dataspace with the selection to take,
    the start and the count of the virtual block that it fills). Each is
    taken as it comes, so a generator may reuse one dataspace."""
    from h5py import h5d, h5p, h5s, h5t

    dcpl = h5p.create(h5p.DATASET_CREATE)
    space = h5s.create_simple(tuple(int(s) for s in shape))
    target = h5s.create_simple(tuple(int(s) for s in shape))
    placed = 0
    for source, source_space, start, count in mappings:
        target.select_hyperslab(start, count)
        dcpl.set_virtual(target, b".", source, source_space)
        placed += 1
    if placed:
        dcpl.set_fill_value(np.array(np.nan, np.float32))
    return h5d.create(loc, name, h5t.IEEE_F32LE, space, dcpl=dcpl)


def _field_attrs(header: FieldHeader, path: str) -> dict:
    return {"name": _stem(path), "dump": os.path.abspath(path), "nparam": header.nparam,
            "integer_params": np.array(header.int_params, np.int32),
            "real_params": np.array(header.real_params, np.float32),
            "nproc_y": header.nproc_y, "nproc_z": header.nproc_z}


def _write_field(f, header: FieldHeader, ref: bytes) -> int:
    from h5py import h5ds, h5s

    b = header.blocks
    held = (b.nx_loc * b.ny_loc * b.nz_loc) > 0  # a block of no points places nothing
    sizes = (b.nx_loc * b.ny_loc * b.nz_loc)[held].tolist()
    placed, lengths = _sources(f.create_group("blocks").id, ref, b.offset[held].tolist(), sizes, 1)
    spaces = [h5s.create_simple((n,)) for n in lengths]

    def mappings():
        for (name, at), size, y0, z0, nx, ny, nz in zip(placed, sizes, b.y0[held].tolist(), b.z0[held].tolist(),
                                                         b.nx_loc[held].tolist(), b.ny_loc[held].tolist(),
                                                         b.nz_loc[held].tolist()):
            # The block's run, x fastest, fills its box of the (z, y, x) grid.
            space = spaces[int(name)]
            space.select_hyperslab((at,), (size,))
            yield b"blocks/" + name, space, (z0, y0, 0), (nz, ny, nx)

    field = _virtual(f.id, b"field", (header.nz, header.ny, header.nx), mappings())
    for axis, at, length, dim in zip(b"xyz", xdmf.field_axis_offsets(header), header.shape, (2, 1, 0)):
        scale = _external(f.id, bytes([axis]), (length,), ref, at)
        h5ds.set_scale(scale, bytes([axis]))
        h5ds.attach_scale(field, scale, dim)
        scale.close()
    field.close()
    return len(sizes)


def _write_phase_space(f, header: PhaseSpaceHeader, ref: bytes, copy: bool = False) -> int:
    from h5py import h5ds, h5s

    width, components = 2 * header.n_dimensions + 2, header.components
    if copy:
        return _copy_phase_space(f, header)
    held = header.blocks.count > 0
    # The entries follow each block's count word; every source is whole
    # entries, of which the first 2n+1 words (not the trailing one) are
    # placed, so one mapping per source places all its blocks.
    placed, lengths = _sources(f.create_group("blocks").id, ref, (header.blocks.offset[held] + 4).tolist(),
                               header.blocks.count[held].tolist(), width)
    picked, whole, start = [], [], 0
    for index, rows in enumerate(lengths):
        source = h5s.create_simple((rows, width))
        source.select_hyperslab((0, 0), (rows, components))
        picked.append((b"blocks/%d" % index, source, (start, 0), (rows, components)))
        whole.append((b"blocks/%d" % index, h5s.create_simple((rows, width)), (start, 0), (rows, width)))
        start += rows
    particles = _dimension(f.id, b"particle", header.particles)
    component = _dimension(f.id, b"component", components)
    word = _dimension(f.id, b"word", width)
    data = _virtual(f.id, b"phase_space", (header.particles, components), picked)
    # The whole entries, trailing word included: each block one contiguous
    # run, which HDF5 reads in one go where it reads the picked components
    # entry by entry.
    entries = _virtual(f.id, b"entries", (header.particles, width), whole)
    for d, dims in ((data, (particles, component)), (entries, (particles, word))):
        for axis, dim in enumerate(dims):
            h5ds.attach_scale(d, dim, axis)
    for d in (data, entries, particles, component, word):
        d.close()
    return len(placed)


def _copy_phase_space(f, header: PhaseSpaceHeader) -> int:
    """The components as values of the view, contiguous: what a viewer
    reads quickly, at the cost of a copy of the particles."""
    from h5py import h5ds

    from ._loading import load

    data = f.create_dataset("phase_space", data=load(header.path, n_dimensions=header.n_dimensions).T)
    for axis, name in enumerate((b"particle", b"component")):
        dim = _dimension(f.id, name, data.shape[axis])
        h5ds.attach_scale(data.id, dim, axis)
        dim.close()
    return int((header.blocks.count > 0).sum())


def _write_view(header, tmp: str, out: str, relative: bool, copy: bool = False) -> int:
    """Writes the view of the dump of `header` to `tmp`, naming the dump as
    seen from `out`; returns the number of blocks it places."""
    ref = os.fsencode(_dump_ref(header.path, out, relative))
    with _h5_file(tmp) as f:
        if isinstance(header, FieldHeader):
            blocks = _write_field(f, header, ref)
            attrs = _field_attrs(header, header.path)
        else:
            blocks = _write_phase_space(f, header, ref, copy)
            attrs = {"name": _stem(header.path), "dump": os.path.abspath(header.path),
                     "n_dimensions": header.n_dimensions, "blocks": len(header.blocks)}
        for key, value in attrs.items():
            f.attrs[key] = value
        f.attrs[MARK] = 1
    return blocks


def _is_view(path: str) -> bool:
    """An HDF5 file that a view writer marked as its own."""
    if not _output.is_hdf5(path):
        return False
    try:
        import h5py

        with h5py.File(path, "r") as f:
            return MARK in f.attrs
    except (ImportError, OSError):
        return False


VIEW = _output.Kind("an HDF5 view", _is_view)


# ---------------------------------------------------------------- XDMF


def _hdf(dims, ref: str) -> str:
    shape = " ".join(str(int(d)) for d in dims)
    return f'<DataItem Dimensions="{shape}" NumberType="Float" Precision="4" Format="HDF">{ref}</DataItem>'


def _field_grid(header: FieldHeader, h5: str, name: str, time=None) -> str:
    ref = escape(h5)
    nx, ny, nz = header.shape
    when = "" if time is None else f'   <Time Value="{time!r}"/>\n'
    return (f'  <Grid Name={quoteattr(name)} GridType="Uniform">\n{when}'
            f'   <Topology TopologyType="3DRectMesh" Dimensions="{nz} {ny} {nx}"/>\n'
            f'   <Geometry GeometryType="VXVYVZ">\n'
            f'    {_hdf([nx], ref + ":/x")}\n'
            f'    {_hdf([ny], ref + ":/y")}\n'
            f'    {_hdf([nz], ref + ":/z")}\n'
            f'   </Geometry>\n'
            f'   <Attribute Name="field" AttributeType="Scalar" Center="Node">\n'
            f'    {_hdf([nz, ny, nx], ref + ":/field")}\n'
            f'   </Attribute>\n'
            f'  </Grid>\n')


def _phase_grid(header: PhaseSpaceHeader, h5: str, name: str, time=None) -> str:
    n, count, width = header.n_dimensions, header.particles, header.components
    data = _hdf([count, width], escape(h5) + ":/phase_space")
    when = "" if time is None else f'   <Time Value="{time!r}"/>\n'
    return xdmf.point_cloud(name, count, n, lambda first, columns: xdmf.columns(count, first, columns, data), when)


def _check_xdmf(header) -> None:
    if isinstance(header, PhaseSpaceHeader):
        if not 1 <= header.n_dimensions <= 3:
            raise ViewError(f"{header.path}: n = {header.n_dimensions}: XDMF places points by 1 to 3 "
                            f"coordinates, and a point cloud takes the first n components as coordinates")
        if header.particles == 0:
            raise ViewError(f"{header.path}: holds no particles, which no point cloud shows")


def _write_xdmf(tmp: str, name: str, grids: list, temporal: bool) -> None:
    with open(tmp, "w", encoding="utf-8") as fh:
        fh.write(xdmf.HEAD)
        if temporal:
            fh.write(f'  <Grid Name={quoteattr(name)} GridType="Collection" CollectionType="Temporal">\n')
        fh.writelines(grids)
        if temporal:
            fh.write('  </Grid>\n')
        fh.write(xdmf.TAIL)


# ---------------------------------------------------------------- runs


def _step(path: str) -> int:
    numbers = re.findall(r"\d+", _stem(path))
    if not numbers:
        raise ViewError(f"{path}: its name holds no step number; give the times by a real parameter")
    return int(numbers[-1])


def _times(headers, times: Optional[int]) -> list:
    if times is None:
        return [_step(h.path) for h in headers]
    out = []
    for h in headers:
        if not isinstance(h, FieldHeader):
            raise ViewError(f"{h.path}: a phase-space dump has no real parameters to take times from")
        if not 0 <= times < len(h.real_params):
            raise ViewError(f"{h.path}: has {len(h.real_params)} real parameters, no parameter {times}")
        out.append(float(h.real_params[times]))
    return out


def _check_run(headers) -> None:
    first = headers[0]
    for h in headers[1:]:
        if type(h) is not type(first):
            raise ViewError(f"{h.path}: is a {'field' if isinstance(h, FieldHeader) else 'phase-space'} dump, "
                            f"but {first.path} is not; a run is of one kind of dump")
        if isinstance(h, FieldHeader) and not (h.shape == first.shape and all(
                np.array_equal(getattr(h, a), getattr(first, a)) for a in "xyz")):
            raise ViewError(f"{h.path}: its grid ({h.nx} x {h.ny} x {h.nz} points, its axes) is not that of "
                            f"{first.path} ({first.nx} x {first.ny} x {first.nz}); the dumps of a run share "
                            f"one grid")


# ---------------------------------------------------------------- writing


def _kind(out: str):
    lower = out.lower()
    if lower.endswith(H5_SUFFIXES):
        return VIEW
    if lower.endswith(XMF_SUFFIXES):
        return _output.XDMF
    raise ViewError(f"{out}: a view is named *.h5 or *.nc (HDF5, NetCDF-4), or *.xmf for viewers")


def _plan(headers, out: str) -> list:
    """(header, view file) for each dump: `out` itself for one dump to an
    HDF5 name; beside an XDMF file `out`, its name with .h5 for one dump,
    each dump's name with .h5 for a run."""
    if out.lower().endswith(H5_SUFFIXES):
        return [(headers[0], out)]
    folder = os.path.dirname(out)
    if len(headers) == 1:
        return [(headers[0], os.path.splitext(out)[0] + ".h5")]
    names = {}
    for h in headers:
        view = os.path.join(folder, _stem(h.path) + ".h5")
        if view in names:
            raise ViewError(f"{h.path}: has the name of {names[view]}; their views would both be {view}")
        names[view] = h.path
    return [(h, os.path.join(folder, _stem(h.path) + ".h5")) for h in headers]


def _xmf_ref(view: str, out: str) -> str:
    """The view as the XDMF file at `out` names it: from the XDMF file's
    folder, where viewers resolve it."""
    return os.path.relpath(os.path.realpath(view), os.path.realpath(os.path.dirname(os.path.abspath(out))))


def virtualize(dump_or_Dump, out, *, n_dimensions: Optional[int] = None, relative: bool = False,
               times: Optional[int] = None, copy: bool = False) -> Written:
    """Writes a view of a dump that holds no values of it.

    `dump_or_Dump` is a dump's path or an opened dump (anything with a
    `.header`), or a sequence of them: a run. `out` ending in .h5, .hdf5
    or .nc is the view; ending in .xmf or .xdmf, it is an XDMF file over
    the view written beside it (its name with .h5), or over a run's views
    (each dump's name with .h5, beside it) as a temporal collection whose
    times are the step numbers in the dumps' names, or with `times`, the
    real parameter of that index. The dumps of a run share one grid.

    `n_dimensions` reads dumps that are not field dumps as phase-space
    dumps. `relative` names the dump by its path from the view's folder
    (see the module's description) rather than its absolute path. `copy`
    stores the particles of a phase-space dump in the view, which viewers
    read as fast as a load, where reading them in place takes a read per
    particle.

    Raises ViewError for a dump that cannot be viewed, OutputRefused for
    an output that is a dump or something not written here, ImportError
    without h5py, and OSError for a file that cannot be read or written."""
    out = os.fspath(out)
    run = isinstance(dump_or_Dump, Sequence) and not isinstance(dump_or_Dump, (str, bytes))
    dumps = list(dump_or_Dump) if run else [dump_or_Dump]
    if not dumps:
        raise ViewError("a run needs at least one dump")
    kind = _kind(out)
    if (run or times is not None) and kind is not _output.XDMF:
        raise ViewError(f"{out}: a run is a time series in an XDMF file; name it *.xmf")
    require_h5py()
    headers = [_header(d, n_dimensions) for d in dumps]
    inputs = [h.path for h in headers]
    plan = _plan(headers, out)
    outputs = [(view, VIEW) for _, view in plan] + ([(out, _output.XDMF)] if kind is _output.XDMF else [])
    for path, k in outputs:  # refused before anything is written
        _output.check(path, k, inputs, overwrite=True)
    grids = []
    if kind is _output.XDMF:
        for h in headers:
            _check_xdmf(h)
        if run:
            _check_run(headers)
            when = _times(headers, times)
            seen = {}
            for h, t in zip(headers, when):
                if t in seen:
                    raise ViewError(f"{h.path}: has the time {t} of {seen[t]}; the steps of a run have "
                                    f"distinct times")
                seen[t] = h.path
        else:
            when = [_times(headers, times)[0]] if times is not None else [None]
    blocks = 0
    for (h, view), time in zip(plan, when if kind is _output.XDMF else [None] * len(plan)):
        with _output.writing(view, VIEW, inputs, overwrite=True) as tmp:
            blocks += _write_view(h, tmp, view, relative, copy)
        if kind is _output.XDMF:
            grid = _field_grid if isinstance(h, FieldHeader) else _phase_grid
            grids.append(grid(h, _xmf_ref(view, out), _stem(h.path), time))
    if kind is _output.XDMF:
        order = sorted(range(len(grids)), key=lambda i: when[i]) if run else [0]
        with _output.writing(out, _output.XDMF, inputs, overwrite=True) as tmp:
            _write_xdmf(tmp, os.path.splitext(os.path.basename(out))[0], [grids[i] for i in order], temporal=run or times is not None)
    return Written(tuple(v for _, v in plan) + ((out,) if kind is _output.XDMF else ()), len(plan), blocks)
