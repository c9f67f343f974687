"""Every read path against a NumPy reference reader, on valid dumps whose
blocks sit at and around each size at which the readers, the scan, the
reductions and the Python read planners split their work differently: each
size itself, a record marker or a word either side, and the 28 bytes of
records between two blocks either side.

The sizes come from the readers' own limits (the attributes of the native
module _scan, and the Python modules' constants), so the sweep follows them
when they change. Small sizes run in the everyday suite; blocks of 8 MiB and more,
and dumps large enough to be read by several threads, in the slow group.
Each dump is read by 1, 2 and 3 threads wherever threads may read it.
"""
import contextlib
import os

import hypothesis
import numpy as np
import pytest
from hypothesis import strategies as st

from dorvo.quickio import _scan, beamdump, load, meshdump, particles
from dorvo.quickio._dump import planner as _planner
from helpers import MAX_SUBRECORD, RangeServer, field_dump_bytes, phase_dump_bytes
from sweep_layouts import (BLOCK_GAP, MARKER, WORD, around, field_family, FieldLayout, grid, pair_family, particles as particles_of, phase_family, PhaseLayout, reference_field,
                           reference_phase, split3, write_field, write_phase)

xr = pytest.importorskip("xarray")
from dorvo.quickio import xarray as qx  # noqa: E402

THREADS = (1, 2, 3)
# A size itself, a marker or a word either side, and the records between
# two blocks either side.
DELTAS = (-BLOCK_GAP, -2 * WORD, -MARKER, 0, MARKER, 2 * WORD, BLOCK_GAP)

# The field reader: its window, the smallest block read straight into the
# field, a task's bytes, and the field size from which threads read.
FIELD_WINDOW = _scan.FIELD_WINDOW
FIELD_MIN_DIRECT = _scan.FIELD_MIN_DIRECT
FIELD_TASK = _scan.FIELD_TASK_BYTES
FIELD_MIN_PARALLEL = _scan.FIELD_MIN_PARALLEL
# The phase-space reader, likewise (its threads start from a file size).
PHASE_WINDOW = _scan.PHASE_WINDOW
PHASE_MIN_DIRECT = _scan.PHASE_MIN_DIRECT
PHASE_TASK = _scan.PHASE_TASK_BYTES
PHASE_MIN_PARALLEL = _scan.PHASE_MIN_PARALLEL
# Sources: the first refill of a window after a jump, the longest read
# call; a window copies through itself what is at most a quarter of it.
MIN_WINDOW = _scan.MIN_WINDOW
MAX_READ_CHUNK = _scan.MAX_READ_CHUNK
# Runs one task (one preadv) holds.
MAX_PIECES = _scan.MAX_PIECES
# The scan: rows of its first table, blocks between interrupt checks,
# parameters kept.
SCAN_FIRST_ROWS = _scan.SCAN_FIRST_ROWS
SCAN_CHECK_BLOCKS = _scan.SCAN_CHECK_BLOCKS
SCAN_KEPT_PARAMS = _scan.SCAN_KEPT_PARAMS
# The reductions: moments' runs of values and packed entries, histograms
# counted in several copies, a selection's staging and its noted runs.
MOMENTS_RUN_VALUES = _scan.MOMENTS_RUN_VALUES
MOMENTS_PACKED = _scan.MOMENTS_PACKED_ENTRIES
HISTOGRAM_COPIED_CELLS = _scan.HISTOGRAM_COPIED_CELLS
SELECTION_STAGING = _scan.SELECTION_STAGING_BYTES
SELECTION_MAX_RUNS = _scan.SELECTION_MAX_RUNS
# The xarray backend reads a particle range through a scratch buffer of
# _READ_BYTES, working out the offsets of 1 << 16 particles at a time.
XR_READ_BYTES = 8 << 20
XR_PARTICLE_BATCH = 1 << 16


@contextlib.contextmanager
def read_threads(threads):
    """QUICKIO_READ_THREADS set for the calls inside, as a user sets it
    before a call."""
    old = os.environ.get("QUICKIO_READ_THREADS")
    os.environ["QUICKIO_READ_THREADS"] = str(threads)
    try:
        yield
    finally:
        if old is None:
            del os.environ["QUICKIO_READ_THREADS"]
        else:
            os.environ["QUICKIO_READ_THREADS"] = old


def same(got, want):
    got = np.asarray(got)
    return got.shape == want.shape and got.dtype == np.float32 and np.array_equal(
        got.view(np.uint32), np.asarray(want, np.float32).view(np.uint32))


class Sweep:
    """Runs the read paths of one dump and collects every mismatch or
    exception, so that a failure names all the paths that went wrong."""

    def __init__(self, dump):
        self.dump = dump
        self.failures = []
        self.tried = 0

    def check(self, name, read, want):
        """Compares read() with `want`: arrays bit for bit, or a callable
        that says whether the result is right."""
        self.tried += 1
        try:
            got = read()
            if callable(want):
                if not want(got):
                    self.failures.append(f"{name}: differs from NumPy")
                return
        except Exception as e:  # noqa: BLE001 - reported below with the path's name
            self.failures.append(f"{name}: {type(e).__name__}: {e}")
            return
        wants = want if isinstance(want, tuple) else (want,)
        gots = got if isinstance(got, tuple) else (got,)
        if len(gots) != len(wants) or not all(same(g, w) for g, w in zip(gots, wants)):
            self.failures.append(f"{name}: values differ from the reference reader")

    def done(self):
        assert not self.failures, f"{self.dump}:\n  " + "\n  ".join(self.failures)


# ---------------------------------------------------------------- field paths


def field_read_file(path, shape):
    """read_file into buffers one element too long, checking that nothing
    is written past the dump's values."""
    sizes = (int(np.prod(shape)), *shape)
    bufs = [np.full(n + 1, -7.0, np.float32) for n in sizes]
    meshdump.read_file(*bufs, os.fsencode(path))
    assert all(b[-1] == -7.0 for b in bufs), "read_file wrote past the dump's values"
    return (bufs[0][:-1].reshape(shape, order="F"), *(b[:-1] for b in bufs[1:]))


def field_read_vintar_bin(path, shape):
    return meshdump.read_Vintar_bin(str(path)[:-len(".bin")], dict(zip(("nx", "ny", "nz"), shape)))


def field_selections(shape):
    """A few selections that take each path of the xarray backend: part of
    x (through a scratch plane), a y range (rows straight into place), one
    plane, steps."""
    nx, ny, nz = shape
    return {
        "x half": (slice(nx // 2, None), slice(None), slice(None)),
        "y range": (slice(None), slice(ny // 3, max(ny - 1, 1)), slice(None)),
        "z plane": (slice(None), slice(None), nz // 2),
        "steps": (slice(None), slice(None, None, 2), slice(1, None, 2)),
    }


def sweep_field(path, layout, *, full, url=None, threads=THREADS):
    """The native paths at each thread count; with `full`, the xarray
    backend's whole read, selections and dask chunks, and reads over HTTP
    from `url`."""
    sweep = Sweep(layout)
    want = reference_field(path, split=layout.sub < MAX_SUBRECORD)
    shape = layout.shape
    for t in threads:
        with read_threads(t):
            sweep.check(f"read_file, {t} threads", lambda: field_read_file(path, shape), want)
            sweep.check(f"read_Vintar_bin, {t} threads", lambda: field_read_vintar_bin(path, shape), want)
            sweep.check(f"load, {t} threads", lambda: load(path), want)
            if full:
                sweep.check(f"xarray whole, {t} threads",
                            lambda: xr.open_dataset(path, engine="vintar").field.values, want[0])
    if full:
        ds = xr.open_dataset(path, engine="vintar")
        for name, key in field_selections(shape).items():
            sweep.check(f"xarray {name}", lambda: ds.field[key].values, want[0][key])
        sweep.check("xarray by dask chunks",
                    lambda: xr.open_dataset(path, engine="vintar", chunks={}).field.values, want[0])
    if full and url is not None:
        sweep.check("load over HTTP", lambda: load(url), want)
        ds = xr.open_dataset(url, engine="vintar")
        sweep.check("xarray over HTTP", lambda: ds.field.values, want[0])
        key = field_selections(shape)["steps"]
        sweep.check("xarray steps over HTTP", lambda: ds.field[key].values, want[0][key])
    del want
    return sweep


# ---------------------------------------------------------------- phase paths


def phase_beamdump(path, n, particles_):
    buf = np.full((2 * n + 1) * particles_ + 1, -7.0, np.float32)
    beamdump.beamdump(buf, n, os.fsencode(path))
    assert buf[-1] == -7.0, "beamdump wrote past the dump's values"
    return buf[:-1].reshape((2 * n + 1, particles_), order="F")


# One reduction of each kind, for dumps read by every path but the slower
# ones.
ONE_OF_EACH = ("histogram2d", "moments, where", "select")


def sweep_phase(path, layout, *, full, url=None, threads=THREADS, bins=(7, 33), reductions=None):
    """The native paths and the reductions (all, or those named) at each
    thread count; with `full`, the xarray backend's selections and dask
    chunks, and reads over HTTP from `url`."""
    sweep = Sweep(layout)
    n = layout.n
    want = reference_phase(path, n)
    count = want.shape[1]
    reductions = {name: case for name, case in reduction_cases(path, n, want, bins).items()
                  if reductions is None or name in reductions}
    for t in threads:
        with read_threads(t):
            sweep.check(f"beamdump, {t} threads", lambda: phase_beamdump(path, n, count), want)
            sweep.check(f"total_phase_space_read, {t} threads",
                        lambda: beamdump.total_phase_space_read(str(path)[:-4], {"n_dimensions": n}), want)
            sweep.check(f"load, {t} threads", lambda: load(path, n_dimensions=n), want)
            for name, (call, reference) in reductions.items():
                sweep.check(f"{name}, {t} threads", call, reference)
    if full:
        ds = xr.open_dataset(path, engine="vintar", n_dimensions=n)
        for name, key in phase_selections(want.shape).items():
            sweep.check(f"xarray {name}", lambda: ds.phase_space[key].values, want[key])
        sweep.check("xarray by dask chunks", lambda: xr.open_dataset(
            path, engine="vintar", n_dimensions=n, chunks={}).phase_space.values, want)
    if full and url is not None:
        sweep.check("load over HTTP", lambda: load(url, n_dimensions=n), want)
        ds = xr.open_dataset(url, engine="vintar", n_dimensions=n)
        sweep.check("xarray over HTTP", lambda: ds.phase_space.values, want)
        key = phase_selections(want.shape)["middle"]
        sweep.check("xarray middle over HTTP", lambda: ds.phase_space[key].values, want[key])
    del want
    return sweep


def phase_selections(shape):
    comps, count = shape
    return {
        "whole": (slice(None), slice(None)),
        "middle": (slice(None), slice(count // 3, count - count // 4)),
        "one component": (comps - 1, slice(None)),
        "steps": (slice(None, None, 2), slice(1, None, 3)),
    }


def reduction_cases(path, n, ps, bins):
    """{name: (call, check)}: histograms of one and two components
    (weighted, filtered, with and without a range), moments and selections,
    each checked against NumPy on the reference array as particles.py
    promises. Weighted sums are of multiples of 1/64 below 2^40: exact in
    any order."""
    last = 2 * n
    where = {last: (100.0, 700.0)}
    keep = (ps[last] >= 100.0) & (ps[last] <= 700.0)
    c0, cl = ps[0].astype(np.float64), ps[last].astype(np.float64)
    b1, b2 = bins
    rng2 = ((0.0, max(1.0, c0.max())), (0.0, 1024.0))

    def equal_to(*want):
        return lambda got: len(got) == len(want) and all(
            np.asarray(g).dtype == np.asarray(w).dtype and np.array_equal(g, w) for g, w in zip(got, want))

    def moments_of(kept):
        def check(m):
            if m["count"] != kept.shape[1]:
                return False
            wide = kept.astype(np.float64)
            return (same(m["min"], kept.min(axis=1)) and same(m["max"], kept.max(axis=1)) and not m["nan"].any()
                    and np.allclose(m["mean"], wide.mean(axis=1), rtol=1e-12, atol=0)
                    and np.allclose(m["std"], wide.std(axis=1), rtol=1e-9, atol=1e-9))
        return check

    return {
        "histogram, auto range": (lambda: particles.histogram(path, n, 0, bins=b1),
                                  equal_to(*np.histogram(c0, b1, (c0.min(), c0.max())))),
        "histogram, weights": (lambda: particles.histogram(path, n, last, bins=b2, range=(0, 1024), weights=0),
                               equal_to(*np.histogram(cl, b2, (0, 1024), weights=c0))),
        "histogram, where": (lambda: particles.histogram(path, n, last, bins=b2, range=(0, 1024), where=where),
                             equal_to(*np.histogram(cl[keep], b2, (0, 1024)))),
        "histogram2d": (lambda: particles.histogram(path, n, (0, last), bins=(b1, b2), range=rng2),
                        equal_to(*np.histogram2d(c0, cl, (b1, b2), rng2))),
        "moments": (lambda: particles.moments(path, n), moments_of(ps)),
        "moments, where": (lambda: particles.moments(path, n, where=where),
                           moments_of(ps[:, keep]) if keep.any() else lambda m: m["count"] == 0),
        "select": (lambda: particles.select(path, n, where), np.asfortranarray(ps[:, keep])),
        "select all": (lambda: particles.select(path, n, None), ps),
    }


# ---------------------------------------------------------------- layouts


def small_fields():
    """Field layouts of the everyday run, each with whether every path
    reads it (the sizes themselves) or the native paths alone (the sizes
    around them): blocks at and around the first refill of a window, the
    smallest block read straight into place, the largest run copied
    through the window, and the window itself; pairs of blocks spanning a
    window; tasks around the runs one read call holds; block tables around
    the scan's first table and its interrupt checks; headers around the
    parameters the scan keeps."""
    out = []
    for name, size in (("min window", MIN_WINDOW), ("min direct", FIELD_MIN_DIRECT),
                       ("window quarter", FIELD_WINDOW // 4), ("window", FIELD_WINDOW)):
        for b in around(size, DELTAS):
            out += [(layout, b == size) for layout in field_family(b, f"{name} {b - size:+d}")]
    for b in around(FIELD_WINDOW, DELTAS):
        out += [(layout, b == FIELD_WINDOW) for layout in pair_family(b, f"window {b - FIELD_WINDOW:+d}")]
    for p in around(MAX_PIECES, (-3, -2, -1, 0, 1, 2)):
        # Rows of 32 bytes, one per plane and block: p runs in each block.
        out.append((FieldLayout(8, ((1, 1),), (p,), label=f"runs {p}"), p == MAX_PIECES))
        out.append((FieldLayout(8, ((1, 0, 2),) * 2, (p // 2, p - p // 2), label=f"runs {p} around an empty block"),
                    False))
    for size in (SCAN_FIRST_ROWS, SCAN_CHECK_BLOCKS):
        for b in around(size, (-1, 0, 1)):
            out.append((FieldLayout(16, ((1,) * b,), (1,), label=f"{b} blocks in a layer"), b == SCAN_FIRST_ROWS))
    half = SCAN_CHECK_BLOCKS // 2
    out.append((FieldLayout(4, ((2, 1) * half,), (2,), label=f"{2 * half} unequal blocks"), False))
    for nparam in (15, 20, *around(SCAN_KEPT_PARAMS, (-1, 0, 1))):
        out.append((FieldLayout(6, ((2, 3), (0, 5)), (2, 3), nparam=nparam), nparam == SCAN_KEPT_PARAMS + 1))
    # Tilings of blocks of tens of KiB, read straight into place and packed
    # several to a task.
    tilings = {
        "uniform 4x3": (64, ((16,) * 4,) * 3, (8, 8, 8)),
        "whole planes 1x4": (64, ((64,),) * 4, (6,) * 4),
        "rows change between layers": (64, ((32, 32), (16, 48), (48, 16)), (8, 8, 8)),
        "rows change within a layer": (64, ((16, 16, 32), (32, 16, 16)), (8, 8)),
        "heights change": (64, ((32, 32),) * 3, (4, 12, 8)),
        "empty layer": (64, ((32, 32),) * 3, (8, 0, 16)),
        "empty first blocks": (64, ((0, 64),) * 2, (8, 8)),
        "small and large blocks mixed": (64, ((2, 62),) * 3, (8, 8, 8)),
        "256 blocks at min direct": (128, ((16,) * 16,) * 16, (2,) * 16),
        "1100 planes per block": (8, ((1, 1),), (1100,)),
    }
    out += [(FieldLayout(nx, rows, heights, label=name), True) for name, (nx, rows, heights) in tilings.items()]
    return out


def two_by_two(cells, tag):
    """A layout of `cells` points in two columns and two layers of unequal
    blocks (as far as the factors of `cells` allow)."""
    nx, ny, nz = split3(cells)
    rows = (ny // 2, ny - ny // 2) if ny > 1 else (ny,)
    heights = (nz // 2, nz - nz // 2) if nz > 1 else (nz,)
    return FieldLayout(nx, (rows,) * len(heights), heights, label=tag)


def large_fields():
    """Field layouts of the slow group: blocks and pairs of blocks around a
    task's bytes and twice that, the dumps the readers refused (blocks a few
    words under a task), fields around the size from which threads read,
    and an axis around the longest read call."""
    out = []
    for b in around(FIELD_TASK, DELTAS):
        d = b - FIELD_TASK
        nx, ny_loc, nz_loc = split3(b // 4)
        out.append(FieldLayout(b // 4, ((1, 1),), (1,), label=f"task {d:+d} rows 2x1"))
        out.append(FieldLayout(nx, ((ny_loc,) * 3,), (nz_loc,), label=f"task {d:+d} planes 3x1"))
        out += pair_family(b, f"task {d:+d}")
    for b in around(2 * FIELD_TASK, (-4 * WORD, -MARKER, 0, BLOCK_GAP)):
        out.append(FieldLayout(b // 4, ((1, 0),), (1,), label=f"two tasks {b - 2 * FIELD_TASK:+d} with an empty block"))
    out += [
        FieldLayout(337, ((127, 127),), (49,), label="337x254x49 in 2x1"),
        FieldLayout(337, ((85, 85, 84),), (49,), label="337x254x49 in 3x1"),
        FieldLayout(155, ((615,) * 3,) * 3, (23, 23, 22), label="155x1845x68 in 3x3"),
        FieldLayout(93, ((410, 409, 409, 409),) * 3, (110, 109, 109), label="93x1637x328 in 4x3"),
    ]
    for d in DELTAS:
        # (threads +4 and +28 come out as one block of one row: an x axis
        # longer than the longest read call.)
        out.append(two_by_two(FIELD_MIN_PARALLEL // 4 + d // 4, f"threads {d:+d}"))
    out.append(FieldLayout(MAX_READ_CHUNK // 4 - 1, ((1,),), (1,), label="axis of a read call -4"))
    out.append(FieldLayout(256, ((500, 7, 5), (7, 500, 5), (256, 255, 1), (100, 12, 400)), (3, 37, 60, 60),
                           label="tiny and large blocks by threads"))
    return out


def small_phases():
    """Phase-space layouts of the everyday run, each with whether every
    path reads it: blocks around the smallest block read in tasks and the
    window; blocks around the moments' packed entries and runs of values;
    many small blocks."""
    out = []
    for name, size in (("min direct", PHASE_MIN_DIRECT), ("window", PHASE_WINDOW)):
        for n in (0, 3):
            entry = 8 * (n + 1)
            for b in around(size, (-entry, 0, entry)):
                out += [(layout, b == size) for layout in phase_family(b, n, f"{name} {b - size:+d}")]
    # n = 4 has no vector form: its moments go by runs of whole entries.
    for n, run in ((0, MOMENTS_PACKED), (3, MOMENTS_PACKED), (4, MOMENTS_RUN_VALUES // (2 * 4 + 1))):
        for c in around(run, (-1, 0, 1)):
            out.append((PhaseLayout(n, (c, 0, c, 2 * c + 1), label=f"n{n} blocks of {c}"), False))
    out.append((PhaseLayout(2, tuple(range(-3, 400)), cut_trailing=True, extra=3, label="400 small blocks"), True))
    return out


def large_phases():
    """Phase-space layouts of the slow group: blocks around a task's bytes,
    files around the size from which threads read, entries around a task's
    bytes."""
    out = []
    for n in (0, 3):
        entry = 8 * (n + 1)
        for b in around(PHASE_TASK, (-entry, 0, entry)):
            out += phase_family(b, n, f"task {b - PHASE_TASK:+d}")[1:]
    # Files around the size from which threads read: eight unequal blocks
    # of entries of 32 bytes, then a marker, a word or a block's framing
    # more or less through empty blocks, one particle and the last word.
    entry = 32
    base = (PHASE_MIN_PARALLEL - 4 * 8) // entry
    counts = [base // 8 - 3, base // 8 + 1, base // 8 + 2] + [base // 8] * 5
    counts[-1] += base - sum(counts)
    # (particles, empty blocks, last word cut) more or less for each delta.
    tweaks = {-28: (-1, 1, False), -8: (-1, 6, False), -4: (0, 0, True), 0: (0, 0, False),
              4: (0, 1, False), 8: (0, 2, False), 28: (1, 0, True)}
    for d in DELTAS:
        more, empty, cut = tweaks[d]
        c = counts[:-1] + [counts[-1] + more]
        layout = PhaseLayout(3, tuple(c[:4]) + (0,) * empty + tuple(c[4:]), cut_trailing=cut, label=f"threads {d:+d}")
        assert layout.file_bytes == PHASE_MIN_PARALLEL + d, (d, layout.file_bytes)
        out.append(layout)
    out.append(PhaseLayout(3, (1, 0, 700_000, 5, -2, 3, 1_000_000, 2, 600_000, 1), cut_trailing=True,
                           label="tiny and large blocks by threads"))
    # Entries around a task's bytes: read component by component above it.
    for n in around(PHASE_TASK // 8 - 1, (-1, 0, 1)):
        out.append(PhaseLayout(n, (1, 0, 2), cut_trailing=True, label=f"entries {8 * (n + 1) - PHASE_TASK:+d}"))
    return out


SMALL_FIELDS = small_fields()
SMALL_PHASES = small_phases()


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    root = tmp_path_factory.mktemp("served")
    with RangeServer(root) as s:
        s.root = root
        yield s


def served(server, name):
    return server.root / name, server.url(name)


def test_sweep_writers_match_the_fortran_pinned_writers(tmp_path):
    # The sweep's writers write what helpers' writers write, and the
    # reference readers read it back.
    layout = FieldLayout(5, ((2, 0, 3), (1, 4, 0)), (2, 3))
    write_field(tmp_path / "a.bin", layout)
    field = grid(layout)
    want = field_dump_bytes(field, ny_loc=[list(r) for r in layout.rows], nz_loc=list(layout.heights),
                            int_params={2: 1002, 5: 1005, **{i: 1000 + i for i in range(7, 20) if i != 14}})
    assert (tmp_path / "a.bin").read_bytes() == want
    f, x, y, z = reference_field(tmp_path / "a.bin")
    assert same(f, field) and same(x, 0.5 * np.arange(5)) and same(z, -2 + 0.25 * np.arange(5))
    layout = PhaseLayout(1, (2, 0, -1, 3, 0), cut_trailing=True, extra=2)
    write_phase(tmp_path / "p.bin", layout)
    want = phase_dump_bytes(particles_of(5, 1), 1, list(layout.counts))[:-4] + bytes([1, 2])
    assert (tmp_path / "p.bin").read_bytes() == want
    assert same(reference_phase(tmp_path / "p.bin", 1), particles_of(5, 1).T)


@pytest.mark.parametrize("layout, full", SMALL_FIELDS, ids=[str(lay) for lay, _ in SMALL_FIELDS])
def test_field(server, layout, full):
    path, url = served(server, "field.bin")
    write_field(path, layout)
    sweep_field(path, layout, full=full, url=url).done()


def test_field_of_runs_a_word_under_a_task_before_each_gap(tmp_path):
    # Each block is one run a word short of a task's bytes, then come the
    # records before the next block: the task has no room for them and
    # ends there. Nine such blocks are enough for threads to read them.
    layout = FieldLayout(FIELD_TASK // 4 - 1, ((1,) * 9,), (1,), label="runs of a task -4 before a gap, 9x1")
    assert 4 * layout.cells >= FIELD_MIN_PARALLEL
    write_field(tmp_path / "f.bin", layout)
    sweep_field(tmp_path / "f.bin", layout, full=False, threads=(1, 3)).done()


@pytest.mark.parametrize("layout, full", SMALL_PHASES, ids=[str(lay) for lay, _ in SMALL_PHASES])
def test_phase_space(server, layout, full):
    path, url = served(server, "phase.bin")
    write_phase(path, layout)
    sweep_phase(path, layout, full=full, url=url).done()


# ---------------------------------------------------------------- Python planners

# Rows of a two-row block read one in two: the runs of a selection lie
# MAX_GAP bytes apart, a marker, a word or a block's framing either side.
GAP_LAYOUTS = [FieldLayout(nx, ((2, 2),), (3,), label=f"runs {4 * nx - _planner.MAX_GAP:+d} from one range")
               for nx in around(_planner.MAX_GAP // 4, (-7, -2, -1, 0, 1, 2, 7))]
# One row of each of BATCH_RANGES planes, give or take one: runs too far
# apart to share a range, fetched a batch of ranges at a time.
BATCH_LAYOUTS = [FieldLayout(_planner.MAX_GAP // 4 + 16, ((2,),), (p,), label=f"{p} ranges")
                 for p in around(_planner.BATCH_RANGES, (-1, 0, 1))]


@pytest.mark.parametrize("layout", GAP_LAYOUTS + BATCH_LAYOUTS, ids=str)
def test_remote_ranges(server, layout):
    path, url = served(server, "ranges.bin")
    write_field(path, layout)
    want = reference_field(path)[0]
    sweep = Sweep(layout)
    key = (slice(None), slice(None, None, 2), slice(None))
    for name, where in (("local", path), ("over HTTP", url)):
        ds = xr.open_dataset(where, engine="vintar")
        sweep.check(f"xarray every other row, {name}", lambda: ds.field[key].values, want[key])
        sweep.check(f"xarray row 1, {name}", lambda: ds.field[:, 1, :].values, want[:, 1, :])
    sweep.done()


PARTICLE_BATCH_DUMP = PhaseLayout(0, (60000, 0, 80000, 5000), label="145000 particles")
READ_BYTES_DUMP = PhaseLayout(0, (XR_READ_BYTES // 16, -1, XR_READ_BYTES // 16 + 5), label="1M particles")


@pytest.mark.parametrize("layout, keys", [
    # Particle ranges of the particles whose offsets are worked out at a
    # time, give or take one, without and with a step.
    pytest.param(PARTICLE_BATCH_DUMP, [(slice(None), slice(7, 7 + m)) for m in around(XR_PARTICLE_BATCH, (-1, 0, 1))]
     + [(0, slice(1, 1 + 2 * m, 2)) for m in around(XR_PARTICLE_BATCH, (-1, 0, 1))], id="particle batch"),
    # Particle ranges whose entries span one read of the scratch buffer,
    # give or take a word.
    pytest.param(READ_BYTES_DUMP, [(slice(None), slice(0, m)) for m in around(XR_READ_BYTES // 8, (-1, 0, 1))]
                 + [(slice(None), slice(3, 3 + XR_READ_BYTES // 8))], id="read buffer"),
])
def test_xarray_particle_ranges(server, layout, keys):
    path, url = served(server, "particles.bin")
    write_phase(path, layout)
    want = reference_phase(path, layout.n)
    sweep = Sweep(layout)
    for name, where in (("local", path), ("over HTTP", url)):
        ds = xr.open_dataset(where, engine="vintar", n_dimensions=layout.n)
        for key in keys:
            sweep.check(f"{key}, {name}", lambda: ds.phase_space[key].values, want[key])
    sweep.done()


@pytest.mark.parametrize("bins", [(b,) for b in around(HISTOGRAM_COPIED_CELLS, (-1, 0, 1))]
                         + [(2, HISTOGRAM_COPIED_CELLS // 2 - 1), (128, HISTOGRAM_COPIED_CELLS // 128),
                            (3, HISTOGRAM_COPIED_CELLS // 3 + 1)], ids=str)
def test_histogram_cells_around_copies(tmp_path, bins):
    # Histograms of up to copied_cells cells are counted in several copies
    # side by side, larger ones in one.
    layout = PhaseLayout(1, (3000, 0, 2000))
    write_phase(tmp_path / "p.bin", layout)
    ps = reference_phase(tmp_path / "p.bin", 1)
    c = [ps[k].astype(np.float64) for k in (0, 2)]
    rng = ((0.0, 5000.0), (0.0, 1024.0))
    if len(bins) == 1:
        want = np.histogram(c[1], bins[0], rng[1])
        got = particles.histogram(tmp_path / "p.bin", 1, 2, bins=bins[0], range=rng[1])
    else:
        want = np.histogram2d(c[0], c[1], bins, rng)
        got = particles.histogram(tmp_path / "p.bin", 1, (0, 2), bins=bins, range=rng)
    assert all(np.array_equal(g, w) for g, w in zip(got, want))


# ---------------------------------------------------------------- any shape


@st.composite
def field_layouts(draw):
    """1 to 4 columns, 1 to 3 layers, blocks of any width (empty ones too)
    and layers of any height (empty ones too)."""
    columns = draw(st.integers(1, 4))
    layers = draw(st.integers(1, 3))
    ny = draw(st.integers(1, 9))
    rows = []
    for _ in range(layers):
        cuts = sorted(draw(st.lists(st.integers(0, ny), min_size=columns - 1, max_size=columns - 1)))
        rows.append(tuple(b - a for a, b in zip([0] + cuts, cuts + [ny])))
    heights = draw(st.lists(st.integers(0, 4), min_size=layers, max_size=layers).filter(lambda h: sum(h) > 0))
    return FieldLayout(draw(st.integers(1, 40)), tuple(rows), tuple(heights))


@hypothesis.settings(max_examples=60, deadline=None, database=None)
@hypothesis.given(layout=field_layouts(), data=st.data())
def test_field_any_shape(layout, data):
    import tempfile

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "f.bin")
        write_field(path, layout)
        sweep = sweep_field(path, layout, full=False, threads=(data.draw(st.sampled_from(THREADS)),))
        want = reference_field(path)[0]
        nx, ny, nz = layout.shape
        key = tuple(slice(data.draw(st.integers(0, n - 1)), None, data.draw(st.integers(1, 3))) for n in (nx, ny, nz))
        ds = xr.open_dataset(path, engine="vintar")
        sweep.check(f"xarray {key}", lambda: ds.field[key].values, want[key])
        sweep.done()


@hypothesis.settings(max_examples=40, deadline=None, database=None)
@hypothesis.given(n=st.integers(0, 3), counts=st.lists(st.integers(-2, 60), min_size=1, max_size=8).filter(
    lambda c: any(v > 0 for v in c)), cut=st.booleans(), extra=st.integers(0, 3), data=st.data())
def test_phase_space_any_shape(n, counts, cut, extra, data):
    import tempfile

    layout = PhaseLayout(n, tuple(counts), cut_trailing=cut, extra=extra)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "p.bin")
        write_phase(path, layout)
        sweep = sweep_phase(path, layout, full=False, threads=(data.draw(st.sampled_from(THREADS)),))
        want = reference_phase(path, n)
        key = (slice(data.draw(st.integers(0, 2 * n)), None), slice(data.draw(st.integers(0, want.shape[1] - 1)),
                                                                    None, data.draw(st.integers(1, 4))))
        ds = xr.open_dataset(path, engine="vintar", n_dimensions=n)
        sweep.check(f"xarray {key}", lambda: ds.phase_space[key].values, want[key])
        sweep.done()


# ---------------------------------------------------------------- large sizes (slow)

HISTOGRAM_COPIES_BYTES = _scan.HISTOGRAM_COPIES_BYTES
MAX_RANGE = _planner.MAX_RANGE

LARGE_FIELDS = large_fields() + [
    # Planes around one range of a remote read, in two layers.
    FieldLayout(MAX_RANGE // 4 + d // 4, ((1,), (1,)), (1, 1), label=f"planes of a range {d:+d}")
    for d in (-MARKER, 0, MARKER)]
LARGE_PHASES = large_phases()
# Read by every path and over HTTP as well: the sizes themselves, the dumps
# once refused, ranges, and more than the bytes of one batch of ranges.
LARGE_FULL = {"task +0 rows 2x1", "task -4 rows 2x1", "337x254x49 in 2x1", "155x1845x68 in 3x3",
              "93x1637x328 in 4x3", "threads +0", "planes of a range -4", "planes of a range +0",
              "planes of a range +4", "task +0 n3 neighbours"}


@pytest.mark.slow
@pytest.mark.parametrize("layout", LARGE_FIELDS, ids=str)
def test_large_field(server, layout):
    path, url = served(server, "large.bin")
    write_field(path, layout)
    try:
        sweep_field(path, layout, full=str(layout) in LARGE_FULL, url=url).done()
    finally:
        path.unlink()


@pytest.mark.slow
@pytest.mark.parametrize("layout", LARGE_PHASES, ids=str)
def test_large_phase_space(server, layout):
    path, url = served(server, "large.bin")
    write_phase(path, layout)
    try:
        full = str(layout) in LARGE_FULL
        sweep_phase(path, layout, full=full, url=url, reductions=None if full else ONE_OF_EACH).done()
    finally:
        path.unlink()


@pytest.mark.slow
def test_selection_around_its_staging(tmp_path):
    # A selection whose components fit the staging memory is read once,
    # a larger one counted and then filled; with 1 to 3 threads. The
    # particles are numbered by component 0, so a window on it keeps the
    # first `kept`.
    entry_components = 7
    limit = SELECTION_STAGING // (4 * entry_components)
    layout = PhaseLayout(3, (limit // 3, 0, limit // 3, limit - 2 * (limit // 3) + 10))
    path = tmp_path / "p.bin"
    write_phase(path, layout)
    ps = reference_phase(path, 3)
    sweep = Sweep(layout)
    for kept in around(limit, (-1, 0, 1)):
        for t in THREADS:
            with read_threads(t):
                sweep.check(f"select {kept}, {t} threads", lambda: particles.select(path, 3, {0: (0, kept - 1)}),
                            np.asfortranarray(ps[:, :kept]))
    sweep.done()


@pytest.mark.slow
@pytest.mark.parametrize("blocks", around(SELECTION_MAX_RUNS, (0, 1)))
def test_reductions_around_the_runs_a_selection_notes(tmp_path, blocks):
    # Blocks of one particle each come to the reductions one run each: a
    # selection notes up to selection_max_runs of them, and past that fills
    # in file order.
    layout = PhaseLayout(0, (1,) * (blocks - 1) + (0, 1), label=f"{blocks} blocks")
    write_phase(tmp_path / "p.bin", layout)
    sweep_phase(tmp_path / "p.bin", layout, full=False, threads=(1,), reductions=("select", "select all")).done()


@pytest.mark.slow
def test_histogram_copies_around_threads(tmp_path):
    # A histogram is counted in one copy per thread while the copies fit
    # histogram_copies_bytes: three threads at most, two, or one counting
    # into the result, on a dump read by threads.
    layout = [lay for lay in LARGE_PHASES if str(lay) == "threads +0"][0]
    path = tmp_path / "p.bin"
    write_phase(path, layout)
    values = np.sort(reference_phase(path, 3)[6].astype(np.float64))
    cells = HISTOGRAM_COPIES_BYTES // 8
    with read_threads(3):
        # Three copies, two, and one counted into the result.
        for bins in (cells // 3, cells // 3 + 1, cells // 2 + 1):
            counts, edges = particles.histogram(path, 3, 6, bins=bins, range=(0, 1024))
            # np.histogram's counts, found in one pass (it would fill a
            # histogram of this many bins for every 65,536 values): the
            # values at or above each edge and below the next, the last
            # edge in the last bin.
            assert np.array_equal(edges, np.linspace(0, 1024, bins + 1))
            below = np.searchsorted(values, edges, side="left")
            want = np.diff(below)
            want[-1] += len(values) - below[-1]
            assert np.array_equal(counts, want), bins
            del counts, edges, below, want
