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
complete. An existing XDMF file under its name is replaced; anything else
there is refused, as is the dump itself (see _output).
"""
from __future__ import annotations

import os
from xml.sax.saxutils import escape, quoteattr

from . import _output
from ._output import OutputRefused
from .components import check_labels, default_labels

__all__ = ["HEAD", "TAIL", "OutputRefused", "XdmfError", "check_output", "columns", "field_axis_offsets",
           "point_cloud", "write_field_xdmf", "write_phase_space_xdmf"]

HEAD = ('<?xml version="1.0" encoding="utf-8"?>\n'
         '<!DOCTYPE Xdmf SYSTEM "Xdmf.dtd" []>\n'
         '<Xdmf Version="2.0">\n'
         ' <Domain>\n')
TAIL = ' </Domain>\n</Xdmf>\n'


class XdmfError(ValueError):
    """A dump that cannot be described in place by XDMF."""


def _binary(dims, seek: int, ref: str) -> str:
    """A data item of float32 values of the given dimensions (slowest
    first) at byte `seek` of the file `ref`."""
    shape = " ".join(str(int(d)) for d in dims)
    return (f'<DataItem Dimensions="{shape}" NumberType="Float" Precision="4" Format="Binary" '
            f'Endian="Little" Seek="{int(seek)}">{ref}</DataItem>')


def field_axis_offsets(header) -> tuple[int, int, int]:
    """Byte offsets of the first values of the x, y and z axis records of a
    well-formed field dump: the x record follows the last block's data
    record (its values, its closing marker), each axis record the one
    before it; each payload starts after its opening marker."""
    last = header.blocks[len(header.blocks) - 1]
    x = int(last.offset) + 4 * int(last.nx_loc) * int(last.ny_loc) * int(last.nz_loc) + 8
    y = x + 4 * header.nx + 8
    z = y + 4 * header.ny + 8
    return x, y, z


def _field_grids(header, ref: str):
    x_at, y_at, z_at = field_axis_offsets(header)
    for index, b in enumerate(header.blocks):
        nx, ny, nz = int(b.nx_loc), int(b.ny_loc), int(b.nz_loc)
        if not (nx and ny and nz):
            continue  # a block of no points has nothing to show
        y0, z0 = int(b.y0), int(b.z0)
        name = quoteattr(f"block {index} (layer {int(b.layer)}, column {int(b.column)})")
        yield (f'  <Grid Name={name} GridType="Uniform">\n'
               f'   <Topology TopologyType="3DRectMesh" Dimensions="{nz} {ny} {nx}"/>\n'
               f'   <Geometry GeometryType="VXVYVZ">\n'
               f'    {_binary([nx], x_at, ref)}\n'
               f'    {_binary([ny], y_at + 4 * y0, ref)}\n'
               f'    {_binary([nz], z_at + 4 * z0, ref)}\n'
               f'   </Geometry>\n'
               f'   <Attribute Name="field" AttributeType="Scalar" Center="Node">\n'
               f'    {_binary([nz, ny, nx], b.offset, ref)}\n'
               f'   </Attribute>\n'
               f'  </Grid>\n')


def columns(count: int, first: int, columns: int, data: str) -> str:
    """`columns` adjacent columns from `first` of the (count, width) float32
    data item `data`, as a (count, columns) hyperslab."""
    return (f'<DataItem ItemType="HyperSlab" Dimensions="{count} {columns}" Type="HyperSlab">'
            f'<DataItem Dimensions="3 2" Format="XML">0 {first} 1 1 {count} {columns}</DataItem>'
            f'{data}</DataItem>')


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
        geometry = (f'<Geometry GeometryType="{"XYZ" if n == 3 else "XY"}">\n'
                    f'    {column_of(0, n)}\n   </Geometry>')
    attributes = "".join(
        f'   <Attribute Name={quoteattr(labels[k])} AttributeType="Scalar" Center="Node">\n'
        f'    {column_of(k, 1)}\n   </Attribute>\n'
        for k in range(n, 2 * n + 1))
    return (f'  <Grid Name={quoteattr(name)} GridType="Uniform">\n{extra}'
            f'   <Topology TopologyType="Polyvertex" NumberOfElements="{count}" NodesPerElement="1"/>\n'
            f'   {geometry}\n{attributes}'
            f'  </Grid>\n')


def _phase_grids(header, ref: str, labels):
    n = header.n_dimensions
    width = 2 * n + 2
    for index, b in enumerate(header.blocks):
        count = int(b.count)
        if count <= 0:
            continue
        data = _binary([count, width], int(b.offset) + 4, ref)  # the entries follow the count word
        yield point_cloud(f"block {index}", count, n, lambda first, cols: columns(count, first, cols, data),
                          labels=labels)


def _reference(dump: str, out: str, absolute: bool) -> str:
    """How the XDMF file at `out` names the dump: its absolute path, or its
    path relative to the folder of `out` (which keeps working when both
    move together). The relative path goes between the real paths of both,
    symbolic links resolved: a reader joins it to the XDMF file's folder,
    and the system resolves a ".." in that from where the links lead.
    Escaped for XML text."""
    path = os.path.abspath(dump)
    if not absolute:
        try:
            path = os.path.relpath(os.path.realpath(dump), os.path.realpath(os.path.dirname(os.path.abspath(out))))
        except ValueError:  # another drive: no relative path exists
            pass
    return escape(path)


def check_output(path, out) -> None:
    """Raises OutputRefused unless an XDMF file of the dump at `path` may
    be written to `out`: `out` is not the dump, and is new or an XDMF file
    (which is replaced). Lets callers refuse before reading anything."""
    _output.check(os.fspath(out), _output.XDMF, [path], overwrite=True)


def _write(path: str, out: str, name: str, grids) -> int:
    """Writes the collection `grids` to `out` through a temporary file in
    the same folder, so that a failed write leaves no half-written file.
    Returns the number of grids written."""
    written = 0
    with _output.writing(out, _output.XDMF, [path], overwrite=True) as tmp, open(tmp, "w", encoding="utf-8") as fh:
        fh.write(HEAD)
        fh.write(f'  <Grid Name={quoteattr(name)} GridType="Collection" CollectionType="Spatial">\n')
        for grid in grids:
            fh.write(grid)
            written += 1
        fh.write('  </Grid>\n')
        fh.write(TAIL)
    return written


def write_field_xdmf(header, out, *, absolute: bool = False) -> int:
    """Writes to `out` an XDMF file that shows the well-formed field dump
    of `header` (from read_field_header) in place; returns the number of
    grids (non-empty blocks). Data paths are relative to the folder of
    `out` unless `absolute`."""
    if not header.well_formed:
        raise XdmfError(f"{header.path}: not a well-formed field dump: {header.reason}")
    ref = _reference(header.path, out, absolute)
    return _write(header.path, os.fspath(out), os.path.basename(header.path), _field_grids(header, ref))


def write_phase_space_xdmf(header, out, *, absolute: bool = False, labels=None) -> int:
    """Writes to `out` an XDMF file that shows the well-formed phase-space
    dump of `header` (from read_phase_space_header) as point clouds in
    place, their scalars named by `labels` (2n+1 names, as
    components.check_labels takes them); returns the number of grids
    (non-empty blocks)."""
    if not header.well_formed:
        raise XdmfError(f"{header.path}: not a well-formed phase-space dump when read with "
                        f"n_dimensions={header.n_dimensions}: {header.reason}")
    n = header.n_dimensions
    if not 1 <= n <= 3:
        raise XdmfError(f"{header.path}: n = {n}: XDMF places points by 1 to 3 coordinates, "
                        f"and a point cloud takes the first n components as coordinates")
    labels = check_labels(labels, n)
    ref = _reference(header.path, out, absolute)
    return _write(header.path, os.fspath(out), os.path.basename(header.path), _phase_grids(header, ref, labels))
