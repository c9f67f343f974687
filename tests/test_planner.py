"""The read planner on its own: dask chunks that follow a dump's blocks
and stay within their size, whatever the blocks' rows and counts; runs
that place any selection's values; ranges and batches that keep their
bounds and are no smaller than they need be."""
import functools
import itertools

import hypothesis
import numpy as np
import pytest
from hypothesis import strategies as st

import dorvo.quickio as qio
from dorvo.quickio._dump import planner as _planner
from helpers import grid_values, phase_values, write_field_dump, write_phase_dump


def _cuts(sizes):
    return set(itertools.accumulate(sizes, initial=0))


@pytest.mark.parametrize("ny_loc, nz_loc", [
    ([3, 5], [4, 6]),          # unequal rows: z is merged by the widest chunk along y
    ([5, 3], [10]),
    ([1, 6, 1], [3, 1, 6]),
    ([8], [10]),
    ([[3, 5], [4, 4], [3, 5]], [4, 0, 6]),  # an empty layer cuts nothing
])
@pytest.mark.parametrize("nx", [1, 7])
def test_field_chunks_merge_blocks_up_to_their_size(tmp_path, nx, ny_loc, nz_loc):
    layers = ny_loc if isinstance(ny_loc[0], list) else [ny_loc] * len(nz_loc)
    shape = (nx, sum(layers[0]), sum(nz_loc))
    write_field_dump(tmp_path / "f.bin", *grid_values(*shape), ny_loc=ny_loc, nz_loc=nz_loc)
    y_blocks = set().union(*(_cuts(rows) for rows, height in zip(layers, nz_loc) if height))
    row = 4 * nx
    with qio.open(tmp_path / "f.bin") as dump:
        for chunk_bytes in (1, row - 1, row, 3 * row, 4 * row + 3, 20 * row, 1 << 20):
            xs, ys, zs = dump.chunks(chunk_bytes)
            where = (chunk_bytes, xs, ys, zs)
            assert (sum(xs), sum(ys), sum(zs)) == shape, where
            assert all(type(n) is int for n in xs + ys + zs), where
            if row > chunk_bytes:
                # A row alone is over the size: rows cut along x, one row a chunk.
                per = max(1, chunk_bytes // 4)
                assert set(xs[:-1]) <= {per} and xs[-1] <= per and ys == (1,) * shape[1], where
                assert zs == (1,) * shape[2], where
                continue
            assert xs == (nx,), where
            for sizes, blocks, budget in ((ys, y_blocks, chunk_bytes // row),
                                          (zs, _cuts(nz_loc), chunk_bytes // (row * max(ys)))):
                # Within the size; merged as far as it allows (two neighbours
                # would not fit together); cut inside a block only where the
                # block alone is over the size.
                assert max(sizes) <= max(budget, 1), where
                assert all(a + b > budget for a, b in zip(sizes, sizes[1:])), where
                cuts = sorted(blocks)
                for end, size in zip(itertools.accumulate(sizes), sizes):
                    if end not in blocks:
                        k = np.searchsorted(cuts, end)
                        assert cuts[k] - cuts[k - 1] > budget and size == max(budget, 1), where


def test_field_chunks_of_no_blocks_or_no_values_are_the_shape():
    blocks = np.array([[0, 0, 2, 3, 0]])
    for table, shape in ((blocks[:0], (4, 2, 3)), (blocks, (0, 2, 3)), (blocks, (4, 0, 3)), (blocks, (4, 2, 0)),
                         (blocks[:0], (-1, 0, 3))):
        want = tuple((max(n, 0),) for n in shape)
        assert _planner.field_chunks(table, shape, 8) == want, (table, shape)


@pytest.mark.parametrize("counts", [[7], [3, 0, 5, 1, 0, 9, 2], [20, 1, 1, 1, 1, 15], [8, 3], [5, 5, 5], [0, 0]])
def test_particle_chunks_group_whole_blocks_near_their_size(tmp_path, counts):
    n = 1
    write_phase_dump(tmp_path / "p.bin", phase_values(sum(counts), n), n, counts)
    with qio.open(tmp_path / "p.bin", n_dimensions=n) as dump:
        for target in (1, 2, 4, 6, 100):
            (components,), chunks = dump.chunks(4 * 3 * target)
            where = (target, chunks)
            assert components == 3 and sum(chunks) == sum(counts), where
            assert all(type(c) is int for c in chunks), where
            if not sum(counts):
                assert chunks == (0,)
                continue
            # Each chunk ends where a block does, or is cut at the size; it
            # is at most twice the size, and only the last is smaller.
            for end, size in zip(itertools.accumulate(chunks), chunks):
                assert end in _cuts(counts) or size == target, where
                assert size <= 2 * target and (size >= target or end == sum(counts)), where
                # Cut at the size only where no block ends between once and
                # twice the size from the chunk's start.
                if end not in _cuts(counts):
                    assert not any(target <= c - (end - size) <= 2 * target for c in _cuts(counts)), where
            # Blocks of one to two times the size are a chunk each.
            if all(target <= c <= 2 * target for c in counts):
                assert chunks == tuple(counts), where


# ---------------------------------------------------------------- runs, ranges and batches


class Recorded:
    """A source over `data` that notes each batch of ranges it is asked for."""

    def __init__(self, data):
        self.data, self.batches = data, []

    def fetch(self, ranges):
        self.batches.append(list(ranges))
        return [self.data[s:e] for s, e in ranges]


@st.composite
def words_runs(draw):
    """Runs of whole float32 words that do not overlap, in any order, each
    placing its words at their own index: (runs, file words)."""
    gaps = draw(st.lists(st.integers(0, 12), min_size=1, max_size=25))
    lengths = draw(st.lists(st.integers(1, 12), min_size=len(gaps), max_size=len(gaps)))
    runs, at = [], 0
    for gap, n in zip(gaps, lengths):
        at += gap
        runs.append((4 * at, 4 * (at + n), functools.partial(_place_words, at)))
        at += n
    return draw(st.permutations(runs)), at


def _place_words(at, out, values):
    out[at:at + len(values)] = values


@hypothesis.settings(max_examples=150, deadline=None, database=None)
@hypothesis.given(drawn=words_runs(), max_gap=st.integers(0, 40), max_range=st.integers(4, 120),
                  batch_ranges=st.integers(1, 4), batch_bytes=st.integers(4, 150))
def test_ranges_and_batches_keep_their_bounds_and_place_every_run(drawn, max_gap, max_range, batch_ranges,
                                                                   batch_bytes):
    runs, words = drawn
    values = np.arange(words, dtype="<f4")
    source = Recorded(values.tobytes())
    out = np.full(words, np.nan, np.float32)
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(_planner, "BATCH_RANGES", batch_ranges)
        mp.setattr(_planner, "BATCH_BYTES", batch_bytes)
        _planner.execute(source, runs, out, max_gap=max_gap, max_range=max_range)
    placed = np.zeros(words, bool)
    for s, e, _ in runs:
        placed[s // 4:e // 4] = True
    np.testing.assert_array_equal(out[placed], values[placed])
    assert np.isnan(out[~placed]).all()
    # Ranges: in file order, each a run or runs at most max_gap apart and at
    # most max_range long, and a run starts a new range only when it has to.
    ranges = [r for batch in source.batches for r in batch]
    by_start = sorted(runs, key=lambda r: r[0])
    assert [s for s, _ in ranges] == sorted(s for s, _ in ranges)
    i = 0
    for n, (start, stop) in enumerate(ranges):
        members = []
        while i < len(by_start) and by_start[i][1] <= stop:
            members.append(by_start[i])
            i += 1
        assert members and members[0][0] == start and members[-1][1] == stop
        assert all(b[0] - a[1] <= max_gap for a, b in zip(members, members[1:]))
        assert stop - start <= max_range or len(members) == 1
        if n + 1 < len(ranges):
            nxt = by_start[i]
            assert nxt[0] - stop > max_gap or nxt[1] - start > max_range
    assert i == len(by_start)
    # Batches: at most batch_ranges ranges and batch_bytes bytes (unless one
    # range), and a batch ends only when the next range would not fit.
    for batch, nxt in zip(source.batches, source.batches[1:] + [None]):
        size = sum(e - s for s, e in batch)
        assert len(batch) <= batch_ranges and (size <= batch_bytes or len(batch) == 1)
        if nxt:
            assert len(batch) == batch_ranges or size + nxt[0][1] - nxt[0][0] > batch_bytes


@pytest.mark.parametrize("gap, max_gap, max_range, batch_ranges, batch_bytes, ranges, batches", [
    (8, 8, 1000, 64, 1000, 1, 1),    # runs max_gap apart share a range
    (12, 8, 1000, 64, 1000, 5, 1),   # a word further, they do not
    (12, 12, 28, 64, 1000, 3, 1),    # two runs that are max_range long together share one...
    (12, 12, 27, 64, 1000, 5, 1),    # ...a byte longer, they do not
    (12, 8, 1000, 2, 1000, 5, 3),    # batches of batch_ranges ranges...
    (12, 8, 1000, 64, 16, 5, 3),     # ...or of batch_bytes bytes
    (12, 8, 1000, 64, 15, 5, 5),
])
def test_ranges_and_batches_at_their_bounds(gap, max_gap, max_range, batch_ranges, batch_bytes, ranges, batches,
                                           monkeypatch):
    # Five runs of two words each, `gap` bytes apart.
    runs = [(i * (8 + gap), i * (8 + gap) + 8, functools.partial(_place_words, i * (8 + gap) // 4))
            for i in range(5)]
    words = runs[-1][1] // 4
    source = Recorded(np.arange(words, dtype="<f4").tobytes())
    monkeypatch.setattr(_planner, "BATCH_RANGES", batch_ranges)
    monkeypatch.setattr(_planner, "BATCH_BYTES", batch_bytes)
    out = np.zeros(words, np.float32)
    _planner.execute(source, runs, out, max_gap=max_gap, max_range=max_range)
    assert (sum(map(len, source.batches)), len(source.batches)) == (ranges, batches)
    for s, e, _ in runs:
        np.testing.assert_array_equal(out[s // 4:e // 4], np.arange(s // 4, e // 4))


@pytest.mark.parametrize("max_range", [1, 4 * 6 * 3 - 1, 4 * 6 * 3, 1 << 20])
def test_phase_runs_hold_as_many_particles_as_fit(tmp_path, max_range):
    n, counts = 2, [4, 0, 9, 1]
    write_phase_dump(tmp_path / "p.bin", phase_values(14, n), n, counts)
    with qio.open(tmp_path / "p.bin", n_dimensions=n) as dump:
        entries = _planner.Entries(dump.header.blocks.offset, dump.header.blocks.count, 2 * n + 1)
    entry = 4 * (2 * n + 2)
    for p0, p1 in ((0, 14), (3, 12)):
        runs = _planner.phase_runs(entries, p0, p1, max_range)
        held = [(e - s + 4) // entry for s, e, _ in runs]  # the last particle's trailing word is not read
        assert sum(held) == p1 - p0
        assert all(k == 1 or k * entry <= max_range for k in held), held
        assert all((k + 1) * entry > max_range for k in held[:-1]), held


@pytest.fixture(scope="module")
def tiled(tmp_path_factory):
    """A field in 4 x 3 blocks of unequal rows and heights (one row and
    one plane thin, which a stepped selection can step over), with the
    header's block table."""
    path = tmp_path_factory.mktemp("tiled") / "f.bin"
    field = grid_values(5, 9, 8)[0]
    write_field_dump(path, field, ny_loc=[2, 1, 3, 3], nz_loc=[3, 1, 4])
    with qio.open(path) as dump:
        return field, _planner.field_blocks(dump.header.blocks), path.read_bytes()


def _axis(data, n):
    """A selection along an axis of n points: a start, a step, a count;
    every point half the time."""
    if data.draw(st.booleans()):
        return range(n)
    every = range(data.draw(st.integers(0, n - 1)), n, data.draw(st.integers(1, 4)))
    return every[:data.draw(st.integers(1, len(every)))]


def _file_words(blocks, shape):
    """The byte offset in the file of each value of the field."""
    at = np.full(shape, -1, np.int64)
    for y0, z0, ny, nz, offset in blocks.tolist():
        at[:, y0:y0 + ny, z0:z0 + nz] = offset + 4 * np.arange(shape[0] * ny * nz).reshape((shape[0], ny, nz), order="F")
    return at


def _check_selection(tiled, rx, ry, rz, max_range):
    field, blocks, raw = tiled
    out = np.full((len(rx), len(ry), len(rz)), np.nan, np.float32, order="F")
    runs = _planner.field_runs(blocks, 5, rx, ry, rz, max_range)
    _planner.execute(Recorded(raw), runs, out, max_gap=0, max_range=1)
    np.testing.assert_array_equal(out, field[np.ix_(rx, ry, rz)])
    # The runs do not overlap, and each starts and ends at a selected
    # value. A run of whole rows holds no more than max_range bytes (or one
    # plane of a block); its stretches of values left out are at most
    # MAX_GAP long, and the runs next to each other could not have been
    # one. Otherwise a run lies in one block: one plane's rows, or whole
    # planes that fit in max_range together.
    wanted = np.zeros(len(raw), bool)
    wanted[_file_words(blocks, field.shape)[np.ix_(rx, ry, rz)].ravel()[:, None] + np.arange(4)] = True
    runs = sorted(run[:2] for run in runs)
    assert all(a[1] <= b[0] for a, b in zip(runs, runs[1:])), runs
    assert sum(wanted[s:e].sum() for s, e in runs) == 4 * out.size
    if rx != range(5) or ry.step != 1:
        for start, stop in runs:
            (ny, plane_end), = [(ny, offset + 4 * 5 * ny * nz) for _, _, ny, nz, offset in blocks.tolist()
                                if offset <= start < offset + 4 * 5 * ny * nz]
            assert stop <= plane_end and stop - start <= max(max_range, 4 * 5 * ny), (start, stop)
        return
    widest = 4 * 5 * int(blocks[:, 2].max())
    for (start, stop), after in zip(runs, [*runs[1:], None]):
        assert wanted[start] and wanted[stop - 1] and stop - start <= max(max_range, widest), (start, stop)
        edges = np.flatnonzero(np.diff(wanted[start:stop].astype(np.int8)))
        assert all(b - a <= _planner.MAX_GAP for a, b in zip(edges[::2], edges[1::2])), (start, stop)
        if after is not None:
            assert after[0] - stop > _planner.MAX_GAP or after[1] - start > max_range, (start, stop, after)


@hypothesis.settings(max_examples=150, deadline=None, database=None)
@hypothesis.given(data=st.data(), max_range=st.sampled_from([1, 20, 4 * 5 * 4, 4 * 5 * 9, 1 << 20]),
                  max_gap=st.sampled_from([0, 4, 40, 200, _planner.MAX_GAP]))
def test_field_runs_of_any_selection_place_its_values(tiled, data, max_range, max_gap):
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(_planner, "MAX_GAP", max_gap)
        _check_selection(tiled, *(_axis(data, n) for n in tiled[0].shape), max_range)


@pytest.mark.parametrize("ry, rz, max_range", [
    (range(3, 9, 2), range(8), 1 << 20),  # every other row of blocks of three: whole planes, stepped
    (range(1, 9, 2), range(8), 1 << 20),  # steps over the block of one row
    (range(9), range(4, 8), 4 * 5 * 3),   # a plane of the widest block at a time
])
def test_field_runs_of_selections_that_step_over_rows(tiled, ry, rz, max_range):
    _check_selection(tiled, range(5), ry, rz, max_range)


@pytest.fixture(scope="module")
def even(tmp_path_factory):
    """A field in 3 x 2 blocks of 2 rows and 2 planes, rows of 20 bytes."""
    path = tmp_path_factory.mktemp("even") / "f.bin"
    field = grid_values(5, 6, 4)[0]
    write_field_dump(path, field, ny_loc=[2, 2, 2], nz_loc=[2, 2])
    with qio.open(path) as dump:
        return field, _planner.field_blocks(dump.header.blocks), path.read_bytes()


@pytest.mark.parametrize("ry, rz", [(range(6), range(4)), (range(1, 5), range(1, 4)), (range(6), range(0, 4, 3))])
@pytest.mark.parametrize("gap_d", [-4, 0, 4])
@pytest.mark.parametrize("blocks_in_range, range_d", [(1, -20), (1, -4), (1, 0), (1, 4), (1, 20),
                                                      (2, -4), (2, 0), (2, 4), (99, 0)])
def test_row_runs_at_their_gap_and_size(monkeypatch, even, ry, rz, gap_d, blocks_in_range, range_d):
    """Whole rows of blocks whose data lie `gap` bytes apart in the file: a
    run of several blocks, or one a block, at MAX_GAP = gap and a word
    either side; and runs cut at one block's bytes (a row and a word
    either side) and at two blocks' (a word either side)."""
    blocks, block = even[1], 4 * 5 * 2 * 2
    gap = int(np.diff(np.sort(blocks[:, 4]))[0]) - block
    monkeypatch.setattr(_planner, "MAX_GAP", gap + gap_d)
    k = blocks_in_range
    _check_selection(even, range(5), ry, rz, k * block + (k - 1) * gap + range_d)


def test_read_indexes_as_numpy_does(tmp_path):
    """Ints (negative ones and those one past either end) and slices along
    every axis of a field and a phase-space dump: NumPy's values, NumPy's
    IndexError; a slice of negative step is refused."""
    field = grid_values(4, 5, 3)[0]
    write_field_dump(tmp_path / "f.bin", *grid_values(4, 5, 3), ny_loc=[2, 3], nz_loc=[1, 2])
    particles = phase_values(6, 1).T
    write_phase_dump(tmp_path / "p.bin", particles.T, 1, [2, 4])
    keys = [None, 0, 2, -1, -3, 3, -4, 5, -6, slice(1, None, 2), slice(-2, None)]
    with qio.open(tmp_path / "f.bin") as f, qio.open(tmp_path / "p.bin", n_dimensions=1) as p:
        for axis, dump, want, read in [(a, f, field, lambda d, k, a=a: d.read(**{"xyz"[a]: k})) for a in range(3)] + [
            (0, p, particles, lambda d, k: d.read(components=k)), (1, p, particles, lambda d, k: d.read(particles=k))
        ]:
            for key in keys:
                index = tuple(slice(None) if b != axis or key is None else key for b in range(want.ndim))
                try:
                    expected = want[index]
                except IndexError:
                    with pytest.raises(IndexError, match=f"index {key} is out of bounds for an axis of "):
                        read(dump, key)
                    continue
                got = read(dump, key)
                np.testing.assert_array_equal(got, expected, err_msg=f"axis {axis}, key {key}")
            with pytest.raises(ValueError, match=r"^read\(\) takes slices of positive step$"):
                read(dump, slice(None, None, -1))
