"""The header objects of dumps, built from what the native scan reports.

The public face of these objects is ``dorvo.quickio.header``."""
from __future__ import annotations

import math
import operator
from dataclasses import dataclass
from typing import NamedTuple, Optional, Tuple

import numpy as np



# Integer header entries with a known meaning.
NPROC_Y, NPROC_Z, NX, NY, NZ, NDIMENSION = 0, 1, 3, 4, 6, 14


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


class PhaseBlock(NamedTuple):
    """One block of a phase-space dump: the byte offset of its count word
    and the count as stored (zero or less for an empty block)."""

    offset: int
    count: int


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
            yield from map(self._row._make, self._rows[start:start + self._ITER_ROWS].tolist())

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

    __hash__ = None

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
    (None when it went through)."""

    path: str
    file_size: int
    nparam: int
    int_params: Tuple[int, ...]
    real_params: Tuple[float, ...]
    nproc_y: int
    nproc_z: int
    nx: int
    ny: int
    nz: int
    ndimension: Optional[int]
    blocks: BlockTable
    x: Optional[np.ndarray]
    y: Optional[np.ndarray]
    z: Optional[np.ndarray]
    expected_size: Optional[int]
    well_formed: bool
    reason: str
    stopped_at: Optional[int] = None

    @property
    def shape(self) -> Tuple[int, int, int]:
        return (self.nx, self.ny, self.nz)

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
    well-formed dump, too few for a count and ignored. A dump is not
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
    stopped_at: Optional[int] = None

    @property
    def components(self) -> int:
        return 2 * self.n_dimensions + 1

    @property
    def entry_bytes(self) -> int:
        """Bytes of one particle entry: the components and one trailing word."""
        return 4 * (2 * self.n_dimensions + 2)

    @property
    def params(self) -> dict:
        """The dimension count in the form the phase-space loader takes it."""
        return {"n_dimensions": self.n_dimensions}


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


def is_field(s) -> bool:
    return s["framed"] or s["axes"] is not None


def _expected_field_size(nparam, ints, blocks: BlockTable) -> Optional[int]:
    """Length of the dump the header describes: the blocks it holds as they
    are, the ones it lacks as equal shares of a well-formed tiling."""
    nproc_y, nproc_z, nx, ny, nz = (ints[i] for i in (NPROC_Y, NPROC_Z, NX, NY, NZ))
    if min(nx, ny, nz, nproc_y, nproc_z) < 0:
        return None
    sizes = blocks.nx_loc * blocks.ny_loc * blocks.nz_loc
    held = int(sizes.sum())
    missing = nproc_y * nproc_z - len(blocks)
    missing_values = max(nx * ny * nz - held, 0)
    return (28 + 8 * nparam + 28 * len(blocks) + 4 * held + 28 * max(missing, 0) + 4 * missing_values
            + 24 + 4 * (nx + ny + nz))


def field_header(name: str, s: dict) -> FieldHeader:
    if s["int_params"] is None:
        raise (EOFError if s["eof"] else ValueError)(f"{name}: {s['reason']}")
    ints = tuple(s["int_params"].tolist())
    reals = tuple(s["real_params"].tolist())
    nparam = s["nparam"]
    blocks = BlockTable(s["blocks"], FieldBlock)
    axes = s["axes"] or (None, None, None)
    problems = [p for p in (s["refusal"], s["reason"]) if p]
    return FieldHeader(
        path=name, file_size=s["file_size"], nparam=nparam, int_params=ints, real_params=reals,
        nproc_y=ints[NPROC_Y], nproc_z=ints[NPROC_Z], nx=ints[NX], ny=ints[NY], nz=ints[NZ],
        ndimension=ints[NDIMENSION] if nparam > NDIMENSION else None,
        blocks=blocks, x=_opt(axes[0]), y=_opt(axes[1]), z=_opt(axes[2]),
        expected_size=_expected_field_size(nparam, ints, blocks),
        well_formed=not problems, reason="; ".join(problems), stopped_at=s["stopped_at"])


def _opt(a):
    return None if a is None else _read_only(a)


def phase_space_header(name: str, n: int, s: dict) -> PhaseSpaceHeader:
    well = not s["reason"]
    return PhaseSpaceHeader(
        path=name, file_size=s["file_size"], n_dimensions=n, particles=s["particles"],
        blocks=BlockTable(s["blocks"], PhaseBlock), trailing_bytes=s["file_size"] - s["end"] if well else 0,
        well_formed=well, reason=s["reason"], stopped_at=s["stopped_at"])


# The objects are known by their public module (in reprs and pickles).
for _cls in (FieldBlock, PhaseBlock, BlockTable, FieldHeader, PhaseSpaceHeader):
    _cls.__module__ = "dorvo.quickio.header"
