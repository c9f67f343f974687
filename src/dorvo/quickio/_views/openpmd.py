"""openPMD views: a run of dumps as an openPMD 1.1.0 series that
openpmd-api, openPMD-viewer and the rest of the openPMD tools read, with
the values left in the dumps.

- A field dump is a mesh record, data/<step>/meshes/<name>: a virtual
  dataset of (z, y, x) with dataOrder "C", the dump's own byte order, over
  its blocks as external storage (as a view's "field", see view_file), so
  readers get load()[0].T with nothing transposed or copied. openPMD has
  one spacing per axis: an axis that is not uniform to a few float32 units
  in the last place is refused, and the exact axes stay beside the tree.
- A phase-space dump is a species, data/<step>/particles/<name>:
  position/x.., momentum/x.. and weighting from its 2n+1 components
  (n of 1 to 3), positionOffset 0, and mass and charge as constant records.
  In place, each component is a virtual dataset over sources whose
  element is a whole particle entry, declared as one wide float whose
  sign, exponent and mantissa are that component's bits: HDF5 reads each
  block of entries in one pass and converts them, where a float32 column
  of the entries is read one entry at a time (each a file opened, read and
  closed). With `copy` the components are copied into the view instead.
- The names: a record is named by its dump's file name less its step
  ("Ex_100.bin" is mesh Ex of iteration 100), or as the user names it;
  dumps of one step form one iteration.
- groupBased (one file, every iteration a group) or fileBased (a file per
  iteration, its name the pattern with %T replaced by the step); a
  fileBased series has a folder of its own, since its readers take every
  .h5 file there for an iteration.

Beside the openPMD tree, "dumps/<i>" records dump i as every view records
its dumps (see view_record): its name, identity and extent, and holds its
block sources and exact axes. The units, which the dumps do not record,
come from the user (see openpmd_units).
"""

from __future__ import annotations

import datetime
import importlib.metadata
import os
import re
from typing import Any, NamedTuple

import numpy as np

from .._dump.dump import Dump
from .._dump.targets import dump_name, step_number
from .._io import output as _output
from ..header import FieldHeader
from . import ViewError
from . import view_record as _view_record
from .openpmd_units import CHARGE, LENGTH, MASS, MOMENTUM, NONE
from .openpmd_units import units as _units
from .view_file import MARK, VIEW, _dump_ref, _external, _h5_file, _sources, _virtual, field_blocks

VERSION = "1.1.0"
PATTERN = "%T"
SUFFIX = ".h5"
# How far an axis may be from uniform, in float32 units in the last place
# of its largest value: float32 axes written from a uniform float64 grid
# are off by up to one.
UNIFORM_ULPS = 4
# Particles copied into the view per read of the dump: 64 MiB of values.
COPY_VALUES = 16 << 20


class Entry(NamedTuple):
    """One dump of the series: the opened dump, "mesh" or "species", its
    record's name and its iteration."""

    dump: Dump
    kind: str
    name: str
    iteration: int


# ---------------------------------------------------------------- the plan


def _record_name(path: str) -> str:
    """The record named by a dump's file name: the name less ".bin", less
    its last number and the separators before it ("Ex_100" is "Ex")."""
    stem = dump_name(path)
    match = re.search(r"[-_. ]*\d+(?!.*\d)", stem)
    return (stem[: match.start()] + stem[match.end() :]) if match else stem


def _checked_name(name: str, path: str) -> str:
    if not re.fullmatch(r"[A-Za-z0-9_]+", name or ""):
        raise ViewError(
            f"{path}: makes the record name {name!r}, and openPMD names records by letters, digits "
            f"and '_'; name it (names=, --name DUMP=NAME)"
        )
    return name


def plan(opened, names=None, species=None) -> list:
    """The Entry of each opened dump, checked: a species of 1 to 3
    dimensions, one record of a name per iteration."""
    names = {os.path.abspath(os.fspath(k)): v for k, v in (names or {}).items()}
    entries: list[Entry] = []
    seen: dict[tuple, str] = {}
    for d in opened:
        h = d.header
        kind = "mesh" if isinstance(h, FieldHeader) else "species"
        if kind == "species" and not 1 <= h.n_dimensions <= 3:
            raise ViewError(f"{h.path}: n = {h.n_dimensions}: an openPMD species has positions in 1 to 3 dimensions")
        given = names.get(os.path.abspath(h.path))
        name = given if given is not None else species if kind == "species" and species else _record_name(h.path)
        step = step_number(h.path)
        if step is not None and step > np.iinfo(np.int64).max:
            raise ViewError(f"{h.path}: its step {step} is past the iterations openPMD readers count (int64)")
        entry = Entry(d, kind, _checked_name(name, h.path), 0 if step is None else step)
        key = entry[1:]
        if key in seen:
            raise ViewError(
                f"{h.path}: would be {kind} {name} of iteration {entry.iteration}, as {seen[key]} is; "
                f"name them apart (names=, --name DUMP=NAME)"
            )
        seen[key] = h.path
        entries.append(entry)
    return entries


def uniform_axis(values, path: str, axis: str) -> tuple:
    """(first value, spacing) of an axis, refused when it is not uniform
    within UNIFORM_ULPS float32 units in the last place. An axis of one
    point has the spacing 1."""
    a = np.asarray(values, np.float64)
    if len(a) < 2:
        return (float(a[0]) if len(a) else 0.0), 1.0
    step = (a[-1] - a[0]) / (len(a) - 1)
    off = float(np.abs(a - (a[0] + step * np.arange(len(a)))).max())
    ulp = float(np.spacing(np.float32(np.abs(a).max())))
    if not step > 0 or not off <= UNIFORM_ULPS * ulp:
        how = (
            "does not increase"
            if not step > 0
            else f"is off a uniform spacing by up to {off:.3g} ({off / ulp:.0f} float32 units in the last place)"
        )
        raise ViewError(
            f"{path}: its {axis} axis {how}; an openPMD mesh has one spacing per axis, so a "
            f"non-uniform axis has no openPMD form (a plain view keeps it: drop --openpmd)"
        )
    return float(a[0]), float(step)


def _grids(entries) -> dict:
    """{dump's path: ((z0, y0, x0), (dz, dy, dx))} of every mesh."""
    out = {}
    for e in entries:
        if e.kind == "mesh":
            h = e.dump.header
            axes = [uniform_axis(getattr(h, a), h.path, a) for a in "zyx"]
            out[h.path] = tuple(a for a, _ in axes), tuple(s for _, s in axes)
    return out


# ---------------------------------------------------------------- outputs


def _series_files(out: str, iterations) -> dict:
    """{iteration: file} of a series written to `out`: `out` itself for a
    groupBased series, the pattern's files for a fileBased one."""
    base = os.path.basename(out)
    if not out.lower().endswith(SUFFIX):
        raise ViewError(f"{out}: an openPMD series is named *.h5, by which its readers pick HDF5")
    if PATTERN in os.path.dirname(out) or base.count(PATTERN) > 1:
        raise ViewError(f"{out}: a fileBased series has one {PATTERN} in its file names, none in its folder")
    if PATTERN not in base:
        return {t: out for t in iterations}
    return {t: out.replace(PATTERN, str(t)) for t in iterations}


def _stale_files(out: str, files, overwrite: bool) -> list:
    """The files of an earlier fileBased series of ours in the folder of
    `out` that the new one does not replace (removed with `overwrite`);
    any other .h5 file there is refused."""
    folder = os.path.dirname(os.path.abspath(out))
    head, _, tail = os.path.basename(out).partition(PATTERN)
    ours = re.compile(re.escape(head) + r"\d+" + re.escape(tail))
    names = {os.path.basename(f) for f in files}
    stale = []
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if not name.lower().endswith(SUFFIX) or name in names:
            continue
        if (
            ours.fullmatch(name)
            and VIEW.recognise(path)
            and _output.hdf5_root_attribute(path, "iterationEncoding") == "fileBased"
        ):
            if not overwrite:
                raise _output.OutputExists(
                    f"{path}: an iteration of an earlier series of this name, which the new "
                    f"one does not have; pass overwrite=True to replace the series"
                )
            stale.append(path)
            continue
        raise ViewError(
            f"{out}: its folder {folder} holds {name}; a fileBased series has a folder of its own, "
            f"since openPMD readers take every .h5 file there for an iteration"
        )
    return stale


# ---------------------------------------------------------------- writing


def _text(value: str):
    return np.bytes_(value.encode("ascii"))


def _set(obj, **attrs) -> None:
    for key, value in attrs.items():
        obj.attrs[key] = value


def _root(f, file_based: bool, pattern: str, entries, u) -> None:
    now = datetime.datetime.now(datetime.timezone.utc).astimezone()
    try:
        version = importlib.metadata.version("dorvo.quickio")
    except importlib.metadata.PackageNotFoundError:  # run from a source tree
        version = "unknown"
    _set(
        f,
        openPMD=_text(VERSION),
        openPMDextension=np.uint32(0),
        basePath=_text("/data/%T/"),
        iterationEncoding=_text("fileBased" if file_based else "groupBased"),
        iterationFormat=_text(os.path.basename(pattern) if file_based else "/data/%T/"),
        software=_text("dorvo.quickio virtualize"),
        softwareVersion=_text(version),
        date=_text(now.strftime("%Y-%m-%d %H:%M:%S %z")),
    )
    if any(e.kind == "mesh" for e in entries):
        f.attrs["meshesPath"] = _text("meshes/")
    if any(e.kind == "species" for e in entries):
        f.attrs["particlesPath"] = _text("particles/")
    if u.comment:
        f.attrs["comment"] = _text(u.comment)


def _record_attrs(obj, dimension, u) -> None:
    _set(obj, unitDimension=np.array(NONE if u.comment else dimension, np.float64), timeOffset=np.float32(0))


def _mesh(f, group, at: bytes, e: Entry, u, ref: bytes, grid) -> int:
    h = e.dump.header
    blocks, mappings = field_blocks(group.id, at, h, ref)
    meshes = f.require_group(f"data/{e.iteration}/meshes")
    _virtual(meshes.id, e.name.encode(), (h.nz, h.ny, h.nx), mappings).close()
    for axis, offset, length in zip(b"xyz", h.axis_offsets, h.shape):
        _external(group.id, bytes([axis]), (length,), ref, h.pieces(offset, 4 * length)).close()
    unit = u.mesh(e.name)
    mesh = meshes[e.name]
    _record_attrs(mesh, unit.dimension, u)
    _set(
        mesh,
        geometry=_text("cartesian"),
        dataOrder=_text("C"),
        axisLabels=np.array([b"z", b"y", b"x"]),
        gridSpacing=np.array(grid[1], np.float64),
        gridGlobalOffset=np.array(grid[0], np.float64),
        gridUnitSI=np.float64(u.grid()),
        unitSI=np.float64(unit.unit_si),
        position=np.zeros(3, np.float32),
    )
    return blocks


def _components(n: int) -> list:
    """(record, component or None, unit's field, dimension) of each of the
    2n+1 components of a species of n dimensions, in the dump's order."""
    axes = "xyz"[:n]
    return (
        [("position", a, "position_si", LENGTH) for a in axes]
        + [("momentum", a, "momentum_si", MOMENTUM) for a in axes]
        + [("weighting", None, "weighting_si", NONE)]
    )


def wide_component(k: int, width: int):
    """The HDF5 type of a whole particle entry of `width` words read as
    component k: a float of 4*width bytes whose sign, exponent and
    mantissa are those of the float32 at word k."""
    from h5py import h5t

    t = h5t.IEEE_F32LE.copy()
    t.set_size(4 * width)
    t.set_precision(32 * width)
    t.set_fields(32 * k + 31, 32 * k + 23, 8, 32 * k, 23)
    return t


def _species_in_place(group, at: bytes, h, ref: bytes, place) -> int:
    """Sources of each component under `group` (at `at` in the file), one
    wide element per particle entry, and its virtual dataset made by
    place(k, mappings)."""
    from h5py import h5s

    width = h.components + 1  # words of an entry: the components and a trailing word
    held = h.blocks.count > 0
    runs = [
        ([(0, entries, h.entry_bytes * count)], count)
        for entries, count in zip(h.blocks.entries[held].tolist(), h.blocks.count[held].tolist())
    ]
    for k in range(h.components):
        sources = group.create_group(str(k))
        _, lengths = _sources(sources.id, ref, runs, 1, wide_component(k, width))
        starts = np.concatenate([[0], np.cumsum(lengths)]).tolist()
        place(
            k,
            [
                (b"%s/%d/%d" % (at, k, i), h5s.create_simple((rows,)), (starts[i],), (rows,))
                for i, rows in enumerate(lengths)
            ],
        )
    return int(held.sum())


class Place(NamedTuple):
    """Where a component's dataset goes: its parent group (the species for
    a scalar record, else its record), its name, unitSI and dimension."""

    parent: Any  # an h5py group
    name: str
    scalar: bool
    unit_si: float
    dimension: tuple

    def label(self, u) -> None:
        dataset = self.parent[self.name]
        dataset.attrs["unitSI"] = np.float64(self.unit_si)
        if self.scalar:
            _record_attrs(dataset, self.dimension, u)


def _species(f, group, at: bytes, e: Entry, u, ref: bytes, copy: bool) -> int:
    h = e.dump.header
    unit = u.species(e.name)
    species = f.require_group(f"data/{e.iteration}/particles/{e.name}")
    places = []
    for record, component, field, dimension in _components(h.n_dimensions):
        parent = species if component is None else species.require_group(record)
        if component is not None:
            _record_attrs(parent, dimension, u)
        places.append(Place(parent, component or record, component is None, getattr(unit, field), dimension))

    def place(k, mappings):
        _virtual(places[k].parent.id, places[k].name.encode(), (h.particles,), mappings).close()
        places[k].label(u)

    blocks = _copy_species(e.dump, places, u) if copy else _species_in_place(group, at, h, ref, place)
    shape = np.array([h.particles], np.uint64)
    offsets = species.require_group("positionOffset")
    _record_attrs(offsets, LENGTH, u)
    for axis in "xyz"[: h.n_dimensions]:
        _constant(offsets.create_group(axis), np.float32(0), shape, unit.position_si)
    for record, value, dimension in (("mass", unit.mass, MASS), ("charge", unit.charge, CHARGE)):
        constant = species.create_group(record)
        _constant(constant, np.float64(value), shape, 1.0)
        _record_attrs(constant, dimension, u)
    return blocks


def _constant(group, value, shape, unit_si: float) -> None:
    _set(group, value=value, shape=shape, unitSI=np.float64(unit_si))


def _copy_species(dump, places, u) -> int:
    """The components copied into contiguous datasets, COPY_VALUES values
    a read of the dump, each read checked to come from the dump opened."""
    h = dump.header
    made = []
    for p in places:
        made.append(p.parent.create_dataset(p.name, shape=(h.particles,), dtype=np.float32))
        p.label(u)
    step = max(1, COPY_VALUES // h.components)
    for start in range(0, h.particles, step):
        values = dump.read(particles=slice(start, min(start + step, h.particles)))
        for k, dataset in enumerate(made):
            dataset[start : start + values.shape[1]] = values[k]
    return int((h.blocks.count > 0).sum())


def _write_file(tmp: str, out: str, entries, u, grids, pattern: str, relative: bool, copy: bool) -> int:
    """One file of the series: the root, the iterations of `entries` and
    the record of each dump. Returns the number of blocks placed."""
    blocks = 0
    with _h5_file(tmp) as f:
        _root(f, PATTERN in os.path.basename(pattern), pattern, entries, u)
        for t in sorted({e.iteration for e in entries}):
            _set(
                f.require_group(f"data/{t}"),
                time=np.float64(t * u.dt),
                dt=np.float64(u.dt),
                timeUnitSI=np.float64(u.time_si),
            )
        records = f.create_group("dumps")
        for i, e in enumerate(entries):
            h = e.dump.header
            name = _dump_ref(h.path, out, relative)
            ref, at = os.fsencode(name), b"dumps/%d" % i
            group = records.create_group(str(i))
            copied = copy and e.kind == "species"
            record = _view_record.attributes("" if copied else name, e.dump.identity, h)
            where = f"/data/{e.iteration}/{'meshes' if e.kind == 'mesh' else 'particles'}/{e.name}"
            _set(group, **record, record=where, **({} if e.kind == "mesh" else {"n_dimensions": h.n_dimensions}))
            if e.kind == "mesh":
                blocks += _mesh(f, group, at, e, u, ref, grids[h.path])
            else:
                blocks += _species(f, group, at, e, u, ref, copied)
        _set(f, dumps=len(entries), **{MARK: 1})
    return blocks


def write(
    opened,
    out: str,
    *,
    units=None,
    unitless: bool = False,
    names=None,
    species=None,
    relative: bool = False,
    copy: bool = False,
    overwrite: bool = False,
):
    """Writes the openPMD series of the opened dumps to `out` (see the
    module's description). Returns (the files written, the number of
    blocks they place)."""
    entries = plan(opened, names, species)
    u = _units(units, unitless)
    for e in entries:  # every unit needed is there before anything is written
        if e.kind == "mesh":
            u.mesh(e.name), u.grid()
        else:
            u.species(e.name)
    grids = _grids(entries)
    files = _series_files(out, sorted({e.iteration for e in entries}))
    inputs = [_output.Input(d.name, tuple(d.identity[:2])) for d in opened]
    outputs = sorted(set(files.values()))
    for path in outputs:
        _output.check(path, VIEW, inputs, overwrite)
    stale = _stale_files(out, outputs, overwrite) if PATTERN in os.path.basename(out) else []
    blocks = 0
    for path in outputs:
        mine = [e for e in entries if files[e.iteration] == path]
        with _output.writing(path, VIEW, inputs, overwrite) as tmp, _output.hdf5_errors(path):
            blocks += _write_file(tmp, path, mine, u, grids, out, relative, copy)
            for e in mine:
                e.dump.check()  # the identities recorded are those of the files the series was made from
    for path in stale:
        os.unlink(path)
    return outputs, blocks
