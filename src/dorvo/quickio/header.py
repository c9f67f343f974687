"""What a dump holds, read without loading its data.

``read_field_header`` reads a field dump's parameter records, the extents
of every block and the three axes, seeking past the field data;
``read_phase_space_header`` walks a phase-space dump's block counts,
seeking past the particle entries. Both say whether the file is whole and
well-formed, and why not when it is not, so a cut-off or odd dump can be
inspected rather than only refused.

Every count taken from a file is checked against the file's length before
it is used to seek, read or loop, so a corrupt count costs one check, not
an absurd allocation or a loop of billions of steps.
"""
from __future__ import annotations

import os
import struct
from dataclasses import dataclass
from typing import NamedTuple, Optional, Tuple

import numpy as np

__all__ = [
    "FieldBlock",
    "FieldHeader",
    "PhaseBlock",
    "PhaseSpaceHeader",
    "is_field_dump",
    "read_field_header",
    "read_phase_space_header",
]

# Integer header entries with a known meaning.
NPROC_Y, NPROC_Z, NX, NY, NZ, NDIMENSION = 0, 1, 3, 4, 6, 14

# The field loader takes entry 14 of the integer parameters, so it needs 15;
# the block layout itself needs entries up to 6.
LOADER_MIN_NPARAM = 15
MIN_NPARAM = NZ + 1

# Sizes the loaders hold in signed 32-bit integers.
INT32_MAX = 2**31 - 1

_HEADER_PREFIX = 12  # record 1: marker, Nparam, marker
_PHASE_WINDOW = 8192  # bytes read at a time while walking block counts


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


@dataclass(frozen=True, eq=False)
class FieldHeader:
    """Header, block table and axes of a field dump.

    ``blocks`` lists the blocks the file actually holds, in file order; a
    cut-off file lists fewer than ``nproc_y * nproc_z``. ``x``, ``y`` and
    ``z`` are read-only float32 arrays, or None when the file does not hold
    that axis whole. ``expected_size`` is the length of a dump of this
    header and these blocks, counting any blocks the file lacks as
    well-formed ones (None when the header's sizes give no length)."""

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
    blocks: Tuple[FieldBlock, ...]
    x: Optional[np.ndarray]
    y: Optional[np.ndarray]
    z: Optional[np.ndarray]
    expected_size: Optional[int]
    well_formed: bool
    reason: str

    @property
    def shape(self) -> Tuple[int, int, int]:
        return (self.nx, self.ny, self.nz)

    @property
    def params(self) -> dict:
        """The grid sizes in the form the field loader takes them."""
        return {"nx": self.nx, "ny": self.ny, "nz": self.nz}


class PhaseBlock(NamedTuple):
    """One block of a phase-space dump: the byte offset of its count word
    and the count as stored (zero or less for an empty block)."""

    offset: int
    count: int


@dataclass(frozen=True)
class PhaseSpaceHeader:
    """Block table and particle count of a phase-space dump read with a
    given dimension count.

    ``particles`` is the sum of the positive block counts, including the
    full count of a last block that the file cuts short (the loader counts
    it the same way); ``trailing_bytes`` are the 1 to 3 bytes after the last
    block that are too few for a count and are ignored."""

    path: str
    file_size: int
    n_dimensions: int
    particles: int
    blocks: Tuple[PhaseBlock, ...]
    trailing_bytes: int
    well_formed: bool
    reason: str

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


def _i32(data: bytes, count: int) -> Tuple[int, ...]:
    return tuple(int(v) for v in np.frombuffer(data, "<i4", count))


def _read_at(f, offset: int, size: int, what: str) -> bytes:
    """Reads exactly `size` bytes at `offset`; the caller has checked that
    the file is long enough, so a short read means it changed under us."""
    f.seek(offset)
    data = f.read(size)
    if len(data) != size:
        raise EOFError(f"{f.name}: file ends inside the {what} at byte {offset}")
    return data


def _open(path):
    """Opens `path` for binary reading; a directory gives IsADirectoryError
    and a missing file FileNotFoundError, as from open()."""
    return open(os.fspath(path), "rb", buffering=64 * 1024)


def is_field_dump(path) -> bool:
    """True when the file starts like a field dump: a record of 4 bytes
    holding Nparam >= 0, then a record of 4*Nparam bytes. A phase-space
    dump has no record markers, so its first words practically never look
    like that."""
    with _open(path) as f:
        head = f.read(16)
    if len(head) < 16:
        return False
    m1, nparam, m2, m3 = struct.unpack("<4i", head)
    return m1 == 4 and m2 == 4 and nparam >= 0 and m3 == 4 * nparam


def read_field_header(path) -> FieldHeader:
    """Reads the header, the block extents and the axes of the field dump
    at `path` (the full file name, with its ".bin").

    Raises FileNotFoundError for a missing file, EOFError for a file too
    short for its three parameter records and ValueError for a parameter
    count that no field dump has. Anything past the parameter records that
    is missing or inconsistent (a cut-off block, blocks that do not tile
    the grid, a missing axis) is reported through ``well_formed`` and
    ``reason`` instead, with whatever could be read."""
    name = os.fsdecode(os.fspath(path))
    with _open(path) as f:
        size = os.fstat(f.fileno()).st_size
        if size < _HEADER_PREFIX:
            raise EOFError(f"{name}: {size} bytes is too short for a field dump header")
        (nparam,) = struct.unpack("<i", _read_at(f, 4, 4, "parameter count"))
        if nparam < MIN_NPARAM:
            raise ValueError(
                f"{name}: Nparam is {nparam}; a field dump has at least {MIN_NPARAM} integer parameters")
        header_end = 28 + 8 * nparam
        if size < header_end:
            raise EOFError(
                f"{name}: Nparam is {nparam}, so the header needs {header_end} bytes, "
                f"but the file has {size}")
        ints = _i32(_read_at(f, 16, 4 * nparam, "integer parameters"), nparam)
        reals = tuple(float(v) for v in np.frombuffer(
            _read_at(f, 24 + 4 * nparam, 4 * nparam, "real parameters"), "<f4"))
        nproc_y, nproc_z = ints[NPROC_Y], ints[NPROC_Z]
        nx, ny, nz = ints[NX], ints[NY], ints[NZ]

        blocks, problems, pos = _walk_blocks(f, name, size, header_end, nproc_y, nproc_z)
        all_blocks = len(blocks) == max(nproc_y, 0) * max(nproc_z, 0)
        axes: list = [None, None, None]
        if all_blocks:
            for i, (label, n) in enumerate((("x", nx), ("y", ny), ("z", nz))):
                if n < 0:
                    problems.append(f"{label} axis has a negative length {n}")
                    break
                if pos + 8 + 4 * n > size:
                    problems.append(f"file ends inside the {label} axis record at byte {pos}")
                    break
                axis = np.frombuffer(_read_at(f, pos + 4, 4 * n, f"{label} axis"), "<f4").astype(np.float32)
                axis.setflags(write=False)
                axes[i] = axis
                pos += 8 + 4 * n

    expected = _expected_field_size(nparam, nx, ny, nz, nproc_y, nproc_z, blocks)
    problems = _tiling_problems(nx, ny, nz, nproc_y, nproc_z, blocks) + problems
    if nparam < LOADER_MIN_NPARAM:
        problems.append(f"Nparam is {nparam}; the field loader needs at least {LOADER_MIN_NPARAM}")
    if nx > 0 and ny > 0 and nz > 0 and nx * ny * nz > INT32_MAX:
        problems.append(f"grid of {nx * ny * nz} points is more than the loader's limit of {INT32_MAX}")
    if not problems and expected is not None and size != expected:
        problems.append(f"{size - expected} bytes after the z axis record")

    return FieldHeader(
        path=name, file_size=size, nparam=nparam, int_params=ints, real_params=reals,
        nproc_y=nproc_y, nproc_z=nproc_z, nx=nx, ny=ny, nz=nz,
        ndimension=ints[NDIMENSION] if nparam > NDIMENSION else None,
        blocks=tuple(blocks), x=axes[0], y=axes[1], z=axes[2],
        expected_size=expected, well_formed=not problems, reason="; ".join(problems))


def _walk_blocks(f, name, size, pos, nproc_y, nproc_z):
    """Reads every block's extents, seeking over its data. Stops at the
    first block the file does not hold whole, so a corrupt nproc cannot
    make it loop past the end of the file: each block takes at least 28
    bytes."""
    blocks, problems = [], []
    z0 = 0
    for iz in range(max(nproc_z, 0)):
        y0 = height = 0
        for iy in range(max(nproc_y, 0)):
            where = f"block {len(blocks)} (layer {iz}, column {iy}) at byte {pos}"
            if pos + 20 > size:
                problems.append(f"file ends before the extents of {where}")
                return blocks, problems, pos
            nx_loc, ny_loc, nz_loc = struct.unpack("<3i", _read_at(f, pos + 4, 12, "block extents"))
            if min(nx_loc, ny_loc, nz_loc) < 0:
                problems.append(f"{where} has negative extents {nx_loc} x {ny_loc} x {nz_loc}")
                return blocks, problems, pos
            data_bytes = 4 * nx_loc * ny_loc * nz_loc
            if pos + 28 + data_bytes > size:
                problems.append(
                    f"file ends inside the data of {where}: {nx_loc} x {ny_loc} x {nz_loc} "
                    f"values need {data_bytes} bytes")
                return blocks, problems, pos
            blocks.append(FieldBlock(iz, iy, y0, z0, nx_loc, ny_loc, nz_loc, pos + 24))
            pos += 28 + data_bytes
            y0 += ny_loc
            height = nz_loc
        z0 += height
    return blocks, problems, pos


def _expected_field_size(nparam, nx, ny, nz, nproc_y, nproc_z, blocks):
    """Length of the dump the header describes: the blocks it holds as they
    are, the ones it lacks as equal shares of a well-formed tiling."""
    if min(nx, ny, nz, nproc_y, nproc_z) < 0:
        return None
    total_blocks = nproc_y * nproc_z
    held = sum(28 + 4 * b.size for b in blocks)
    missing = total_blocks - len(blocks)
    missing_values = max(nx * ny * nz - sum(b.size for b in blocks), 0)
    return 28 + 8 * nparam + held + 28 * missing + 4 * missing_values + 24 + 4 * (nx + ny + nz)


def _tiling_problems(nx, ny, nz, nproc_y, nproc_z, blocks):
    """Ways in which the blocks fail to cover the grid exactly once."""
    problems = []
    for label, n in (("nx", nx), ("ny", ny), ("nz", nz), ("nproc_y", nproc_y), ("nproc_z", nproc_z)):
        if n <= 0:
            problems.append(f"{label} is {n}")
    if problems or len(blocks) != nproc_y * nproc_z:
        return problems
    for b in blocks:
        if b.nx_loc != nx:
            problems.append(f"block {b.layer},{b.column} has nx_loc {b.nx_loc}, not nx = {nx}")
            break
    heights = []
    for iz in range(nproc_z):
        layer = blocks[iz * nproc_y:(iz + 1) * nproc_y]
        if len({b.nz_loc for b in layer}) > 1:
            problems.append(f"blocks of layer {iz} differ in nz_loc: {[b.nz_loc for b in layer]}")
        width = sum(b.ny_loc for b in layer)
        if width != ny:
            problems.append(f"ny_loc of layer {iz} add up to {width}, not ny = {ny}")
        heights.append(layer[-1].nz_loc)
    if sum(heights) != nz:
        problems.append(f"layer heights add up to {sum(heights)}, not nz = {nz}")
    return problems


def read_phase_space_header(path, n_dimensions: int) -> PhaseSpaceHeader:
    """Walks the blocks of the phase-space dump at `path` (the full file
    name, with its ".bin") read with `n_dimensions` dimensions, reading
    only the block counts.

    Raises FileNotFoundError for a missing file and ValueError for a
    negative dimension count. A last block cut short, a negative block
    count or a dump beyond the loader's 32-bit limits is reported through
    ``well_formed`` and ``reason``."""
    n = int(n_dimensions)
    if n < 0:
        raise ValueError(f"n_dimensions must be 0 or more, not {n}")
    name = os.fsdecode(os.fspath(path))
    entry = 4 * (2 * n + 2)
    blocks, problems = [], []
    particles = pos = 0
    negative = oversized = None
    unpack = struct.Struct("<i").unpack_from
    # Counts are parsed out of small windows of the file: the counts of
    # small blocks lie close together and come many to one read, while a
    # large block costs one seek and one small read, whatever its size.
    window, start = b"", 0
    with open(os.fspath(path), "rb", buffering=0) as f:
        size = os.fstat(f.fileno()).st_size
        while pos + 4 <= size:
            if pos + 4 > start + len(window):
                f.seek(pos)
                window, start = f.read(_PHASE_WINDOW), pos
                if len(window) < 4:
                    raise EOFError(f"{name}: file ends inside the count of block {len(blocks)} at byte {pos}")
            (count,) = unpack(window, pos - start)
            blocks.append(PhaseBlock(pos, count))
            if count <= 0:
                if count < 0 and negative is None:
                    negative = f"block {len(blocks) - 1} at byte {pos} has a negative count {count}"
                pos += 4
                continue
            particles += count
            if pos + 4 + count * entry > size:
                whole = (size - pos - 4) // entry
                problems.append(
                    f"last block (block {len(blocks) - 1} at byte {pos}) claims {count} particles, "
                    f"but the file holds only {whole} of them whole")
                pos = size
                break
            if count * entry > INT32_MAX and oversized is None:
                oversized = (f"block {len(blocks) - 1} holds {count * entry} bytes of entries, "
                             f"more than the loader's limit of {INT32_MAX}")
            pos += 4 + count * entry
    problems = [p for p in (negative, oversized) if p] + problems
    if (2 * n + 1) * particles > INT32_MAX:
        problems.append(f"{(2 * n + 1) * particles} values are more than the loader's limit of {INT32_MAX}")
    return PhaseSpaceHeader(
        path=name, file_size=size, n_dimensions=n, particles=particles, blocks=tuple(blocks),
        trailing_bytes=size - pos, well_formed=not problems, reason="; ".join(problems))
