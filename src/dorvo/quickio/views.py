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
that viewers play as a time series, each step with its own axes (a moving
window moves). A run of field dumps may also be one view of its own,
"field" on (dump, z, y, x), whose moving axes are on (dump, axis); see
_run_view.

Each view records the dump it was made from (its identity and the extent
of the bytes it reads, see _view_record): `quickio info VIEW` and the
xarray engine tell a dump that changed since. Other readers cannot: HDF5
reads whatever file is under the name.

Nothing of the dump is ever written: external storage is created without
fill values, and HDF5 leaves external files alone unless a fill value is
set. Every file is written under a temporary name and renamed when
complete. An existing output is replaced only with `overwrite`, and only
when it is a view or an XDMF file that virtualize wrote; anything else
there is refused (see _output).
"""

from __future__ import annotations

import contextlib
import math
import os
from collections.abc import Sequence
from typing import NamedTuple
from xml.sax.saxutils import escape, quoteattr

from . import _runs
from ._dump.dump import Dump
from ._dump.targets import dump_name, is_url, step_number
from ._io import output as _output
from ._io.output import OutputRefused
from ._runs import check_grid_sizes, file_labels, real_times, steps_of
from ._views import ViewError, xdmf
from ._views import view_record as _view_record
from ._views.run_view import write_run_view
from ._views.view_file import VIEW, write_view
from .components import check_labels
from .header import FieldHeader, PhaseSpaceHeader

__all__ = [
    "H5_SUFFIXES",
    "XMF_SUFFIXES",
    "OutputRefused",
    "ViewError",
    "Written",
    "check_view",
    "moving_axes",
    "require_h5py",
    "virtualize",
]

H5_SUFFIXES = (".h5", ".hdf5", ".nc")
XMF_SUFFIXES = (".xmf", ".xdmf")


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


def _viewable(opened: Dump) -> Dump:
    """`opened` when a view can point at it: a whole dump in a local file."""
    path, header = opened.name, opened.header
    if header is None:
        raise ViewError(opened.not_a_field_dump("pass n_dimensions=N"))
    if not header.well_formed:
        raise ViewError(f"{path}: cannot view a dump that is not well-formed: {header.reason}")
    if not opened.is_local:
        raise ViewError(f"{path}: a view points at the dump's own bytes on a local disk; copy the dump there first")
    return opened


def _opened(dump, n_dimensions, stack: contextlib.ExitStack) -> Dump:
    """The dump given as an opened Dump (kept open for its caller), as a
    path or as its header (opened here and closed by `stack`), which must
    be a whole dump in a local file: the Dump pins its identity."""
    if isinstance(dump, Dump):
        return _viewable(dump)
    if isinstance(dump, (FieldHeader, PhaseSpaceHeader)):
        path, n_dimensions = dump.path, getattr(dump, "n_dimensions", None)
        if not dump.well_formed:
            raise ViewError(f"{dump.path}: cannot view a dump that is not well-formed: {dump.reason}")
    elif isinstance(dump, (str, os.PathLike)):
        path = os.fspath(dump)
    else:
        raise ViewError(
            f"{type(dump).__name__}: a view points at a dump's own bytes on a local disk; name the dump by its path"
        )
    if isinstance(path, str) and os.path.isdir(path):
        raise ViewError(f"{path}: is a directory, not a dump")
    if not isinstance(path, str) or is_url(path):
        raise ViewError(f"{path}: a view points at the dump's own bytes on a local disk; copy the dump there first")
    # What is not a regular file (a FIFO, a device) the Dump refuses.
    # A field dump is known by its header; any other file is read as a
    # phase-space dump with n_dimensions.
    opened = stack.enter_context(Dump(path, strict=False))
    if opened.header is None and n_dimensions is not None:
        opened.as_phase_space(n_dimensions)
    return _viewable(opened)


def _hdf(dims, ref: str) -> str:
    shape = " ".join(str(int(d)) for d in dims)
    return f'<DataItem Dimensions="{shape}" NumberType="Float" Precision="4" Format="HDF">{ref}</DataItem>'


def _field_grid(header: FieldHeader, h5: str, name: str, time=None) -> str:
    ref = escape(h5)
    nx, ny, nz = header.shape
    when = "" if time is None else f'   <Time Value="{time!r}"/>\n'
    return xdmf.rectilinear(
        name,
        header.shape,
        _hdf([nx], ref + ":/x"),
        _hdf([ny], ref + ":/y"),
        _hdf([nz], ref + ":/z"),
        _hdf([nz, ny, nx], ref + ":/field"),
        when,
    )


def _phase_grid(header: PhaseSpaceHeader, h5: str, name: str, time=None, labels=None) -> str:
    n, count, width = header.n_dimensions, header.particles, header.components
    data = _hdf([count, width], escape(h5) + ":/phase_space")
    when = "" if time is None else f'   <Time Value="{time!r}"/>\n'
    return xdmf.point_cloud(
        name, count, n, lambda first, columns: xdmf.columns(count, first, columns, data), when, labels
    )


def _check_xdmf(header) -> None:
    if isinstance(header, PhaseSpaceHeader):
        if not 1 <= header.n_dimensions <= 3:
            raise ViewError(
                f"{header.path}: n = {header.n_dimensions}: XDMF places points by 1 to 3 "
                f"coordinates, and a point cloud takes the first n components as coordinates"
            )
        if header.particles == 0:
            raise ViewError(f"{header.path}: holds no particles, which no point cloud shows")


def _write_xdmf(tmp: str, name: str, grids: list, temporal: bool, refs: list) -> None:
    with open(tmp, "w", encoding="utf-8") as fh:
        fh.write(xdmf.HEAD)
        fh.write(_output.xdmf_stamp({"views": refs}))
        if temporal:
            fh.write(f'  <Grid Name={quoteattr(name)} GridType="Collection" CollectionType="Temporal">\n')
        fh.writelines(grids)
        if temporal:
            fh.write("  </Grid>\n")
        fh.write(xdmf.TAIL)


# ---------------------------------------------------------------- runs


def _step(path: str) -> int:
    step = step_number(path)
    if step is None:
        raise ViewError(f"{path}: its name holds no step number; give the times by a real parameter")
    return step


def _times(headers, times: int | None) -> list:
    if times is None:
        return [_step(h.path) for h in headers]
    try:
        out = real_times(headers, times).tolist()
    except ValueError as e:
        raise ViewError(str(e)) from None
    for h, t in zip(headers, out):
        if not math.isfinite(t):
            raise ViewError(f"{h.path}: its real parameter {times} is {t}; the steps of a run have finite times")
    return out


def _check_run(headers) -> None:
    first = headers[0]
    for h in headers[1:]:
        if type(h) is not type(first):
            raise ViewError(
                f"{h.path}: is a {'field' if isinstance(h, FieldHeader) else 'phase-space'} dump, "
                f"but {first.path} is not; a run is of one kind of dump"
            )
    if isinstance(first, FieldHeader):
        # Sizes only: a moving window shifts its axes from dump to dump,
        # and every step of the series carries its own.
        try:
            check_grid_sizes(headers)
        except ValueError as e:
            raise ViewError(str(e)) from None


def _in_run_order(headers, times: int | None) -> tuple:
    """(headers, times) of a run in the order of its times (the steps in
    the dumps' names, or real parameter `times`), checked: one kind of
    dump, one grid size, distinct times."""
    when = _times(headers, times)
    order = sorted(range(len(headers)), key=when.__getitem__)
    headers, when = [headers[i] for i in order], [when[i] for i in order]
    _check_run(headers)
    seen: dict = {}
    for h, t in zip(headers, when):
        if t in seen:
            raise ViewError(f"{h.path}: has the time {t} of {seen[t]}; the steps of a run have distinct times")
        seen[t] = h.path
    return order, when


def moving_axes(headers, times: int | None = None) -> list:
    """How the axes of a run of field dumps move, in run order: one line
    per axis that differs between the dumps (see _runs.moving_axes)."""
    order, _ = _in_run_order(headers, times)
    headers = [headers[i] for i in order]
    return _runs.moving_axes(headers) if isinstance(headers[0], FieldHeader) else []


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
    names: dict[str, str] = {}
    for h in headers:
        view = os.path.join(folder, dump_name(h.path) + ".h5")
        if view in names:
            raise ViewError(f"{h.path}: has the name of {names[view]}; their views would both be {view}")
        names[view] = h.path
    return [(h, os.path.join(folder, dump_name(h.path) + ".h5")) for h in headers]


def _xmf_ref(view: str, out: str) -> str:
    """The view as the XDMF file at `out` names it: from the XDMF file's
    folder, where viewers resolve it, and always starting with "." (VTK's
    reader drops a name's first letter when it is not ASCII). VTK takes
    what comes before a ":" for a protocol: such a name is refused."""
    ref = os.path.relpath(os.path.realpath(view), os.path.realpath(os.path.dirname(os.path.abspath(out))))
    if ":" in ref:
        raise ViewError(
            f"{out}: its view would be named {ref}, and VTK's XDMF reader cannot read a file whose "
            f"name holds ':'; name the output (or the dumps) without it"
        )
    return ref if ref.startswith(os.curdir) else os.path.join(os.curdir, ref)


def _labels(header, labels) -> list | None:
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


def virtualize(
    dump_or_Dump,
    out,
    *,
    n_dimensions: int | None = None,
    relative: bool = False,
    times: int | None = None,
    copy: bool = False,
    labels=None,
    overwrite: bool = False,
    openpmd: bool = False,
    units=None,
    unitless: bool = False,
    names=None,
    species: str | None = None,
) -> Written:
    """Writes a view of a dump that holds no values of it.

    `dump_or_Dump` is a dump's path or an opened Dump (which stays open,
    and whose pinned identity the view records), or a sequence of them: a
    run. `out` ending in .h5, .hdf5
    or .nc is the view; ending in .xmf or .xdmf, it is an XDMF file over
    the view written beside it (its name with .h5), or over a run's views
    (each dump's name with .h5, beside it) as a temporal collection whose
    times are the step numbers in the dumps' names, or with `times`, the
    real parameter of that index. A run to an HDF5 name is one view of
    (dump, z, y, x) (see _run_view). The field dumps of a run share their
    grid sizes; their axes may move from dump to dump (a moving window),
    and each step keeps its own.

    `n_dimensions` reads dumps that are not field dumps as phase-space
    dumps. `relative` names the dump by its path from the view's folder
    (see the module's description) rather than its absolute path. `copy`
    stores the particles of a phase-space dump in the view, which viewers
    read as fast as a load, where reading them in place takes a read per
    particle. `labels` (2n+1 names) name the components of a phase-space
    dump: the values of the view's "component" coordinate and the point
    arrays of its XDMF file; by default those of
    ``components.default_labels``.

    With `openpmd`, the dumps are one openPMD series (see _views.openpmd)
    at `out`, SERIES.h5 (groupBased) or FOLDER/NAME_%T.h5 (fileBased):
    field dumps are meshes, phase-space dumps a species (named `species`,
    else by their file names), and `names` ({dump's path: record name})
    names any of them. `units` is a units file (TOML) or its mapping, or
    `unitless` declares that there are none; one of them is required.
    `copy` stores the species' particles in the series.

    Each view records the identity of the dump it was made from (see
    check_view). An existing output (the view, the XDMF file, a run's
    views) is replaced only with `overwrite`, and only when virtualize
    wrote it; an output that is or holds a dump is refused.

    Raises ViewError for a dump that cannot be viewed, OutputRefused for
    an output that is a dump or something not written here (OutputExists
    without `overwrite`), ImportError without h5py, and OSError for a file
    that cannot be read or written (a full disk)."""
    out = os.fspath(out)
    run = isinstance(dump_or_Dump, Sequence) and not isinstance(dump_or_Dump, (str, bytes))
    dumps = list(dump_or_Dump) if run else [dump_or_Dump]
    if not dumps:
        raise ViewError("a run needs at least one dump")
    if openpmd and (times is not None or labels is not None):
        raise ViewError(
            f"{out}: an openPMD series times its iterations by their steps and the time step of its "
            f"units, and names its records itself; times and labels apply to other views"
        )
    if not openpmd and (units is not None or unitless or names is not None or species is not None):
        raise ViewError(f"{out}: units, unitless, names and species apply to an openPMD series (openpmd=True)")
    kind = _kind(out)
    if times is not None and not run and kind is not _output.XDMF:
        raise ViewError(
            f"{out}: times label the steps of a run, and one dump makes none; name the view *.xmf "
            f"for a time series of one step"
        )
    require_h5py()
    with contextlib.ExitStack() as stack:
        opened = [_opened(d, n_dimensions, stack) for d in dumps]
        if openpmd:
            from ._views import openpmd as _openpmd

            files, blocks = _openpmd.write(
                opened,
                out,
                units=units,
                unitless=unitless,
                names=names,
                species=species,
                relative=relative,
                copy=copy,
                overwrite=overwrite,
            )
            return Written(tuple(files), len(opened), blocks)
        return _virtualize(opened, out, kind, run, relative, times, copy, labels, overwrite)


def _virtualize(opened, out, kind, run, relative, times, copy, labels, overwrite) -> Written:
    headers = [d.header for d in opened]
    when = [None]
    if run:
        if kind is _output.XDMF:
            _plan(headers, out)  # two dumps of one name first: their views would be one file
        order, when = _in_run_order(headers, times)
        opened = [opened[i] for i in order]
        headers = [headers[i] for i in order]
    elif times is not None:
        when = _times(headers, times)
    names = [_labels(h, labels) for h in headers]
    inputs = [_output.Input(d.name, tuple(d.identity[:2])) for d in opened]
    if run and kind is VIEW:
        return _write_run(opened, out, inputs, relative, when if times is not None else None, overwrite)
    plan = _plan(headers, out)
    refs = [_xmf_ref(view, out) for _, view in plan] if kind is _output.XDMF else []
    outputs = [(view, VIEW) for _, view in plan] + ([(out, _output.XDMF)] if kind is _output.XDMF else [])
    for path, k in outputs:  # refused before anything is written
        _output.check(path, k, inputs, overwrite)
    if kind is _output.XDMF:
        for h in headers:
            _check_xdmf(h)
    blocks, grids = 0, []
    for i, ((h, view), time, label) in enumerate(zip(plan, when, names)):
        dump = opened[i]

        def record(name, dump=dump, h=h):
            return _view_record.attributes(name, dump.identity, h)

        with _output.writing(view, VIEW, inputs, overwrite) as tmp, _output.hdf5_errors(view):
            blocks += write_view(dump, tmp, view, relative, copy, label, record)
            dump.check()  # the identity recorded is that of the file the view was made from
        # Each step is a grid of its own view, with that dump's own axes:
        # a moving window plays as one series.
        if kind is _output.XDMF:
            if isinstance(h, FieldHeader):
                grids.append(_field_grid(h, refs[i], dump_name(h.path), time))
            else:
                grids.append(_phase_grid(h, refs[i], dump_name(h.path), time, label))
    if kind is _output.XDMF:
        with _output.writing(out, _output.XDMF, inputs, overwrite) as tmp:
            _write_xdmf(
                tmp, os.path.splitext(os.path.basename(out))[0], grids, temporal=run or times is not None, refs=refs
            )
    return Written(tuple(v for _, v in plan) + ((out,) if kind is _output.XDMF else ()), len(plan), blocks)


def _write_run(opened, out: str, inputs, relative: bool, times, overwrite: bool) -> Written:
    """One view of a run of field dumps, "field" on (dump, z, y, x) (see
    _run_view), recording each dump's identity."""
    headers = [d.header for d in opened]
    if not isinstance(headers[0], FieldHeader):
        raise ViewError(
            f"{out}: a run of phase-space dumps is a time series of point clouds in an XDMF file; name it *.xmf"
        )
    _output.check(out, VIEW, inputs, overwrite)
    files = file_labels([h.path for h in headers])
    steps = steps_of(files) or list(range(len(headers)))

    def record(i, name):
        return _view_record.attributes(name, opened[i].identity, headers[i])

    with _output.writing(out, VIEW, inputs, overwrite) as tmp, _output.hdf5_errors(out):
        blocks = write_run_view(headers, tmp, out, relative, steps, files, times, record)
        for d in opened:
            d.check()  # the identities recorded are those of the files the view was made from
    return Written((out,), len(headers), blocks)


def check_view(path, *, origin: bool = False):
    """Whether the dumps of the view at `path` (an HDF5 view or an XDMF
    file that virtualize wrote) are still the files it was made from: per
    dump, (its record, the file a reader here reads for it, why that is
    not the dump, or None). None for a file that is no view of ours. With
    `origin`, relative names resolve from the view's folder (see
    _view_record)."""
    return _view_record.check_view(os.fspath(path), origin)
