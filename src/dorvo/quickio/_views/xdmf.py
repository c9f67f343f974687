"""XDMF descriptions of dumps, one grid per block, over the dump itself: the
form of `quickio virtualize` when h5py, which writes the one-grid views of
dorvo.quickio.views, is missing; and the XDMF pieces those views share.

The XDMF file (version 2, the version VTK's `vtkXdmfReader` reads) holds no
values: every array in it is a binary data item that names the dump and
the byte offset of a run of little-endian float32 inside it.

A field dump becomes a spatial collection of one rectilinear grid per
block: the block's slices of the x, y and z axis records as its
coordinates and its data record as the node-centred scalar "field". Each
grid covers exactly its block's own points, so every grid point is in
exactly one grid with its own value; the cells between the last points of
one block and the first points of its neighbour belong to no grid.

A phase-space dump becomes a collection of one point cloud per non-empty
block. A block's particle entries are rows of 2n+2 words (the 2n+1
components and the trailing word), so each component is a strided column
of the block: a hyperslab of the block read as a (count, 2n+2) array. The
first n components are the points' coordinates (n of 1 to 3; with n = 1
the points lie on the x axis), the others are node-centred scalars named
by the components' labels (``components.default_labels``, or the
caller's).

The file is written under a temporary name beside it and renamed when
complete, stamped as ours with a record of the dump it reads (its name,
the identity of its file and the extent read; see _view_record). An
existing output is replaced only with `overwrite` and only when it is an
XDMF file that virtualize wrote; anything else there is refused, as is
the dump itself (see _output).
"""

from __future__ import annotations

import contextlib
import os
from xml.sax.saxutils import escape, quoteattr

import numpy as np

from .._dump.dump import Dump
from .._io import output as _output
from .._io.output import OutputRefused
from ..components import check_labels, default_labels

__all__ = [
    "HEAD",
    "TAIL",
    "OutputRefused",
    "XdmfError",
    "check_output",
    "columns",
    "point_cloud",
    "rectilinear",
    "write_field_xdmf",
    "write_phase_space_xdmf",
]

HEAD = '<?xml version="1.0" encoding="utf-8"?>\n<!DOCTYPE Xdmf SYSTEM "Xdmf.dtd" []>\n<Xdmf Version="2.0">\n <Domain>\n'
TAIL = " </Domain>\n</Xdmf>\n"


class XdmfError(ValueError):
    """A dump that cannot be described in place by XDMF."""


def _binary(dims, seek: int, ref: str) -> str:
    """A data item of float32 values of the given dimensions (slowest
    first) at byte `seek` of the file `ref`."""
    shape = " ".join(str(int(d)) for d in dims)
    return (
        f'<DataItem Dimensions="{shape}" NumberType="Float" Precision="4" Format="Binary" '
        f'Endian="Little" Seek="{int(seek)}">{ref}</DataItem>'
    )


def extent(header) -> tuple:
    """(first byte, end) of what a view of the well-formed dump of `header`
    reads: the blocks' data and, of a field dump, the axis records after
    them."""
    b = header.blocks
    if hasattr(header, "nz"):
        z_at = header.axis_offsets[2]
        _, at, length = header.pieces(z_at, 4 * header.nz)[-1]
        return (int(b.offset.min()) if len(b) else z_at, int(at) + int(length))
    held = b.count > 0
    if not held.any():
        return (0, 0)
    ends = b.entries[held] + header.entry_bytes * b.count[held]
    return (int(b.offset[held].min()), int(ends.max()))


def rectilinear(name: str, shape, x: str, y: str, z: str, field: str, extra: str = "") -> str:
    """A grid of `shape` (nx, ny, nz) points on the axes of the data items
    `x`, `y` and `z`, with the values of the data item `field` ((nz, ny,
    nx), x fastest) at its nodes. `extra` goes first in the grid (a time)."""
    nx, ny, nz = shape
    return (
        f'  <Grid Name={quoteattr(name)} GridType="Uniform">\n{extra}'
        f'   <Topology TopologyType="3DRectMesh" Dimensions="{nz} {ny} {nx}"/>\n'
        f'   <Geometry GeometryType="VXVYVZ">\n'
        f"    {x}\n"
        f"    {y}\n"
        f"    {z}\n"
        f"   </Geometry>\n"
        f'   <Attribute Name="field" AttributeType="Scalar" Center="Node">\n'
        f"    {field}\n"
        f"   </Attribute>\n"
        f"  </Grid>\n"
    )


def _field_grids(header, ref: str):
    x_at, y_at, z_at = header.axis_offsets
    for index, b in enumerate(header.blocks):
        nx, ny, nz = int(b.nx_loc), int(b.ny_loc), int(b.nz_loc)
        if not (nx and ny and nz):
            continue  # a block of no points has nothing to show
        # A block's axes are the runs of the whole axes from its first row
        # and plane on: float32 values, 4 bytes each.
        y0, z0 = int(b.y0), int(b.z0)
        yield rectilinear(
            f"block {index} (layer {int(b.layer)}, column {int(b.column)})",
            (nx, ny, nz),
            _binary([nx], x_at, ref),
            _binary([ny], y_at + 4 * y0, ref),
            _binary([nz], z_at + 4 * z0, ref),
            _binary([nz, ny, nx], b.offset, ref),
        )


def columns(count: int, first: int, columns: int, data: str) -> str:
    """`columns` adjacent columns from `first` of the (count, width) float32
    data item `data`, as a (count, columns) hyperslab."""
    return (
        f'<DataItem ItemType="HyperSlab" Dimensions="{count} {columns}" Type="HyperSlab">'
        f'<DataItem Dimensions="3 2" Format="XML">0 {first} 1 1 {count} {columns}</DataItem>'
        f"{data}</DataItem>"
    )


def point_cloud(name: str, count: int, n: int, column_of, extra: str = "", labels=None) -> str:
    """A grid of `count` points: the first n columns (from column_of(first,
    columns), a data item of (count, columns)) are their coordinates, the
    columns n to 2n their scalars, named by `labels` (the 2n+1 names of
    the components; by default components.default_labels(n)). `extra`
    goes first in the grid (a time)."""
    labels = default_labels(n) if labels is None else labels
    if n == 1:
        # No geometry type takes one coordinate: y and z are zeros
        # that the reader computes from x.
        x = column_of(0, 1)
        zero = f'<DataItem ItemType="Function" Function="0 * $0" Dimensions="{count}">{x}</DataItem>'
        geometry = f'<Geometry GeometryType="X_Y_Z">\n    {x}\n    {zero}\n    {zero}\n   </Geometry>'
    else:
        geometry = f'<Geometry GeometryType="{"XYZ" if n == 3 else "XY"}">\n    {column_of(0, n)}\n   </Geometry>'
    attributes = "".join(
        f'   <Attribute Name={quoteattr(labels[k])} AttributeType="Scalar" Center="Node">\n'
        f"    {column_of(k, 1)}\n   </Attribute>\n"
        for k in range(n, 2 * n + 1)
    )
    return (
        f'  <Grid Name={quoteattr(name)} GridType="Uniform">\n{extra}'
        f'   <Topology TopologyType="Polyvertex" NumberOfElements="{count}" NodesPerElement="1"/>\n'
        f"   {geometry}\n{attributes}"
        f"  </Grid>\n"
    )


def _phase_grids(header, ref: str, labels):
    n = header.n_dimensions
    width = 2 * n + 2
    for index, b in enumerate(header.blocks):
        count = int(b.count)
        if count <= 0:
            continue
        data = _binary([count, width], int(b.entries), ref)
        yield point_cloud(
            f"block {index}",
            count,
            n,
            lambda first, cols, count=count, data=data: columns(count, first, cols, data),
            labels=labels,
        )


def _reference(dump: str, out: str, absolute: bool) -> str:
    """How the XDMF file at `out` names the dump: its absolute path, or its
    path relative to the folder of `out` (which keeps working when both
    move together), starting with "." (VTK's reader drops the first letter
    of a name when it is not ASCII). The relative path goes between the
    real paths of both, symbolic links resolved: a reader joins it to the
    XDMF file's folder, and the system resolves a ".." in that from where
    the links lead."""
    path = os.path.abspath(dump)
    if not absolute:
        try:
            path = os.path.relpath(os.path.realpath(dump), os.path.realpath(os.path.dirname(os.path.abspath(out))))
        except ValueError:  # another drive: no relative path exists
            return path
        if not path.startswith(os.curdir):
            path = os.path.join(os.curdir, path)
    return path


def check_output(path, out, *, overwrite: bool = False) -> None:
    """Raises OutputRefused unless an XDMF file of the dump at `path` may
    be written to `out`: `out` is not the dump, and is new or (with
    `overwrite`) an XDMF file that virtualize wrote. Lets callers refuse
    before reading anything."""
    _output.check(os.fspath(out), _output.XDMF, [path], overwrite)


def _write(dump: Dump, out: str, grids, ref: str, overwrite: bool) -> int:
    """Writes the collection `grids` over the opened `dump`, which the file
    names `ref`, to `out` through a temporary file in the same folder, so
    that a failed write leaves no half-written file. Returns the number of
    grids written."""
    written = 0
    record = {"dumps": [{"ref": ref, "identity": list(dump.identity[:5]), "extent": list(extent(dump.header))}]}
    inputs = [_output.Input(dump.name, tuple(dump.identity[:2]))]
    with _output.writing(out, _output.XDMF, inputs, overwrite) as tmp, open(tmp, "w", encoding="utf-8") as fh:
        fh.write(HEAD)
        fh.write(_output.xdmf_stamp(record))
        fh.write(
            f'  <Grid Name={quoteattr(os.path.basename(dump.name))} GridType="Collection" CollectionType="Spatial">\n'
        )
        for grid in grids:
            fh.write(grid)
            written += 1
        fh.write("  </Grid>\n")
        fh.write(TAIL)
        dump.check()  # the identity recorded is that of the file described
    return written


def _pinned(dump):
    """The opened dump to describe, whose identity the file records: a Dump
    as given (its caller closes it), or the dump of a header opened again,
    refused when it changed since its header was read."""
    if isinstance(dump, Dump):
        if not dump.is_local:
            raise XdmfError(f"{dump.name}: an XDMF file reads the dump's own bytes on a local disk")
        return contextlib.nullcontext(dump)
    header = dump
    dump = Dump(header.path, n_dimensions=getattr(header, "n_dimensions", None), strict=False)
    if dump.header is None or not dump.is_local or not np.array_equal(dump.header.blocks.offset, header.blocks.offset):
        dump.close()
        raise XdmfError(f"{header.path}: not the local dump whose header was read (it changed since)")
    return dump


def write_field_xdmf(dump, out, *, absolute: bool = False, overwrite: bool = False) -> int:
    """Writes to `out` an XDMF file that shows the well-formed field dump
    `dump` (an opened Dump, or its header from read_field_header) in place;
    returns the number of grids (non-empty blocks). Data paths are relative
    to the folder of `out` unless `absolute`. An existing `out` is replaced
    only with `overwrite`, and only when virtualize wrote it."""
    header = dump.header if isinstance(dump, Dump) else dump
    if not header.well_formed:
        raise XdmfError(f"{header.path}: not a well-formed field dump: {header.reason}")
    if len(header.segments):
        raise XdmfError(
            f"{header.path}: records longer than 2 GiB are split into subrecords, which an XDMF "
            f"data item cannot read in place; write an HDF5 view (needs h5py)"
        )
    ref = _reference(header.path, out, absolute)
    with _pinned(dump) as opened:
        return _write(opened, os.fspath(out), _field_grids(header, escape(ref)), ref, overwrite)


def write_phase_space_xdmf(dump, out, *, absolute: bool = False, labels=None, overwrite: bool = False) -> int:
    """Writes to `out` an XDMF file that shows the well-formed phase-space
    dump `dump` (an opened Dump, or its header from
    read_phase_space_header) as point clouds in place, their scalars named
    by `labels` (2n+1 names, as components.check_labels takes them);
    returns the number of grids (non-empty blocks). An existing `out` is
    replaced only with `overwrite`, and only when virtualize wrote it."""
    header = dump.header if isinstance(dump, Dump) else dump
    if not header.well_formed:
        raise XdmfError(
            f"{header.path}: not a well-formed phase-space dump when read with "
            f"n_dimensions={header.n_dimensions}: {header.reason}"
        )
    n = header.n_dimensions
    if not 1 <= n <= 3:
        raise XdmfError(
            f"{header.path}: n = {n}: XDMF places points by 1 to 3 coordinates, "
            f"and a point cloud takes the first n components as coordinates"
        )
    labels = check_labels(labels, n)
    ref = _reference(header.path, out, absolute)
    with _pinned(dump) as opened:
        return _write(opened, os.fspath(out), _phase_grids(header, escape(ref), labels), ref, overwrite)
