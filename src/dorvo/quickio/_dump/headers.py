"""The header objects of dumps, built from what the native scan reports:
every offset and size in them is the scan's, none is computed here.

The public face of these objects is ``dorvo.quickio.header``."""

from __future__ import annotations

import math
import operator
from dataclasses import dataclass, field
from typing import NamedTuple

import numpy as np

from .. import _scan


class DimensionsError(ValueError):
    """A dimension count that the file cannot be read with."""


class KindError(ValueError):
    """A field dump opened with a dimension count, as a phase-space dump."""


def dimensions(n_dimensions, file_size: int | None = None, name: str | None = None) -> int:
    """The dimension count `n_dimensions`, checked once for every entry
    point: TypeError unless it is an integer, DimensionsError (a
    ValueError) when it is negative or, given the file's size, more than
    the file can be read with (``_scan.most_dimensions``)."""
    try:
        n = operator.index(n_dimensions)
    except TypeError:
        raise TypeError(f"n_dimensions must be an integer, not {type(n_dimensions).__name__}") from None
    where = f"{name}: " if name is not None else ""
    if n < 0:
        raise DimensionsError(f"{where}n_dimensions must be >= 0, got {n}")
    if file_size is None:
        return n
    most = _scan.most_dimensions(file_size)
    if n > most:
        # A count past 2^60 takes more bytes than int64 counts: no file holds
        # one particle of it, and no reader takes it.
        one = _scan.particle_bytes(n) if n < 2**60 else None
        if one is None or one <= file_size:
            raise DimensionsError(f"{where}n_dimensions={n} is more than the readers take (at most {most})")
        raise DimensionsError(
            f"{where}n_dimensions={n} is more than the file can hold: one particle takes "
            f"{one} bytes and the file has {file_size}; it can be read with at most "
            f"n_dimensions={most}"
        )
    return n


class FieldBlock(NamedTuple):
    """One process's block of a field dump.

    ``offset`` is the byte offset of the block's first data value in the
    file (just past its data record's opening marker)."""

    layer: int
    column: int
    y0: int
    z0: int
    nx_loc: int
    ny_loc: int
    nz_loc: int
    offset: int

    @property
    def size(self) -> int:
        """Number of values in the block's data record."""
        return self.nx_loc * self.ny_loc * self.nz_loc


class Segment(NamedTuple):
    """One subrecord of a record that the file splits into several (a
    block's data or an axis longer than one subrecord holds): ``record`` is
    the record's offset (the block's ``offset``, an axis's), ``start`` where
    the segment begins in the record's payload, ``offset`` where in the
    file, and ``length`` its bytes. A float32 value may span two segments."""

    record: int
    start: int
    offset: int
    length: int


class PhaseBlock(NamedTuple):
    """One block of a phase-space dump: the byte offset of its count word,
    the count as stored (zero or less for an empty block) and the byte
    offset of its first particle entry."""

    offset: int
    count: int  # type: ignore[assignment]  # the field's name, which hides tuple.count on a block
    entries: int


class BlockTable:
    """The blocks of a dump in file order: a sequence of rows (``FieldBlock``
    or ``PhaseBlock``) with each column also as a read-only int64 array,
    named like the row's fields (``blocks.offset``, ``blocks.nz_loc``).

    ``len()``, iteration, an integer index (one row) and a slice (a list of
    rows) work as on a tuple of rows; the columns are the way to look at a
    table of millions of blocks."""

    __slots__ = ("_rows", "_row")
    # Rows turned into Python objects at a time while iterating.
    _ITER_ROWS = 1 << 14

    def __init__(self, rows: np.ndarray, row_type):
        rows = np.asarray(rows, dtype=np.int64).reshape(-1, len(row_type._fields))
        rows.setflags(write=False)
        self._rows = rows
        self._row = row_type

    def __len__(self) -> int:
        return self._rows.shape[0]

    def __getitem__(self, index):
        if isinstance(index, slice):
            return [self._row._make(r) for r in self._rows[index].tolist()]
        return self._row._make(self._rows[operator.index(index)].tolist())

    def __iter__(self):
        for start in range(0, len(self), self._ITER_ROWS):
            yield from map(self._row._make, self._rows[start : start + self._ITER_ROWS].tolist())

    def __getattr__(self, name):
        # Only column names get here; private and special names that the
        # slots do not hold (yet, while unpickling) are not columns.
        if name.startswith("_"):
            raise AttributeError(name)
        try:
            return self._rows[:, self._row._fields.index(name)]
        except ValueError:
            raise AttributeError(f"{type(self).__name__} of {self._row.__name__} has no column {name!r}") from None

    def __eq__(self, other):
        if not isinstance(other, BlockTable):
            return NotImplemented
        return self._row is other._row and np.array_equal(self._rows, other._rows)

    __hash__ = None  # type: ignore[assignment]  # equal tables compare by content: not hashable

    def __reduce__(self):
        return BlockTable, (self._rows, self._row)

    def __repr__(self) -> str:
        return f"<BlockTable of {len(self)} {self._row.__name__}>"


@dataclass(frozen=True, eq=False)
class FieldHeader:
    """Header, block table and axes of a field dump.

    ``blocks`` holds the blocks the walk accepted, in file order; a broken
    file holds fewer than ``nproc_y * nproc_z``. ``x``, ``y`` and ``z`` are
    read-only float32 arrays, or None unless every block and all three axes
    are in the file. ``int_params`` and ``real_params`` hold the parameters
    as the file gives them (the first 65536 of a longer list, which no real
    dump has). ``expected_size`` is the length of a dump of
    this header and these blocks, counting any blocks the file lacks as
    well-formed ones (None when the header's sizes give no length).
    ``path`` names the dump as given: its path, its URL, or a file
    object's name.
    ``stopped_at`` is the byte offset of the record where the walk stopped
    (None when it went through).
    ``segments`` lists the subrecords of every record split into several,
    in file order (none in a dump of records shorter than 2 GiB); every
    other record is one run of bytes from its offset. ``axis_offsets`` are
    the offsets of the x, y and z values (None unless the axes are whole).
    ``pieces()`` gives the runs of any record."""

    path: str
    file_size: int
    nparam: int
    int_params: tuple[int, ...]
    real_params: tuple[float, ...]
    nproc_y: int
    nproc_z: int
    nx: int
    ny: int
    nz: int
    ndimension: int | None
    blocks: BlockTable
    x: np.ndarray | None
    y: np.ndarray | None
    z: np.ndarray | None
    expected_size: int | None
    well_formed: bool
    reason: str
    stopped_at: int | None = None
    segments: BlockTable = field(default_factory=lambda: BlockTable(np.empty((0, 4), np.int64), Segment))
    axis_offsets: tuple[int, int, int] | None = None

    @property
    def shape(self) -> tuple[int, int, int]:
        return (self.nx, self.ny, self.nz)

    def pieces(self, offset: int, nbytes: int) -> list:
        """(start, offset, length) of each run of bytes of the record whose
        payload starts at `offset` and is `nbytes` long: one run, or one per
        subrecord of a split record."""
        split = self._split_records().get(int(offset))
        return list(split) if split is not None else [(0, int(offset), int(nbytes))]

    def _split_records(self) -> dict:
        if "_split" not in self.__dict__:
            split: dict[int, list[tuple[int, int, int]]] = {}
            for record, start, at, length in self.segments:
                split.setdefault(record, []).append((start, at, length))
            object.__setattr__(self, "_split", split)
        return self.__dict__["_split"]

    @property
    def params(self) -> dict:
        """The grid sizes in the form the field loader takes them."""
        return {"nx": self.nx, "ny": self.ny, "nz": self.nz}


@dataclass(frozen=True, eq=False)
class PhaseSpaceHeader:
    """Block table and particle count of a phase-space dump read with a
    given dimension count.

    ``blocks`` holds the blocks the walk accepted, empty ones (count zero or
    less) included; ``particles`` is the sum of their positive counts.
    ``trailing_bytes`` are the 1 to 3 bytes after the last block of a
    well-formed dump, too few for a count and ignored. ``entry_bytes`` are
    the bytes of one particle's entry: its components and a trailing word. A dump is not
    well-formed when a block announces more particles than the file holds:
    ``reason`` says so and ``stopped_at`` is the offset of that block's
    count."""

    path: str
    file_size: int
    n_dimensions: int
    particles: int
    blocks: BlockTable
    trailing_bytes: int
    well_formed: bool
    reason: str
    stopped_at: int | None = None
    entry_bytes: int = 0

    @property
    def components(self) -> int:
        return 2 * self.n_dimensions + 1

    @property
    def params(self) -> dict:
        """The dimension count in the form the phase-space loader takes it."""
        return {"n_dimensions": self.n_dimensions}


def field_attributes(h: FieldHeader) -> dict:
    """The parameters of a field dump as the attributes of its dataset and
    of its view show them."""
    return {
        "nparam": h.nparam,
        "integer_params": np.array(h.int_params, np.int32),
        "real_params": np.array(h.real_params, np.float32),
        "nproc_y": h.nproc_y,
        "nproc_z": h.nproc_z,
    }


def json_number(v):
    """A header number as JSON writes it. JSON has no NaN or infinity:
    those are written as the strings "NaN", "Infinity" and "-Infinity",
    which float() reads back; every other value is returned as it is."""
    if v is None or math.isfinite(v):
        return v
    return "NaN" if math.isnan(v) else ("Infinity" if v > 0 else "-Infinity")


def _read_only(a: np.ndarray) -> np.ndarray:
    a.setflags(write=False)
    return a


def is_field(s: _scan.FieldScan) -> bool:
    """Whether the field scan `s` found a field dump: its first records are
    framed as a field dump's, or, whatever its markers, it is whole."""
    return bool(s.framed or s.axes is not None)


def field_header(name: str, s: _scan.FieldScan) -> FieldHeader:
    """The FieldHeader of the field scan `s` of the dump `name`; EOFError or
    ValueError when it did not get as far as the parameters."""
    if s.int_params is None or s.real_params is None:
        raise (EOFError if s.eof else ValueError)(f"{name}: {s.reason}")
    axes = s.axes or (None, None, None)
    problems = [p for p in (s.refusal, s.reason) if p]
    return FieldHeader(
        path=name,
        file_size=s.file_size,
        nparam=_read(s.nparam),
        int_params=tuple(s.int_params.tolist()),
        real_params=tuple(s.real_params.tolist()),
        nproc_y=_read(s.nproc_y),
        nproc_z=_read(s.nproc_z),
        nx=_read(s.nx),
        ny=_read(s.ny),
        nz=_read(s.nz),
        ndimension=s.ndimension,
        blocks=BlockTable(s.blocks, FieldBlock),
        x=_opt(axes[0]),
        y=_opt(axes[1]),
        z=_opt(axes[2]),
        expected_size=s.expected_size,
        well_formed=not problems,
        reason="; ".join(problems),
        stopped_at=s.stopped_at,
        segments=BlockTable(s.segments, Segment),
        axis_offsets=s.axis_offsets,
    )


def _read(value: int | None) -> int:
    """A header value that the scan read with the parameters."""
    assert value is not None
    return value


def _opt(a):
    return None if a is None else _read_only(a)


def phase_space_header(name: str, s: _scan.PhaseScan) -> PhaseSpaceHeader:
    """The PhaseSpaceHeader of the phase-space scan `s` of the dump `name`."""
    return PhaseSpaceHeader(
        path=name,
        file_size=s.file_size,
        n_dimensions=s.n_dimensions,
        particles=s.particles,
        blocks=BlockTable(s.blocks, PhaseBlock),
        trailing_bytes=s.trailing_bytes,
        well_formed=not s.reason,
        reason=s.reason,
        stopped_at=s.stopped_at,
        entry_bytes=s.entry_bytes,
    )


# The objects are known by their public module (in reprs and pickles).
for _cls in (FieldBlock, Segment, PhaseBlock, BlockTable, FieldHeader, PhaseSpaceHeader):
    _cls.__module__ = "dorvo.quickio.header"
