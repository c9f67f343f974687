"""The one read planner: where a dump's values lie in its file.

A selection of a field (index ranges along x, y and z) or of the particles
of a phase-space dump becomes a list of runs: (start, stop, place), the
bytes [start, stop) of the file and place(out, values) that puts them, seen
as float32 values, into the result `out`. ``execute`` coalesces runs close
together into ranges and has a source (a local file or a remote one) fetch
a batch of ranges at a time; the source checks that the file is still the
one opened. Dask chunks are planned here as well, from the same block
geometry, so that a chunk reads only the blocks that hold it.
"""

from __future__ import annotations

import functools
import operator

import numpy as np

# Runs at most this far apart in the file are fetched as one range, the
# bytes between them included. The ranges of a read are fetched together,
# so another range costs little time: the gap is kept small, about what one
# request's overhead could have moved.
MAX_GAP = 64 << 10
# A range asks for at most about this many bytes (a single run of one
# z-plane or one block's particles may be larger).
MAX_RANGE = 32 << 20
# The ranges of one read fetched at a time: at most this many, and at most
# this many bytes in all, which bounds the memory held in flight.
BATCH_RANGES = 64
BATCH_BYTES = 4 * MAX_RANGE
# Copies of rows into a field's selection go by NumPy in batches of about
# this many bytes: each batch is gathered and then scattered while it is
# still in the processor's cache, which costs a third of one gather and
# one scatter of a whole 128 MiB chunk.
COPY_BATCH_BYTES = 256 << 10
# Dask chunks hold about this many bytes.
CHUNK_BYTES = 128 << 20


def axis_range(key, n: int) -> tuple:
    """(range, drop) of an int, a slice or None along an axis of n values:
    the positions selected (positive step), and whether the axis drops."""
    if key is None:
        return range(n), False
    if isinstance(key, slice):
        r = range(*key.indices(n))
        if r.step < 0:
            raise ValueError("read() takes slices of positive step")
        return r, False
    i = operator.index(key)
    if not -n <= i < n:
        raise IndexError(f"index {i} is out of bounds for an axis of {n}")
    i += n if i < 0 else 0
    return range(i, i + 1), True


def overlap(r: range, lo: np.ndarray, hi: np.ndarray) -> tuple:
    """Positions [p0, p1) in `r` (a range with a positive step) of the
    values that lie in [lo, hi), for each pair of `lo` and `hi` (arrays)."""
    p0 = np.maximum(0, -((r.start - lo) // r.step))
    p1 = np.minimum(len(r), -((r.start - hi) // r.step))
    return p0, np.maximum(p0, p1)


# ---------------------------------------------------------------- fields


def field_blocks(blocks) -> np.ndarray:
    """(y0, z0, ny_loc, nz_loc, offset) of the blocks of a field block table
    that hold values, one row each."""
    held = (blocks.ny_loc > 0) & (blocks.nz_loc > 0)
    return np.stack(
        [blocks.y0[held], blocks.z0[held], blocks.ny_loc[held], blocks.nz_loc[held], blocks.offset[held]], axis=1
    )


def _reshaped(out_key, shape, src_key, out, values):
    out[out_key] = values.reshape(shape, order="F")[src_key]


def _run(pieces, offset: int, lo: int, hi: int, place):
    """The run of payload bytes [lo, hi) of the block whose data starts at
    `offset`: the file's bytes from the first to the last, and, when they
    cross subrecords (`pieces` of a split record: (start, file offset,
    length) each), which of them to keep, the markers between left out."""
    split = pieces.get(offset) if pieces else None
    if split is None:
        return (offset + lo, offset + hi, place)
    keep = [
        (at + max(lo, start) - start, at + min(hi, start + length) - start)
        for start, at, length in split
        if max(lo, start) < min(hi, start + length)
    ]
    first = keep[0][0]
    if len(keep) == 1:
        return (first, keep[0][1], place)
    return (first, keep[-1][1], place, [(a - first, b - first) for a, b in keep])


def field_runs(blocks: np.ndarray, nx: int, rx: range, ry: range, rz: range, max_range: int = MAX_RANGE, pieces=None):
    """The runs that fill an (len(rx), len(ry), len(rz)) array with the
    selection rx, ry, rz of a field whose blocks are `blocks` (rows of
    field_blocks()): from each block that holds part of it, its rows of
    the selected z-planes.

    A selection of whole x rows and consecutive y (every dask chunk is
    one) is planned for all its blocks at once: see ``_row_runs``. Else,
    block by block: whole planes of a block in one run, as many
    consecutive planes as fit in `max_range` bytes; of rows so long that
    what the selection leaves out of each exceeds MAX_GAP, only the span
    of x that the selection covers, one run a row. `pieces` maps the
    offset of each block whose data is split into subrecords to its
    pieces, as the scan gives them (FieldHeader.pieces()); a run across
    them keeps the bytes it needs (its 4th item)."""
    xs = slice(rx.start, rx.stop, rx.step)
    xspan = range(rx[0], rx[-1] + 1)
    y0, z0, ny_loc, nz_loc = (blocks[:, i] for i in range(4))
    touched = (z0 < rz[-1] + 1) & (z0 + nz_loc > rz[0]) & (y0 < ry[-1] + 1) & (y0 + ny_loc > ry[0])
    runs = []
    if rx == range(nx) and ry.step == 1:
        # Blocks split into subrecords go block by block, with their pieces.
        split = np.isin(blocks[:, 4], list(pieces)) if pieces else np.zeros(len(blocks), bool)
        runs = _row_runs(blocks[touched & ~split], nx, ry, rz, max_range)
        touched &= split
    held = blocks[touched]
    # Where each block's planes and rows fall in the selection, for all at once.
    z_in, y_in = overlap(rz, held[:, 1], held[:, 1] + held[:, 3]), overlap(ry, held[:, 0], held[:, 0] + held[:, 2])
    for (by0, bz0, bny, _bnz, offset), pz0, pz1, py0, py1 in zip(held.tolist(), *(a.tolist() for a in (*z_in, *y_in))):
        if pz0 == pz1 or py0 == py1:
            continue
        j0 = ry[py0] - by0
        rows = ry[py1 - 1] - by0 + 1 - j0  # rows of the block that a plane's run spans
        row_bytes = 4 * nx
        if 4 * (nx - len(xspan)) > MAX_GAP:
            # The rows' values outside the selection cost more to read than
            # a gap: each row gives the span of x that holds the selection.
            for p in range(pz0, pz1):
                for q in range(py0, py1):
                    start = row_bytes * (ry[q] - by0 + bny * (rz[p] - bz0)) + 4 * xspan.start
                    runs.append(
                        _run(
                            pieces,
                            offset,
                            start,
                            start + 4 * len(xspan),
                            functools.partial(
                                _reshaped, (slice(None), q, p), (len(xspan),), (slice(None, None, rx.step),)
                            ),
                        )
                    )
            continue
        if rows == bny and rz.step == 1:
            # Whole planes that follow each other in the file.
            per = max(1, max_range // (row_bytes * bny))
            k0 = rz[pz0] - bz0
            for p in range(pz0, pz1, per):
                q = min(pz1, p + per)
                start = row_bytes * bny * (k0 + p - pz0)
                runs.append(
                    _run(
                        pieces,
                        offset,
                        start,
                        start + row_bytes * bny * (q - p),
                        functools.partial(
                            _reshaped,
                            (slice(None), slice(py0, py1), slice(p, q)),
                            (nx, bny, q - p),
                            (xs, slice(None, None, ry.step), slice(None)),
                        ),
                    )
                )
            continue
        for p in range(pz0, pz1):
            start = row_bytes * (j0 + bny * (rz[p] - bz0))
            runs.append(
                _run(
                    pieces,
                    offset,
                    start,
                    start + row_bytes * rows,
                    functools.partial(
                        _reshaped, (slice(None), slice(py0, py1), p), (nx, rows), (xs, slice(None, None, ry.step))
                    ),
                )
            )
    return runs


def _row_runs(blocks: np.ndarray, nx: int, ry: range, rz: range, max_range: int) -> list:
    """The runs of a selection of whole x rows and consecutive y, planned
    with NumPy over the block table: each selected plane of a block gives
    its rows as one copy (contiguous in the file and in the result), and
    copies closer than MAX_GAP in the file make up runs of at most
    `max_range` bytes (or one copy), each placed by one ``_copies``. A
    chunk of thousands of blocks is then a few runs, not one per block."""
    pz0, pz1 = overlap(rz, blocks[:, 1], blocks[:, 1] + blocks[:, 3])
    py0, py1 = overlap(ry, blocks[:, 0], blocks[:, 0] + blocks[:, 2])
    keep = (pz1 > pz0) & (py1 > py0)
    by0, bz0, bny, _, offset = blocks[keep].T
    pz0, pz1, py0, py1 = pz0[keep], pz1[keep], py0[keep], py1[keep]
    # Per block: its first copy's bytes in the file and place in the
    # result, and how far apart its copies lie in each.
    plane_bytes = 4 * nx * bny
    first = offset + 4 * nx * (ry.start + py0 - by0) + plane_bytes * (rz.start + rz.step * pz0 - bz0)
    dst0 = nx * (py0 + len(ry) * pz0)
    # One copy per selected plane of each block; t counts them in a block.
    planes = pz1 - pz0
    block = np.repeat(np.arange(len(planes)), planes)
    t = np.arange(len(block)) - np.repeat(np.cumsum(planes) - planes, planes)
    start = first[block] + t * (rz.step * plane_bytes)[block]
    words = (nx * (py1 - py0))[block]
    stop = start + 4 * words
    dst = dst0[block] + t * (nx * len(ry))
    order = np.argsort(start, kind="stable")
    start, stop, dst, words = start[order], stop[order], dst[order], words[order]
    # A run's copies lie within MAX_GAP of each other, and at whole words
    # from its first byte.
    reach = np.maximum.accumulate(stop)
    cuts = np.flatnonzero((start[1:] - reach[:-1] > MAX_GAP) | (start[1:] % 4 != start[:-1] % 4)) + 1
    runs = []
    for a, b in zip([0, *cuts.tolist()], [*cuts.tolist(), len(start)]):
        while a < b:
            c = a + max(1, int(np.searchsorted(reach[a:b], start[a] + max_range, side="right")))
            at = int(start[a])
            src = (start[a:c] - at) // 4
            runs.append((at, int(reach[c - 1]), functools.partial(_copies, src, dst[a:c], words[a:c])))
            a = c
    return runs


def _copies(src, dst, words, out, values) -> None:
    """Copies values[src[i]:src[i] + words[i]] to out at dst[i] (counted
    in out's column-major order), for each i: by NumPy, a gather and a
    scatter per length of copy, COPY_BATCH_BYTES at a time."""
    if not out.flags.f_contiguous:
        raise ValueError("the runs of a field fill a column-major array")
    flat = out.reshape(-1, order="F")
    lengths = [int(words[0])] if words.min() == words.max() else np.unique(words).tolist()
    for n in lengths:
        pick = slice(None) if len(lengths) == 1 else words == n
        into = np.lib.stride_tricks.as_strided(flat, (flat.size - n + 1, n), flat.strides * 2, writeable=True)
        take = np.lib.stride_tricks.sliding_window_view(values, n)
        to, at = dst[pick], src[pick]
        step = max(1, COPY_BATCH_BYTES // (4 * n))
        for i in range(0, len(to), step):
            into[to[i : i + step]] = take[at[i : i + step]]


def _split(sizes, most: int) -> list:
    """`sizes` with each size cut into pieces of at most `most`."""
    out = []
    for s in sizes:
        while s > most:
            out.append(most)
            s -= most
        if s:
            out.append(s)
    return out


def _merged(sizes, most: int) -> tuple:
    """Neighbouring `sizes` added up into groups of at most `most`, in
    order; a size larger than `most` is first cut into pieces of `most`
    (the last piece may then join the sizes after it)."""
    out: list[int] = []
    for s in _split(sizes, most):
        if out and out[-1] + s <= most:
            out[-1] += s
        else:
            out.append(s)
    return tuple(out)


def _intervals(starts, n: int) -> list:
    """The lengths of the intervals that the block starts `starts` cut
    [0, n) into."""
    cuts = sorted(set(starts) | {0, n})
    return [b - a for a, b in zip(cuts, cuts[1:]) if b > a]


def field_chunks(blocks: np.ndarray, shape, chunk_bytes: int = CHUNK_BYTES) -> tuple:
    """Dask chunks (x, y, z) of a field of about `chunk_bytes` each that
    follow its blocks where they can.

    A chunk is whole x rows: the columns of blocks along y merge while the
    rows of one z-plane fit in `chunk_bytes`, then the layers along z while
    the planes fit. A chunk boundary is then a block boundary, but where a
    block (or one plane, or one row) alone is larger than `chunk_bytes`:
    such a block is cut along z, a plane along y, and a row along x, into
    pieces of `chunk_bytes`. Reading a chunk reads whole z-planes of the
    blocks inside it, one run each."""
    nx, ny, nz = shape
    if not len(blocks) or min(shape) <= 0:
        return ((max(nx, 0),), (max(ny, 0),), (max(nz, 0),))
    per_x = max(1, chunk_bytes // 4)
    if nx > per_x:
        # One row alone is over a chunk: rows cut along x, one row a chunk.
        return tuple(_split([nx], per_x)), (1,) * ny, (1,) * nz
    row = 4 * nx
    ys = _merged(_intervals(blocks[:, 0].tolist(), ny), max(1, chunk_bytes // row))
    zs = _merged(_intervals(blocks[:, 1].tolist(), nz), max(1, chunk_bytes // (row * max(ys))))
    return ((nx,), ys, zs)


# ---------------------------------------------------------------- particles


class Entries:
    """Where the particles' entries of a phase-space dump lie: the blocks
    that hold particles (`entries`: the offset of each block's first entry,
    as the scan gives it), the first particle of each, and the word at
    which any particle's entry starts."""

    def __init__(self, entries, counts, components: int):
        counts = np.asarray(counts, np.int64)
        held = counts > 0
        self.counts = counts[held]
        self.entries_at = np.asarray(entries, np.int64)[held]
        self.starts = np.cumsum(self.counts) - self.counts
        self.total = int(self.counts.sum())
        self.components = components
        self.width = components + 1  # words per entry

    def block_of(self, particles):
        return np.searchsorted(self.starts, particles, side="right") - 1

    def words(self, particles):
        block = self.block_of(particles)
        return self.entries_at[block] // 4 + (particles - self.starts[block]) * self.width

    def place(self, p: int, q: int, base: int, out, values):
        """Puts particles [p, q), whose entries `values` hold from the first
        one's on, into out[:, p - base:q - base]."""
        a, b = p - base, q - base
        if self.block_of(p) == self.block_of(q - 1):  # one block: evenly spaced entries
            # The run ends at the last particle's components: its trailing
            # word may lie past the end of the file.
            whole = self.width * (q - 1 - p)
            out[:, a : b - 1] = values[:whole].reshape((self.width, q - 1 - p), order="F")[: self.components]
            out[:, b - 1] = values[whole : whole + self.components]
            return
        rel = self.words(np.arange(p, q, dtype=np.int64))
        rel -= rel[0]
        for c in range(self.components):
            out[c, a:b] = values[rel + c]


def phase_runs(entries: Entries, p0: int = 0, p1: int | None = None, max_range: int = MAX_RANGE):
    """The runs that fill a (components, p1 - p0) array with particles
    [p0, p1): runs of at most `max_range` bytes of entries, the count words
    between blocks read with them and left out as the trailing words are
    (the last particle's is not read: a dump may end without it). A dump of
    many small blocks costs one vectorised placement per run, not one per
    block."""
    p1 = entries.total if p1 is None else p1
    per = max(1, max_range // (4 * entries.width))
    runs = []
    for p in range(p0, p1, per):
        q = min(p1, p + per)
        first, last = entries.words(np.array([p, q - 1], np.int64)).tolist()
        runs.append((4 * first, 4 * (last + entries.components), functools.partial(entries.place, p, q, p0)))
    return runs


def particle_chunks(counts, components: int, chunk_bytes: int = CHUNK_BYTES) -> tuple:
    """Chunk sizes along the particles: groups of whole blocks of about
    `chunk_bytes` of components, a block larger than that cut into pieces
    of that size."""
    counts = np.maximum(np.asarray(counts, np.int64), 0)
    total = int(counts.sum())
    target = max(1, chunk_bytes // (4 * components))
    starts = np.cumsum(counts)[:-1]  # where each block after the first begins
    bounds = [0]
    while total - bounds[-1] > target:
        i = int(np.searchsorted(starts, bounds[-1] + target))
        cut = int(starts[i]) if i < len(starts) else total
        bounds.append(cut if cut - bounds[-1] <= 2 * target else bounds[-1] + target)
    if bounds[-1] < total:
        bounds.append(total)
    return tuple(np.diff(bounds).tolist())


# ---------------------------------------------------------------- execution


def coalesce(runs, max_gap: int = MAX_GAP, max_range: int = MAX_RANGE):
    """Runs (start, stop, place[, kept]) sorted by their place in the file,
    grouped into ranges: [start, stop, runs] with the runs of each range at
    most `max_gap` bytes apart and the range at most `max_range` bytes long
    unless one run is."""
    out: list = []
    for run in sorted(runs, key=lambda r: r[0]):
        if out and run[0] - out[-1][1] <= max_gap and run[1] - out[-1][0] <= max_range:
            last = out[-1]
            last[1] = max(last[1], run[1])
            last[2].append(run)
        else:
            out.append([run[0], run[1], [run]])
    return out


def execute(source, runs, out: np.ndarray, *, max_gap: int = MAX_GAP, max_range: int = MAX_RANGE) -> None:
    """Has `source` fetch the runs, coalesced into ranges, a batch of ranges
    at a time, and places each run's values in `out`."""
    ranges = coalesce(runs, max_gap, max_range)
    i = 0
    while i < len(ranges):
        j, size = i, 0
        while (
            j < len(ranges) and j - i < BATCH_RANGES and (j == i or size + ranges[j][1] - ranges[j][0] <= BATCH_BYTES)
        ):
            size += ranges[j][1] - ranges[j][0]
            j += 1
        batch = ranges[i:j]
        for (start, _, group), data in zip(batch, source.fetch([(s, e) for s, e, _ in batch])):
            for s, e, place, *kept in group:
                if kept:  # a run across subrecords: its bytes without the markers between
                    view = memoryview(data)[s - start : e - start]
                    place(out, np.frombuffer(b"".join(view[a:b] for a, b in kept[0]), "<f4"))
                else:
                    place(out, np.frombuffer(data, "<f4", (e - s) // 4, s - start))
        i = j
