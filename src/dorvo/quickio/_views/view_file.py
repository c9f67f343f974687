"""The HDF5 file of a view: external-storage datasets over a dump's
blocks, placed by one virtual dataset (field) or read as strided sources
(phase space), with the axes as dimension scales. h5py's low-level API
writes it: its high-level one takes seconds for thousands of blocks.
What a view holds is described in views.py."""

from __future__ import annotations

import os

import numpy as np

from .._dump.dump import Dump
from .._dump.headers import field_attributes
from .._dump.targets import dump_name
from .._io import output as _output
from ..header import FieldHeader, PhaseSpaceHeader

# The name netCDF gives a dimension that has no coordinate variable; its
# readers (h5netcdf, netCDF-C) take a dimension scale of this name as a
# dimension only.
_NOT_A_VARIABLE = b"This is a netCDF dimension but not a netCDF variable."
# A root attribute that marks a file as a view written here: only such a
# file is replaced by a new view.
MARK = "quickio_view"


def _dump_ref(path: str, out: str, relative: bool) -> str:
    """How the view at `out` names the dump: its absolute path, or its path
    from the real folder of `out` to the real dump. A relative path always
    climbs out of the view's folder and names the dump's own folder
    ("../run/Ex_100.bin", not "Ex_100.bin"): HDF5 resolves it from the
    working folder, where a bare name would find another run's dump of
    the same name."""
    if relative:
        folder = os.path.realpath(os.path.dirname(os.path.abspath(out)))
        try:
            ref = os.path.relpath(os.path.realpath(path), folder)
        except ValueError:  # another drive: no relative path exists
            return os.path.abspath(path)
        if not ref.startswith(os.pardir + os.sep) and os.path.basename(folder):
            ref = os.path.join(os.pardir, os.path.basename(folder), ref)
        return ref
    return os.path.abspath(path)


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


def _external(loc, name: bytes, shape, ref: bytes, pieces):
    """A float32 dataset of `shape` whose values are the bytes of file
    `ref` in `pieces` ((start, offset, length) each, as
    FieldHeader.pieces() gives them). No fill value: nothing is written to
    the file."""
    from h5py import h5d, h5p, h5s, h5t

    dcpl = h5p.create(h5p.DATASET_CREATE)
    dcpl.set_fill_time(h5d.FILL_TIME_NEVER)
    for _, offset, length in pieces:
        dcpl.set_external(ref, int(offset), int(length))
    return h5d.create(loc, name, h5t.IEEE_F32LE, h5s.create_simple(tuple(int(s) for s in shape)), dcpl=dcpl)


# Segments per source dataset. A dataset's external storage is a list of
# segments (file, offset, size) read as one run; its list is one object
# header message of at most 64 KiB, 24 bytes per segment. One segment per
# block (one more per split of a block's record into subrecords) and a few
# sources in all, rather than one dataset per block, make a view of
# thousands of blocks quick to write and to open.
SEGMENTS = 2048


def _sources(loc, ref: bytes, runs, width: int, element=None):
    """Datasets "0", "1", ... under `loc` whose storage is the runs, one
    after the other: (pieces, rows) each, `rows` rows of `width` float32 (a
    row of one value: a 1-D dataset) in the file `ref`'s `pieces` ((start,
    offset, length) each), at most SEGMENTS pieces a dataset; or with
    `element` (an HDF5 type) and `width` 1, rows of one such element.
    Returns, per run, (its dataset's name, its first row there), and the
    number of rows of each dataset."""
    from h5py import h5d, h5p, h5s, h5t

    placed: list[tuple[bytes, int]] = []
    lengths: list[int] = []
    i = 0
    while i < len(runs):
        dcpl = h5p.create(h5p.DATASET_CREATE)
        dcpl.set_fill_time(h5d.FILL_TIME_NEVER)
        name, at, segments = b"%d" % len(lengths), 0, 0
        while i < len(runs) and (segments == 0 or segments + len(runs[i][0]) <= SEGMENTS):
            pieces, count = runs[i]
            for _, offset, length in pieces:
                dcpl.set_external(ref, offset, length)
            placed.append((name, at))
            at += count
            segments += len(pieces)
            i += 1
        shape = (at,) if width == 1 else (at, width)
        h5d.create(loc, name, element or h5t.IEEE_F32LE, h5s.create_simple(shape), dcpl=dcpl).close()
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


def _labels(f, names):
    """The "component" dimension as a coordinate variable: a dimension
    scale of the components' names, variable-length UTF-8 strings, which
    h5netcdf and netCDF-C read as a string coordinate."""
    import h5py
    from h5py import h5ds

    scale = f.create_dataset("component", data=list(names), dtype=h5py.string_dtype("utf-8"))
    h5ds.set_scale(scale.id, b"component")
    return scale.id


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


def field_blocks(loc, path: bytes, header: FieldHeader, ref: bytes, lead=()):
    """Sources of the blocks of a field dump in the group `loc` (at `path`
    in the file), and the mappings that place them in a virtual dataset of
    (*lead, z, y, x), at index `lead` of its leading axes. Returns (the
    number of blocks placed, the mappings)."""
    from h5py import h5s

    b = header.blocks
    held = (b.nx_loc * b.ny_loc * b.nz_loc) > 0  # a block of no points places nothing
    sizes = (b.nx_loc * b.ny_loc * b.nz_loc)[held].tolist()
    runs = [(header.pieces(offset, 4 * size), size) for offset, size in zip(b.offset[held].tolist(), sizes)]
    placed, lengths = _sources(loc, ref, runs, 1)
    spaces = [h5s.create_simple((n,)) for n in lengths]
    ones = (1,) * len(lead)

    def mappings():
        for (name, at), size, y0, z0, nx, ny, nz in zip(
            placed,
            sizes,
            b.y0[held].tolist(),
            b.z0[held].tolist(),
            b.nx_loc[held].tolist(),
            b.ny_loc[held].tolist(),
            b.nz_loc[held].tolist(),
        ):
            # The block's run, x fastest, fills its box of the (z, y, x) grid.
            space = spaces[int(name)]
            space.select_hyperslab((at,), (size,))
            yield path + b"/" + name, space, (*lead, z0, y0, 0), (*ones, nz, ny, nx)

    return len(sizes), mappings()


def _write_field(f, header: FieldHeader, ref: bytes) -> int:
    from h5py import h5ds

    blocks, mappings = field_blocks(f.create_group("blocks").id, b"blocks", header, ref)
    field = _virtual(f.id, b"field", (header.nz, header.ny, header.nx), mappings)
    assert header.axis_offsets is not None  # a well-formed dump has its axes
    for axis, at, length, dim in zip(b"xyz", header.axis_offsets, header.shape, (2, 1, 0)):
        scale = _external(f.id, bytes([axis]), (length,), ref, header.pieces(at, 4 * length))
        h5ds.set_scale(scale, bytes([axis]))
        h5ds.attach_scale(field, scale, dim)
        scale.close()
    field.close()
    return blocks


def _write_phase_space(f, header: PhaseSpaceHeader, ref: bytes, labels) -> int:
    from h5py import h5ds, h5s

    width, components = header.components + 1, header.components  # words of an entry, and its components
    held = header.blocks.count > 0
    # Every source is whole entries, of which the first 2n+1 words (not the
    # trailing one) are placed, so one mapping per source places all its
    # blocks.
    runs = [
        ([(0, entries, header.entry_bytes * count)], count)
        for entries, count in zip(header.blocks.entries[held].tolist(), header.blocks.count[held].tolist())
    ]
    placed, lengths = _sources(f.create_group("blocks").id, ref, runs, width)
    picked, whole, start = [], [], 0
    for index, rows in enumerate(lengths):
        source = h5s.create_simple((rows, width))
        source.select_hyperslab((0, 0), (rows, components))
        picked.append((b"blocks/%d" % index, source, (start, 0), (rows, components)))
        whole.append((b"blocks/%d" % index, h5s.create_simple((rows, width)), (start, 0), (rows, width)))
        start += rows
    particles = _dimension(f.id, b"particle", header.particles)
    component = _labels(f, labels)
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


def _copy_phase_space(f, dump: Dump, labels) -> int:
    """The components as values of the view, contiguous: what a viewer
    reads quickly, at the cost of a copy of the particles, read through
    the opened dump."""
    from h5py import h5ds

    data = f.create_dataset("phase_space", data=dump.load().T)
    for axis, dim in enumerate((_dimension(f.id, b"particle", data.shape[0]), _labels(f, labels))):
        h5ds.attach_scale(data.id, dim, axis)
        dim.close()
    return int((dump.header.blocks.count > 0).sum())


def write_view(dump: Dump, tmp: str, out: str, relative: bool, copy: bool = False, labels=None, record=None) -> int:
    """Writes the view of the opened `dump` to `tmp`, naming the dump as
    seen from `out`, and the components of a phase-space dump by `labels`,
    2n+1 names already checked; `record(name)` gives the root attributes
    that record the dump read by that name. Returns the number of blocks
    it places."""
    header = dump.header
    name = _dump_ref(dump.name, out, relative)
    ref = os.fsencode(name)
    first = {"name": dump_name(dump.name), "dump": os.path.abspath(dump.name)}
    with _h5_file(tmp) as f:
        if isinstance(header, FieldHeader):
            blocks = _write_field(f, header, ref)
            attrs = {**first, **field_attributes(header)}
        else:
            blocks = _copy_phase_space(f, dump, labels) if copy else _write_phase_space(f, header, ref, labels)
            attrs = {**first, "n_dimensions": header.n_dimensions, "blocks": len(header.blocks)}
        if record is not None:
            attrs.update(record("" if copy and isinstance(header, PhaseSpaceHeader) else name))
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


VIEW = _output.Kind("an HDF5 view that quickio virtualize wrote", _is_view)


# ---------------------------------------------------------------- XDMF
