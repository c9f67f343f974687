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
# Dask chunks hold about this many bytes.
CHUNK_BYTES = 128 << 20


def overlap(r: range, lo: int, hi: int) -> tuple:
    """Positions [p0, p1) in `r` (a range with a positive step) of the
    values that lie in [lo, hi)."""
    p0 = max(0, -((r.start - lo) // r.step))
    p1 = min(len(r), -((r.start - hi) // r.step))
    return p0, max(p0, p1)


# ---------------------------------------------------------------- fields


def field_blocks(blocks) -> np.ndarray:
    """(y0, z0, ny_loc, nz_loc, offset) of the blocks of a field block table
    that hold values, one row each."""
    held = (blocks.ny_loc > 0) & (blocks.nz_loc > 0)
    return np.stack([blocks.y0[held], blocks.z0[held], blocks.ny_loc[held], blocks.nz_loc[held],
                     blocks.offset[held]], axis=1)


def _reshaped(out_key, shape, src_key, out, values):
    out[out_key] = values.reshape(shape, order="F")[src_key]


def field_runs(blocks: np.ndarray, nx: int, rx: range, ry: range, rz: range, max_range: int = MAX_RANGE):
    """The runs that fill an (len(rx), len(ry), len(rz)) array with the
    selection rx, ry, rz of a field whose blocks are `blocks` (rows of
    field_blocks()): from each block that holds part of it, its rows of
    the selected z-planes; whole planes of a block in one run, as many
    consecutive planes as fit in `max_range` bytes."""
    xs = slice(rx.start, rx.stop, rx.step)
    y0, z0, ny_loc, nz_loc = (blocks[:, i] for i in range(4))
    touched = (z0 < rz[-1] + 1) & (z0 + nz_loc > rz[0]) & (y0 < ry[-1] + 1) & (y0 + ny_loc > ry[0])
    runs = []
    for by0, bz0, bny, bnz, offset in blocks[touched].tolist():
        pz0, pz1 = overlap(rz, bz0, bz0 + bnz)
        py0, py1 = overlap(ry, by0, by0 + bny)
        if pz0 == pz1 or py0 == py1:
            continue
        j0 = ry[py0] - by0
        rows = ry[py1 - 1] - by0 + 1 - j0  # rows of the block that a plane's run spans
        row_bytes = 4 * nx
        if rows == bny and rz.step == 1:
            # Whole planes that follow each other in the file.
            per = max(1, max_range // (row_bytes * bny))
            k0 = rz[pz0] - bz0
            for p in range(pz0, pz1, per):
                q = min(pz1, p + per)
                start = offset + row_bytes * bny * (k0 + p - pz0)
                runs.append((start, start + row_bytes * bny * (q - p), functools.partial(
                    _reshaped, (slice(None), slice(py0, py1), slice(p, q)), (nx, bny, q - p),
                    (xs, slice(None, None, ry.step), slice(None)))))
            continue
        for p in range(pz0, pz1):
            start = offset + row_bytes * (j0 + bny * (rz[p] - bz0))
            runs.append((start, start + row_bytes * rows, functools.partial(
                _reshaped, (slice(None), slice(py0, py1), p), (nx, rows), (xs, slice(None, None, ry.step)))))
    return runs


def _split(sizes, most: int) -> tuple:
    """`sizes` with each size cut into pieces of at most `most`."""
    out = []
    for s in sizes:
        while s > most:
            out.append(most)
            s -= most
        if s:
            out.append(s)
    return tuple(out)


def field_chunks(blocks: np.ndarray, shape, chunk_bytes: int = CHUNK_BYTES) -> tuple:
    """Dask chunks (x, y, z) of a field that follow its block tiling, each
    block cut along z (and along y when one plane is too large) into
    chunks of about `chunk_bytes`: a chunk then reads from one block."""
    nx, ny, nz = shape
    if not len(blocks):
        return ((nx,), (ny,), (nz,))
    y_cuts = sorted(set(blocks[:, 0].tolist()) | {0, ny})
    z_cuts = sorted(set(blocks[:, 1].tolist()) | {0, nz})
    ys = [b - a for a, b in zip(y_cuts, y_cuts[1:]) if b > a]
    zs = [b - a for a, b in zip(z_cuts, z_cuts[1:]) if b > a]
    row = 4 * max(nx, 1)
    ys = _split(ys, max(1, chunk_bytes // row))
    zs = _split(zs, max(1, chunk_bytes // (row * max(ys))))
    return ((nx,), ys, zs)


# ---------------------------------------------------------------- particles


class Entries:
    """Where the particles' entries of a phase-space dump lie: the blocks
    that hold particles, the first particle of each, and the word at which
    any particle's entry starts."""

    def __init__(self, offsets, counts, components: int):
        counts = np.asarray(counts, np.int64)
        held = counts > 0
        self.counts = counts[held]
        self.entries_at = np.asarray(offsets, np.int64)[held] + 4
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
            out[:, a:b - 1] = values[:whole].reshape((self.width, q - 1 - p), order="F")[:self.components]
            out[:, b - 1] = values[whole:whole + self.components]
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
    """Runs sorted by their place in the file, grouped into ranges: [start,
    stop, runs] with the runs of each range at most `max_gap` bytes apart
    and the range at most `max_range` bytes long unless one run is."""
    out = []
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
        while j < len(ranges) and j - i < BATCH_RANGES and (j == i or size + ranges[j][1] - ranges[j][0] <= BATCH_BYTES):
            size += ranges[j][1] - ranges[j][0]
            j += 1
        batch = ranges[i:j]
        for (start, _, group), data in zip(batch, source.fetch([(s, e) for s, e, _ in batch])):
            for s, e, place in group:
                place(out, np.frombuffer(data, "<f4", (e - s) // 4, s - start))
        i = j
