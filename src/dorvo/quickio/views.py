"""Views of dumps: HDF5 files that hold no values, only where the dump's
values lie, so that anything that reads HDF5 or NetCDF-4 (h5py, xarray,
ParaView and VisIt through XDMF, MATLAB, Julia) reads a dump in place.

A view of a field dump holds:
- under "blocks", datasets whose storage is external: the dump's file, and
  per block the byte offset and length of its data record; each dataset
  is the run of up to _view_file.SEGMENTS blocks' values one after the other;
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
from typing import NamedTuple, Optional, Sequence
from xml.sax.saxutils import escape, quoteattr

import numpy as np

from . import _output, xdmf
from ._dump import Dump, step_number
from ._output import OutputRefused
from ._view_file import VIEW, _stem, _write_view
from .components import check_labels
from .header import FieldHeader, PhaseSpaceHeader, read_field_header_if_dump, read_phase_space_header

__all__ = ["H5_SUFFIXES", "XMF_SUFFIXES", "OutputRefused", "ViewError", "Written", "require_h5py", "virtualize"]

H5_SUFFIXES = (".h5", ".hdf5", ".nc")
XMF_SUFFIXES = (".xmf", ".xdmf")
SUFFIX = ".bin"



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
                with Dump(path, strict=False) as d:
                    raise ViewError(d.not_a_field_dump("pass n_dimensions=N"))
            header = read_phase_space_header(path, n_dimensions)
    if not header.well_formed:
        raise ViewError(f"{header.path}: cannot view a dump that is not well-formed: {header.reason}")
    if not os.path.isfile(header.path):
        raise ViewError(f"{header.path}: a view points at the dump's own bytes on a local disk; "
                        f"copy the dump there first")
    return header




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


def _phase_grid(header: PhaseSpaceHeader, h5: str, name: str, time=None, labels=None) -> str:
    n, count, width = header.n_dimensions, header.particles, header.components
    data = _hdf([count, width], escape(h5) + ":/phase_space")
    when = "" if time is None else f'   <Time Value="{time!r}"/>\n'
    return xdmf.point_cloud(name, count, n, lambda first, columns: xdmf.columns(count, first, columns, data), when,
                            labels)


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
    step = step_number(path)
    if step is None:
        raise ViewError(f"{path}: its name holds no step number; give the times by a real parameter")
    return step


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


def _labels(header, labels) -> Optional[list]:
    """The checked names of the components of the dump of `header`, None
    for a field dump."""
    if not isinstance(header, PhaseSpaceHeader):
        if labels is not None:
            raise ViewError(f"{header.path}: a field dump; labels name the components of a phase-space dump")
        return None
    try:
        return check_labels(labels, header.n_dimensions)
    except ValueError as e:
        raise ViewError(f"{header.path}: {e}") from None


def virtualize(dump_or_Dump, out, *, n_dimensions: Optional[int] = None, relative: bool = False,
               times: Optional[int] = None, copy: bool = False, labels=None) -> Written:
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
    particle. `labels` (2n+1 names) name the components of a phase-space
    dump: the values of the view's "component" coordinate and the point
    arrays of its XDMF file; by default those of
    ``components.default_labels``.

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
    names = [_labels(h, labels) for h in headers]
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
    for (h, view), time, label in zip(plan, when if kind is _output.XDMF else [None] * len(plan), names):
        with _output.writing(view, VIEW, inputs, overwrite=True) as tmp:
            blocks += _write_view(h, tmp, view, relative, copy, label)
        if kind is _output.XDMF:
            if isinstance(h, FieldHeader):
                grids.append(_field_grid(h, _xmf_ref(view, out), _stem(h.path), time))
            else:
                grids.append(_phase_grid(h, _xmf_ref(view, out), _stem(h.path), time, label))
    if kind is _output.XDMF:
        order = sorted(range(len(grids)), key=lambda i: when[i]) if run else [0]
        with _output.writing(out, _output.XDMF, inputs, overwrite=True) as tmp:
            _write_xdmf(tmp, os.path.splitext(os.path.basename(out))[0], [grids[i] for i in order], temporal=run or times is not None)
    return Written(tuple(v for _, v in plan) + ((out,) if kind is _output.XDMF else ()), len(plan), blocks)
