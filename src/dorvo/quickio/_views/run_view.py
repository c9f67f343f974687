"""The HDF5 view of a run of field dumps: one file, readable as NetCDF-4,
that holds none of the dumps' values, only where they lie.

- "field" is (dump, z, y, x): a virtual dataset that places every block of
  every dump, each dump's blocks external storage in its own file under
  "dumps/<i>", with the dump's x, y and z axis records beside them;
- "dump" is the run's steps (the numbers in the dumps' names, else 0 to
  n-1), "file" the dumps' names and, when asked for, "time" their times,
  each a variable on "dump";
- an axis that every dump shares is a coordinate variable of its own (the
  first dump's axis record); an axis that moves from dump to dump (a
  moving window) is a variable on (dump, axis), each row that dump's own
  axis. NetCDF keeps a dimension's name for its coordinate variable, so
  such a variable is stored under NetCDF-4's name for a variable that
  shares its dimension's name, "_nc4_non_coord_<axis>", which NetCDF
  readers (netCDF-C, h5netcdf, xarray) show as <axis> on (dump, axis), as
  ``open_series`` gives it.
"""

from __future__ import annotations

import itertools
import os

import numpy as np

from .._dump.targets import dump_name
from .view_file import MARK, _dimension, _dump_ref, _external, _h5_file, _virtual, field_blocks

# NetCDF-4's prefix of a variable that has the name of a dimension without
# being its coordinate variable.
NON_COORDINATE = "_nc4_non_coord_"


def _on_dump(f, name: str, data, dump, dtype=None) -> None:
    """A variable `name` on "dump" holding `data`."""
    from h5py import h5ds

    variable = f.create_dataset(name, data=data, dtype=dtype)
    h5ds.attach_scale(variable.id, dump, 0)


def _moving_axis(f, axis: str, headers, dump, dim):
    """The variable of an axis that moves: (dump, axis), row i placed from
    dump i's own axis record."""
    from h5py import h5ds, h5s

    length = len(getattr(headers[0], axis))
    source = h5s.create_simple((length,))
    mappings = ((b"dumps/%d/" % i + axis.encode(), source, (i, 0), (1, length)) for i in range(len(headers)))
    variable = _virtual(f.id, (NON_COORDINATE + axis).encode(), (len(headers), length), mappings)
    h5ds.attach_scale(variable, dump, 0)
    h5ds.attach_scale(variable, dim, 1)
    variable.close()


def write_run_view(headers, tmp: str, out: str, relative: bool, steps, files, times=None, record=None) -> int:
    """Writes to `tmp` the view of the run of field dumps `headers` (in run
    order, sharing their grid sizes), naming each dump as seen from `out`;
    `steps`, `files` and `times` (or None) label the dumps; `record(i,
    name)` gives the attributes that record dump i, read by that name, on
    its group "dumps/i". Returns the number of blocks placed."""
    import h5py
    from h5py import h5ds

    first = headers[0]
    blocks, mappings = 0, []
    with _h5_file(tmp) as f:
        dump = f.create_dataset("dump", data=np.asarray(steps, np.int64))
        h5ds.set_scale(dump.id, b"dump")
        group = f.create_group("dumps")
        for i, h in enumerate(headers):
            name = _dump_ref(h.path, out, relative)
            ref = os.fsencode(name)
            sub = group.create_group(str(i))
            if record is not None:
                for key, value in record(i, name).items():
                    sub.attrs[key] = value
            loc = sub.id
            placed, placing = field_blocks(loc, b"dumps/%d" % i, h, ref, (i,))
            blocks += placed
            mappings.append(placing)
            for axis, at, length in zip(b"xyz", h.axis_offsets, h.shape):
                _external(loc, bytes([axis]), (length,), ref, h.pieces(at, 4 * length)).close()
        field = _virtual(f.id, b"field", (len(headers), first.nz, first.ny, first.nx), itertools.chain(*mappings))
        h5ds.attach_scale(field, dump.id, 0)
        coordinates = ["file"]
        _on_dump(f, "file", list(files), dump.id, h5py.string_dtype("utf-8"))
        if times is not None:
            _on_dump(f, "time", np.asarray(times, np.float64), dump.id)
            coordinates.append("time")
        ref = os.fsencode(_dump_ref(first.path, out, relative))
        for letter, at, length, dim in zip("xyz", first.axis_offsets, first.shape, (3, 2, 1)):
            values = [getattr(h, letter) for h in headers]
            if all(np.array_equal(v, values[0]) for v in values[1:]):
                scale = _external(f.id, letter.encode(), (length,), ref, first.pieces(at, 4 * length))
                h5ds.set_scale(scale, letter.encode())
            else:
                scale = _dimension(f.id, letter.encode(), length)
                _moving_axis(f, letter, headers, dump.id, scale)
                coordinates.append(letter)
            h5ds.attach_scale(field, scale, dim)
            scale.close()
        field.close()
        # xarray and CF readers take the variables listed here as the
        # field's coordinates: the moving axes, the files and the times.
        f["field"].attrs["coordinates"] = " ".join(coordinates)
        f.attrs["name"] = dump_name(out)
        f.attrs["dumps"] = len(headers)
        f.attrs[MARK] = 1
    return blocks
