"""Valid dumps of chosen block sizes, and NumPy reference readers of them.

The size sweep (test_size_sweep.py) writes field and phase-space dumps whose
blocks sit at and around every size at which the readers, the scan, the
reductions and the Python read planners split their work differently, and
compares every read path with the reference readers here: a few lines of
NumPy over the file's words, sharing nothing with the package's readers.

The writers stream each block straight from a NumPy array to the file, so
dumps of a few hundred MiB cost one pass of writing; the records around the
blocks come from helpers.fortran_records, which the Fortran fixtures pin.
"""
from __future__ import annotations

import dataclasses
from pathlib import Path

import numpy as np

from helpers import MAX_SUBRECORD, NDIMENSION, NPROC_Y, NPROC_Z, NX, NY, NZ, fortran_records, subrecords

# Bytes between the data of two blocks that follow each other: the closing
# marker of one, the extents record (markers and three int32) of the next
# and the opening marker of its data.
MARKER = 4
WORD = 4
BLOCK_GAP = MARKER + (MARKER + 12 + MARKER) + MARKER


def around(size: int, deltas) -> list:
    """size + d for each delta that leaves a positive size."""
    return [size + d for d in deltas if size + d > 0]


# ---------------------------------------------------------------- fields


@dataclasses.dataclass(frozen=True)
class FieldLayout:
    """A well-formed field dump: nx, the y extents of each layer's blocks
    (every layer has the same number of blocks; 0 is an empty block) and the
    layers' heights (0 an empty layer)."""

    nx: int
    rows: tuple
    heights: tuple
    nparam: int = 20
    label: str = ""
    # Block data and axes longer than this are split into subrecords.
    sub: int = MAX_SUBRECORD

    def __post_init__(self):
        assert len(self.rows) == len(self.heights) and self.rows
        assert len({len(r) for r in self.rows}) == 1, "every layer has nproc_y blocks"
        assert len({sum(r) for r in self.rows}) == 1, "every layer covers ny"
        assert self.nparam >= 15

    @property
    def shape(self):
        return self.nx, sum(self.rows[0]), sum(self.heights)

    @property
    def cells(self):
        return int(np.prod(self.shape, dtype=np.int64))

    def block_bytes(self):
        """Bytes of each block's data, in file order."""
        return [4 * self.nx * r * h for rr, h in zip(self.rows, self.heights) for r in rr]

    @property
    def file_bytes(self):
        nx, ny, nz = self.shape
        return 24 + 4 + 8 * self.nparam + 28 * len(self.block_bytes()) + 24 + 4 * (self.cells + nx + ny + nz)

    def __str__(self):
        if self.label:
            return self.label
        rows = "/".join(",".join(map(str, r)) for r in self.rows)
        return f"nx{self.nx} rows{rows} h{','.join(map(str, self.heights))}" + (
            f" nparam{self.nparam}" if self.nparam != 20 else "")


def grid(layout: FieldLayout) -> np.ndarray:
    """The field the writer stores: every point a different bit pattern
    (1, 2, ... in column-major order), compared as uint32 so that no value is
    lost to NaN or rounding."""
    return np.arange(1, layout.cells + 1, dtype=np.uint32).view(np.float32).reshape(layout.shape, order="F")


def write_field(path, layout: FieldLayout) -> None:
    """Writes the dump of `layout` holding grid(layout) and the axes
    x = 0.5 i, y = 1 + j, z = -2 + 0.25 k."""
    nx, ny, nz = layout.shape
    field = grid(layout)
    ints = np.arange(1000, 1000 + layout.nparam, dtype="<i4")
    ints[[NPROC_Y, NPROC_Z, NX, NY, NZ, NDIMENSION]] = [len(layout.rows[0]), len(layout.rows), nx, ny, nz, 3]
    reals = (0.5 * np.arange(layout.nparam)).astype("<f4")
    with open(path, "wb") as fh:
        fh.write(fortran_records([np.int32(layout.nparam).tobytes(), ints.tobytes(), reals.tobytes()]))
        z0 = 0
        for rows, height in zip(layout.rows, layout.heights):
            y0 = 0
            for width in rows:
                block = field[:, y0:y0 + width, z0:z0 + height]
                data = np.ascontiguousarray(block.transpose(2, 1, 0))  # column-major bytes of the block
                fh.write(fortran_records([np.array([nx, width, height], "<i4").tobytes()]))
                write_record(fh, memoryview(data.reshape(-1)).cast("B"), layout.sub)
                y0 += width
            z0 += height
        axes = [0.5 * np.arange(nx), 1.0 + np.arange(ny), -2.0 + 0.25 * np.arange(nz)]
        for axis in axes:
            write_record(fh, axis.astype("<f4").tobytes(), layout.sub)


def write_record(fh, payload, sub):
    """One record of `payload` (a bytes-like object), in subrecords of at
    most `sub` bytes as gfortran writes them."""
    for start, length, opening, closing in subrecords(len(payload), sub):
        fh.write(np.int32(opening).tobytes())
        fh.write(payload[start:start + length])
        fh.write(np.int32(closing).tobytes())


def records(path):
    """(payload offset, payload length, [(file offset, length) of each
    subrecord]) of every record of a sequential file, found by following
    its markers as the Fortran runtime reads them: a negative opening
    marker says that another subrecord follows."""
    out, at, size = [], 0, Path(path).stat().st_size
    with open(path, "rb") as fh:
        while at + 4 <= size:
            pieces, more = [], True
            while more:
                fh.seek(at)
                opening = int(np.frombuffer(fh.read(4), "<i4")[0])
                pieces.append((at + 4, abs(opening)))
                at += abs(opening) + 8
                more = opening < 0
            out.append((pieces[0][0], sum(n for _, n in pieces), pieces))
    return out


def unsplit(path) -> bytes:
    """The file with every record written whole: what the word-by-word
    reference readers take."""
    out = bytearray()
    with open(path, "rb") as fh:
        for _, nbytes, pieces in records(path):
            out += np.int32(nbytes & 0x7FFFFFFF).tobytes()
            for at, n in pieces:
                fh.seek(at)
                out += fh.read(n)
            out += np.int32(nbytes & 0x7FFFFFFF).tobytes()
    return bytes(out)


def reference_field(path, split=False):
    """(f, x, y, z) of a well-formed field dump, read word by word from the
    file as its layout describes it; with `split`, from the file with its
    records joined (unsplit())."""
    w = np.frombuffer(unsplit(path), "<i4") if split else np.fromfile(path, "<i4")
    nparam = int(w[1])
    ints = w[4:4 + nparam]
    nproc_y, nproc_z, nx, ny, nz = (int(ints[i]) for i in (0, 1, 3, 4, 6))
    f = np.empty((nx, ny, nz), np.float32, order="F")
    pos = (28 + 8 * nparam) // 4  # the opening marker of the first extents record
    z0 = 0
    for _ in range(nproc_z):
        y0 = height = 0
        for _ in range(nproc_y):
            bx, by, height = (int(v) for v in w[pos + 1:pos + 4])
            count = bx * by * height
            data = w[pos + 6:pos + 6 + count].view(np.float32)
            f[:, y0:y0 + by, z0:z0 + height] = data.reshape((bx, by, height), order="F")
            pos += 7 + count
            y0 += by
        z0 += height
    axes = []
    for n in (nx, ny, nz):
        axes.append(w[pos + 1:pos + 1 + n].view(np.float32).copy())
        pos += n + 2
    del w
    return (f, *axes)


def split3(values: int, ny_loc: int = 0, nz_loc: int = 0):
    """(nx, ny_loc, nz_loc) with product `values`: ny_loc and nz_loc taken
    from the small factors of `values` (1 where it has none), unless given."""
    def small_factor(v, limit):
        best = 1
        for d in range(2, limit + 1):
            if v % d == 0:
                best = d
        return best

    if not ny_loc:
        ny_loc = small_factor(values, 64)
    assert values % ny_loc == 0
    rest = values // ny_loc
    if not nz_loc:
        nz_loc = small_factor(rest, 32)
    assert rest % nz_loc == 0
    return rest // nz_loc, ny_loc, nz_loc


def field_family(block_bytes: int, tag: str) -> list:
    """Layouts whose blocks hold `block_bytes` bytes (a multiple of 4),
    each cut a different way: one row per block (one run per block), rows
    of a few planes (a run per plane), blocks of whole planes, 1 to 4
    columns and 1 to 3 layers, unequal neighbours, an empty block between
    two blocks and a layer whose first block is empty."""
    values = block_bytes // 4
    nx, ny_loc, nz_loc = split3(values)
    out = [
        # Row blocks: nx values each, two columns, two layers.
        FieldLayout(values, ((1, 1), (1, 1)), (1, 1), label=f"{tag} rows 2x2"),
        # A run per plane, three columns; the last layer one plane lower.
        FieldLayout(nx, ((ny_loc,) * 3,) * 2, (nz_loc, nz_loc), label=f"{tag} planes 3x2"),
        # Whole planes: one column, three layers.
        FieldLayout(nx * ny_loc, ((1,),) * 3, (nz_loc,) * 3, label=f"{tag} whole planes 1x3"),
        # Four columns, the first of the exact size, the others one row wider
        # or narrower; an empty block between two; a layer that starts with
        # an empty block.
        FieldLayout(nx, ((ny_loc, 0, ny_loc + 1, max(ny_loc - 1, 0)), (0, ny_loc, ny_loc, ny_loc)),
                    (nz_loc, 1), label=f"{tag} uneven 4x2 with empty blocks"),
    ]
    if nz_loc > 1:
        # Two blocks of the size, then a layer one plane lower.
        out.append(FieldLayout(nx, ((ny_loc, ny_loc),) * 2, (nz_loc, nz_loc - 1), label=f"{tag} lower last layer"))
    return out


def pair_family(task: int, tag: str) -> list:
    """Layouts whose first two blocks and the records between them span
    `task` bytes: two columns of one plane's rows, in one layer, and the
    same after an empty block."""
    values = (task - BLOCK_GAP) // 4
    first = values // 2
    second = values - first
    return [
        FieldLayout(1, ((first, second),), (1,), label=f"{tag} pair"),
        FieldLayout(1, ((first, 0, second),), (1,), label=f"{tag} pair around an empty block"),
    ]


# ---------------------------------------------------------------- phase space


@dataclasses.dataclass(frozen=True)
class PhaseLayout:
    """A well-formed phase-space dump: the dimension count, the stored
    block counts (0 or less: an empty block), whether the last entry's
    trailing word is left out, and 0 to 3 stray bytes at the end."""

    n: int
    counts: tuple
    cut_trailing: bool = False
    extra: int = 0
    label: str = ""

    @property
    def width(self):
        return 2 * self.n + 2

    @property
    def particles(self):
        return sum(c for c in self.counts if c > 0)

    @property
    def file_bytes(self):
        return 4 * len(self.counts) + 4 * self.width * self.particles - 4 * self.cut_trailing + self.extra

    def __str__(self):
        if self.label:
            return self.label
        counts = ",".join(map(str, self.counts))
        return f"n{self.n} counts{counts}" + (" cut" if self.cut_trailing else "") + (
            f" +{self.extra}" if self.extra else "")


def particles(count: int, n: int) -> np.ndarray:
    """(count, 2n+1) particles: component 0 the particle's number, the
    others spread over [0, 1024) in steps of 1/64, so that sums of them are
    exact in float64 whatever their order."""
    p = np.arange(count, dtype=np.int64)[:, None]
    k = np.arange(2 * n + 1, dtype=np.int64)[None, :]
    spread = ((p * 7919 + k * 104729) % 65536).astype(np.float32) / np.float32(64)
    return np.where(k == 0, p.astype(np.float32), spread).astype(np.float32)


def write_phase(path, layout: PhaseLayout) -> None:
    """Writes the dump of `layout` holding particles(...), each entry's
    trailing word 7000 + its number: every count word inserted before its
    block's entries in one pass."""
    parts = particles(layout.particles, layout.n)
    entries = np.empty((layout.particles, layout.width), "<i4")
    entries[:, :-1] = parts.view("<i4")
    entries[:, -1] = 7000 + np.arange(layout.particles)
    held = np.maximum(np.array(layout.counts, np.int64), 0)
    words = np.insert(entries.reshape(-1), (np.cumsum(held) - held) * layout.width,
                      np.array(layout.counts, "<i4"))
    data = memoryview(words).cast("B")
    with open(path, "wb") as fh:
        fh.write(data[:len(data) - 4 * layout.cut_trailing])
        fh.write(bytes(range(1, layout.extra + 1)))


def reference_phase(path, n: int) -> np.ndarray:
    """The (2n+1, P) particles of a well-formed phase-space dump: block by
    block, a count word and that many entries of 2n+2 words (the file's
    last trailing word may be missing, and up to 3 stray bytes follow)."""
    raw = np.fromfile(path, np.uint8)
    w = raw[:len(raw) // 4 * 4].view("<i4")
    width = 2 * n + 2
    at, counts, pos = [], [], 0
    while pos < len(w):
        count = w.item(pos)
        if count > 0:
            at.append(pos + 1)
            counts.append(count)
            pos += count * width
        pos += 1
    counts = np.array(counts, np.int64)
    # The word of each particle's first component: its block's first entry
    # and its place in the block.
    first = np.repeat(np.array(at, np.int64) - (np.cumsum(counts) - counts) * width, counts)
    first += np.arange(counts.sum(), dtype=np.int64) * width
    return np.asfortranarray(w[first[None, :] + np.arange(2 * n + 1)[:, None]].view(np.float32))


def phase_family(block_bytes: int, n: int, tag: str) -> list:
    """Layouts whose blocks hold `block_bytes` bytes of entries (rounded
    down to whole entries): alone, among smaller and empty blocks, one
    entry either side, and with the file's last trailing word left out."""
    entry = 8 * (n + 1)
    count = max(block_bytes // entry, 1)
    return [
        PhaseLayout(n, (count,), label=f"{tag} n{n} one block"),
        PhaseLayout(n, (count, 0, count - 1, -3, count + 1), label=f"{tag} n{n} neighbours"),
        PhaseLayout(n, (1, count, 2, count), cut_trailing=True, extra=0, label=f"{tag} n{n} cut last word"),
    ]
