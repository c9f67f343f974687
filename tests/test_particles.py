"""dorvo.quickio.particles: each reduction against NumPy on the loaded array,
over dumps of every shape the stream meets (blocks of all kinds, n = 0, 1 and
3, NaN and infinities, values on bin edges, a dump large enough to be read
by several threads, one of more runs than a selection notes), then the
arguments, bad dumps, Ctrl-C and memory."""
import os
import warnings
from pathlib import Path

import numpy as np
import pytest

from dorvo.quickio import _particles, beamdump, particles
from dorvo.quickio._dump import reductions as _reductions
from helpers import phase_dump_bytes, run_isolated, under_sanitizer, write_phase_dump

INF = float("inf")


def _values(count, n, seed):
    """Particles whose component 0 lies on a grid of eighths (the edges of
    8 bins over (-1, 1), and beyond), component 1 on and next to the edges
    of 10 bins over (-0.7, 0.3), the others normal, with NaN and infinities
    in component 2 and NaN in the last one."""
    rng = np.random.default_rng(seed)
    v = rng.normal(size=(count, 2 * n + 1)).astype(np.float32)
    v[:, 0] = rng.integers(-10, 11, count) / 8
    if n >= 1:
        edges = np.linspace(-0.7, 0.3, 11).astype(np.float32)
        near = np.concatenate([edges, np.nextafter(edges, -INF), np.nextafter(edges, INF)])
        v[:, 1] = rng.choice(near, count)
        v[rng.random(count) < 0.02, 2] = np.nan
        v[rng.random(count) < 0.01, 2] = INF
        v[rng.random(count) < 0.01, 2] = -INF
    if count:
        v[rng.random(count) < 0.03, -1] = np.nan
    return v


def _one_particle_blocks(path, count):
    """n = 0, `count` blocks of one particle each, written in one go."""
    words = np.empty((count, 3), "<i4")
    words[:, 0] = 1
    words[:, 1] = (np.arange(count) % 97 / 8 - 6).astype("<f4").view("<i4")
    words[:, 2] = np.arange(count)
    Path(path).write_bytes(words.tobytes())


# name: (n, block counts, particles); None: written by its own writer.
DUMPS = {
    "n3-blocks": (3, [40, 0, -3, 700, 1, 259], 1000),
    "n1": (1, [500, 500], 1000),
    "n0": (0, [7, 0, 300], 307),
    "empty-file": (3, [], 0),
    "empty-blocks": (2, [0, -5, 0], 0),
    # Past 64 MiB, so that several threads read it, and a selection of it
    # all is more than a counting pass stages: a filling pass places it.
    "threads": (3, [1 << 21, 0, 540_000], (1 << 21) + 540_000),
    # More runs than a counting pass notes: the filling pass runs in order.
    "runs": (0, None, (1 << 20) + 50_000),
}


@pytest.fixture(scope="module")
def dumps(tmp_path_factory):
    folder = tmp_path_factory.mktemp("particles")
    made = {}
    for name, (n, counts, total) in DUMPS.items():
        path = folder / f"{name}.bin"
        if counts is None:
            _one_particle_blocks(path, total)
        else:
            write_phase_dump(path, _values(total, n, len(made)), n, counts)
        ps = (beamdump.total_phase_space_read(str(path)[:-4], {"n_dimensions": n}) if total
              else np.empty((2 * n + 1, 0), np.float32, order="F"))
        made[name] = (path, n, ps)
    return made


def _wheres(n):
    last = 2 * n
    return [None, {0: (-0.5, 0.75)}, {last: (-1.0, INF), 0: (-INF, 0.5)}]


def _mask(ps, where):
    a = ps.astype(np.float64)
    mask = np.ones(ps.shape[1], bool)
    for k, (lo, hi) in (where or {}).items():
        mask &= (a[k] >= lo) & (a[k] <= hi)
    return mask


def _finite_range(col):
    f = col[np.isfinite(col)]
    return (f.min(), f.max()) if f.size else (0, 1)


def reference_histogram(ps, components, bins, range_, weights, where):
    a = ps.astype(np.float64)[:, _mask(ps, where)]
    cols = [a[c] for c in components]
    w = None if weights is None else a[weights]
    range_ = [_finite_range(c) if r is None else r for c, r in zip(cols, range_ or [None] * len(cols))]
    if len(cols) == 1:
        return np.histogram(cols[0], bins, range_[0], weights=w)
    return np.histogram2d(cols[0], cols[1], bins, range_, weights=w)


def _histogram_cases(n):
    c = 2 * n + 1
    mid = c // 2
    return [
        dict(components=0, bins=8, range=(-1, 1)),  # values on every edge
        dict(components=[min(1, c - 1)], bins=10, range=[(-0.7, 0.3)]),
        dict(components=c - 1, bins=7),
        dict(components=mid, bins=5, weights=0),
        dict(components=(0, mid), bins=(8, 6), range=((-1, 1), (-2, 2))),
        dict(components=(mid, 0), bins=4, weights=c - 1),
        dict(components=(c - 1, 0), bins=(3, 9), range=(None, (-1.25, 0))),
    ]


def _same(got, want, weighted):
    assert got.dtype == want.dtype and got.shape == want.shape
    if weighted:
        np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-9)
    else:
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("name", DUMPS)
def test_histogram_matches_numpy(dumps, name):
    path, n, ps = dumps[name]
    for where in _wheres(n):
        for case in _histogram_cases(n):
            got = particles.histogram(path, n, where=where, **case)
            comps = [case["components"]] if np.ndim(case["components"]) == 0 else list(case["components"])
            range_ = case.get("range")
            if range_ is not None and len(comps) == 1 and np.ndim(range_[0]) == 0:
                range_ = [range_]
            want = reference_histogram(ps, comps, case["bins"], range_, case.get("weights"), where)
            assert len(got) == len(want), (case, where)
            _same(got[0], want[0], case.get("weights") is not None)
            for e_got, e_want in zip(got[1:], want[1:]):
                assert e_got.dtype == e_want.dtype
                np.testing.assert_array_equal(e_got, e_want)


@pytest.mark.parametrize("weights", [None, 4])
def test_large_histogram_by_one_thread(dumps, monkeypatch, weights):
    # Counted in place, in the result.
    monkeypatch.setenv("QUICKIO_READ_THREADS", "1")
    path, n, ps = dumps["threads"]
    got = particles.histogram(path, n, (0, 3), (300, 200), ((-1, 1), (-3, 3)), weights, {1: (-0.5, 0.2)})
    want = reference_histogram(ps, (0, 3), (300, 200), ((-1, 1), (-3, 3)), weights, {1: (-0.5, 0.2)})
    _same(got[0], want[0], weights is not None)


@pytest.mark.parametrize("name", DUMPS)
def test_moments_match_numpy(dumps, name):
    path, n, ps = dumps[name]
    for where in _wheres(n):
        got = particles.moments(path, n, where)
        sel = ps[:, _mask(ps, where)]
        assert got["count"] == sel.shape[1]
        np.testing.assert_array_equal(got["nan"], np.isnan(sel).sum(axis=1))
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")  # all-NaN and empty components
            none = np.full(2 * n + 1, np.nan)
            lo = np.nanmin(sel, axis=1) if sel.size else none.astype(np.float32)
            hi = np.nanmax(sel, axis=1) if sel.size else none.astype(np.float32)
            # Row by row (C order): NumPy sums a row of an F-order array
            # one value after the other, less exactly than pairwise.
            rows = np.ascontiguousarray(sel, dtype=np.float64)
            mean = np.nanmean(rows, axis=1) if sel.size else none
            std = np.nanstd(rows, axis=1) if sel.size else none
        for key, want in [("min", lo), ("max", hi)]:
            assert got[key].dtype == np.float32
            np.testing.assert_array_equal(got[key], want)
        for key, want in [("mean", mean), ("std", std)]:
            assert got[key].dtype == np.float64
            np.testing.assert_allclose(got[key], want, rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("name", DUMPS)
def test_select_matches_numpy(dumps, name):
    path, n, ps = dumps[name]
    for where in _wheres(n) + [{0: (-0.25, 0.25)}]:
        got = particles.select(path, n, where)
        want = ps[:, _mask(ps, where)]
        assert got.dtype == np.float32 and got.shape == want.shape and got.flags.f_contiguous
        np.testing.assert_array_equal(got, want)


def test_paths_and_progress(dumps):
    path, n, ps = dumps["n3-blocks"]
    want = particles.histogram(path, n, 0, bins=8, range=(-1, 1))[0]
    for p in (str(path)[:-4], path, os.fsencode(path)):
        np.testing.assert_array_equal(particles.histogram(p, n, 0, bins=8, range=(-1, 1))[0], want)
    calls = []
    particles.moments(path, n, progress=lambda done, total: calls.append((done, total)))
    size = path.stat().st_size
    assert calls and calls[-1] == (size, size)
    assert all(a[0] <= b[0] for a, b in zip(calls, calls[1:]))


@pytest.mark.parametrize("call, exc, message", [
    (lambda p: particles.histogram(p, 3, 7), ValueError,
     "components: component 7 out of range: a dump with n = 3 has components 0 to 6"),
    (lambda p: particles.histogram(p, 3, (0, 1, 2)), ValueError,
     "components: one or two component indices, got 3"),
    (lambda p: particles.histogram(p, 3, 0, bins=0), ValueError, "bins must be at least 1, got 0"),
    (lambda p: particles.histogram(p, 3, 0, bins=2.5), TypeError,
     "bins must be an int or one int per component, not float"),
    (lambda p: particles.histogram(p, 3, (0, 1), bins=[3]), ValueError,
     "bins: expected one per component (2), got 1"),
    (lambda p: particles.histogram(p, 3, 0, range=(1, 0)), ValueError,
     "range of component 0 must have lo <= hi, got (1, 0)"),
    (lambda p: particles.histogram(p, 3, (0, 1), range=((0, 1), (0, INF))), ValueError,
     "range of component 1 is not finite: (0, inf)"),
    (lambda p: particles.histogram(p, 3, 0, bins=10, range=(1, 1 + 4e-16)), ValueError,
     "Too many bins for data range. Cannot create 10 finite-sized bins."),
    (lambda p: particles.histogram(p, 3, 0, range=(-1e308, 1e308)), ValueError,
     "range of component 0 is too wide: its bin edges are not finite"),
    (lambda p: particles.histogram(p, 3, 0, weights=-1), ValueError,
     "weights: component -1 out of range: a dump with n = 3 has components 0 to 6"),
    (lambda p: particles.moments(p, 3, {7: (0, 1)}), ValueError,
     "where: component 7 out of range: a dump with n = 3 has components 0 to 6"),
    (lambda p: particles.select(p, 3, {0: (1, 0)}), ValueError,
     "where: the window of component 0 must have lo <= hi, got (1.0, 0.0)"),
    (lambda p: particles.select(p, 3, {0: (float("nan"), 0)}), ValueError,
     "where: the window of component 0 must have lo <= hi, got (nan, 0.0)"),
    (lambda p: particles.select(p, 3, [(0, 1)]), TypeError, "where must be a dict {component: (lo, hi)}"),
    (lambda p: particles.moments(p, -1), ValueError, "n_dimensions must be >= 0, got -1"),
    # Components past 32 bits, straight to the native module: ValueError as
    # for any other component out of range, never OverflowError.
    (lambda p: _particles.moments(bytes(p), 3, [(2**31, 0, 1)], None), ValueError,
     "where: component 2147483648 out of range: the dump's particles have components 0 to 6"),
    (lambda p: _particles.moments(bytes(p), 3, [(2**64, 0, 1)], None), ValueError,
     "where: component 18446744073709551616 out of range"),
    (lambda p: _particles.histogram(bytes(p), 3, [(2**40, [0.0, 1.0], None)], None, (), None, None), ValueError,
     "histogram: component 1099511627776 out of range: the dump's particles have components 0 to 6"),
])
def test_arguments(dumps, call, exc, message):
    with pytest.raises(exc) as info:
        call(dumps["n3-blocks"][0])
    assert str(info.value) == message


@pytest.mark.parametrize("call", [
    lambda p: particles.histogram(p, 3, 0, bins=2**63),
    lambda p: particles.histogram(p, 3, (0, 1), bins=10**6),
    # The dump bounds the count far below this; the reduction's own
    # memory bound is for its private callers.
    lambda p: _reductions.moments(p, 2**31 - 1),
], ids=["2**63 bins", "10**12 cells", "2**32-1 components"])
def test_results_beyond_memory_refused_up_front(dumps, call):
    # More than the machine's memory, refused before any allocation.
    with pytest.raises(MemoryError, match=r"would take about [\d,.]+ GiB, more than the [\d,.]+ GiB of memory"):
        call(dumps["n3-blocks"][0])


@pytest.mark.skipif(under_sanitizer(), reason="an address-space limit and the sanitizer's shadow memory collide")
def test_failed_allocations_are_memory_errors(tmp_path):
    # The native module's own vectors of 2^32 - 1 results, past an
    # address-space limit: MemoryError, not the process ended by
    # std::bad_alloc.
    path = tmp_path / "p.bin"
    write_phase_dump(path, np.ones((3, 3), np.float32), 1)
    run_isolated(f"""
import resource
from dorvo.quickio import _particles
resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
try:
    _particles.moments({bytes(path)!r}, 2**31 - 1, (), None)
except MemoryError:
    pass
else:
    raise SystemExit("no MemoryError")
""")


REDUCTIONS = {
    "histogram": lambda p, n: particles.histogram(p, n, (0, 1), bins=3),
    "moments": lambda p, n: particles.moments(p, n),
    "select": lambda p, n: particles.select(p, n, {0: (-INF, INF)}),
}


@pytest.mark.parametrize("reduce", REDUCTIONS.values(), ids=list(REDUCTIONS))
def test_bad_dumps_raise_as_the_loader(tmp_path, reduce):
    cut = tmp_path / "cut.bin"
    cut.write_bytes(phase_dump_bytes(np.ones((5, 7), np.float32), 3, [3, 2])[:-40])
    with pytest.raises(EOFError) as loader:
        beamdump.total_phase_space_read(str(cut)[:-4], {"n_dimensions": 3})
    with pytest.raises(EOFError) as ours:
        reduce(cut, 3)
    assert str(ours.value) == str(loader.value)
    with pytest.raises(FileNotFoundError):
        reduce(tmp_path / "missing", 3)
    (tmp_path / "dir.bin").mkdir()
    with pytest.raises(IsADirectoryError):
        reduce(tmp_path / "dir", 3)


def _sparse_dump(path, n, count):
    """One block of `count` particles of zeros, without writing them."""
    with open(path, "wb") as f:
        f.write(np.int32(count).tobytes())
        f.truncate(4 + count * (8 * n + 8))


def test_ctrl_c_ends_a_pass(tmp_path):
    # 64 GiB of holes: far longer to stream than the half second before the signal.
    path = tmp_path / "huge.bin"
    _sparse_dump(path, 3, (1 << 31) - 1)
    run_isolated(f"""
import os, signal, threading
from dorvo.quickio import particles
tasks = lambda: len(os.listdir("/proc/self/task"))
fds = lambda: len(os.listdir("/proc/self/fd"))
before = tasks(), fds()
for call in (lambda: particles.histogram({str(path)!r}, 3, (0, 1), bins=4),
             lambda: particles.select({str(path)!r}, 3, {{0: (1, 2)}})):
    threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
    try:
        call()
    except KeyboardInterrupt:
        pass
    else:
        raise SystemExit("not interrupted")
    threading.Event().wait(0.1)  # the timer thread ends
    assert (tasks(), fds()) == before, (before, tasks(), fds())
""", timeout=300)


def test_memory_stays_bounded(tmp_path):
    # 512 MiB of particles; the reductions' peak resident set may grow by
    # the readers' buffers and the histograms, not by the dump.
    path = tmp_path / "big.bin"
    _sparse_dump(path, 3, 1 << 24)
    small = tmp_path / "small.bin"
    write_phase_dump(small, np.ones((1000, 7), np.float32), 3)
    run_isolated(f"""
import resource
from dorvo.quickio import particles
def runs(p):
    particles.histogram(p, 3, (0, 3), bins=(200, 200))
    particles.histogram(p, 3, 1, bins=50, range=(-1, 1), weights=2)
    particles.moments(p, 3)
    particles.select(p, 3, {{0: (1, 2)}})
runs({str(small)!r})
peak = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
before = peak()
runs({str(path)!r})
grown = peak() - before
assert grown < 48 << 20, grown
""")
