"""Reductions over a run of dumps: one histogram per dump on the same bins
(and moments per dump), labelled by step, equal to NumPy's per dump, on
local threads, in parts of large dumps, on a LocalCluster of processes, and
`quickio hist --over-time`."""
import json
import os

import numpy as np
import pytest

xr = pytest.importorskip("xarray")

import dorvo.quickio as qio  # noqa: E402
import dorvo.quickio.cli  # noqa: E402,F401  (qio.cli)
from dorvo.quickio import particles  # noqa: E402
from dorvo.quickio._dump import series, streamed  # noqa: E402
from helpers import grid_values, write_field_dump, write_phase_dump  # noqa: E402

N = 1
STEPS = [100, 0, 50, 150, 1000]  # written out of order: the run is in step order


@pytest.fixture
def run(tmp_path):
    """Dumps ps_<step>.bin whose spectra drift with the step, in unequal
    blocks; {step: (3, P) values}."""
    rng, values = np.random.default_rng(3), {}
    for step in STEPS:
        v = rng.normal(step / 200, 1 + step / 1000, size=(300 + step // 10, 2 * N + 1)).astype(np.float32)
        write_phase_dump(tmp_path / f"ps_{step}.bin", v, N, block_counts=[len(v) // 3, 0, len(v) - len(v) // 3])
        values[step] = v.T.copy()
    return tmp_path, values


def _numpy(values, c, bins, lo=None, hi=None, weights=None):
    """NumPy's histogram of each dump, on the range of the whole run unless given."""
    if lo is None:
        every = np.concatenate([v[c] for v in values.values()]).astype(np.float64)
        lo, hi = every.min(), every.max()
    return np.stack([np.histogram(values[s][c].astype(np.float64), bins, (lo, hi),
                                  weights=None if weights is None else values[s][weights].astype(np.float64))[0]
                     for s in sorted(values)])


@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("how", ["glob", "list"])
def test_a_run_histogram_is_numpy_per_dump(run, monkeypatch, threads, how):
    folder, values = run
    monkeypatch.setenv("QUICKIO_READ_THREADS", str(threads))
    monkeypatch.setattr(series, "LOCAL_TASKS", threads)
    target = str(folder / "ps_*.bin") if how == "glob" else [folder / f"ps_{s}.bin" for s in STEPS]
    h = particles.histogram(target, N, "px", bins=12)
    assert h.dims == ("step", "px") and list(h.step.values) == sorted(STEPS)
    assert list(h.file.values) == [f"ps_{s}.bin" for s in sorted(STEPS)]
    assert h.attrs["range"] == "from a first pass over all dumps"
    np.testing.assert_array_equal(h.values, _numpy(values, 1, 12))
    every = np.concatenate([v[1] for v in values.values()]).astype(np.float64)
    edges = np.histogram_bin_edges(every, 12, (every.min(), every.max()))
    np.testing.assert_array_equal(np.append(h.px_lower, h.px_upper[-1]), edges)
    weighted = particles.histogram(target, N, 0, bins=5, range=(-1.0, 2.0), weights="w")
    assert weighted.attrs["range"] == "given" and weighted.name == "sum of w"
    np.testing.assert_allclose(weighted.values, _numpy(values, 0, 5, -1.0, 2.0, weights=2), rtol=1e-12)
    m = particles.moments(target, N)
    for s, count, mean in zip(sorted(STEPS), m["count"].values, m["mean"].values):
        one = particles.moments(folder / f"ps_{s}.bin", N)
        assert count == one["count"] and np.array_equal(mean, one["mean"])  # one pass a dump: bit for bit


@pytest.mark.parametrize("shift", [-4, 0, 4])
def test_parts_of_large_dumps_add_up(run, monkeypatch, shift):
    """Dumps over PART_BYTES go in parts, one task each: a part one stretch
    long, and a word (a count word) either side."""
    folder, values = run
    part = 4 + 16 * 60 + shift  # a count word and 60 entries of n = 1 (16 bytes each)
    monkeypatch.setattr(streamed, "STRETCH_BYTES", part - shift)
    monkeypatch.setattr(series, "PART_BYTES", part)
    calls, real = [], qio.Dump.histogram
    monkeypatch.setattr(qio.Dump, "histogram", lambda self, *a, **k: calls.append(k["part"]) or real(self, *a, **k))
    h = particles.histogram(str(folder / "ps_*.bin"), N, 0, bins=9, range=(-3, 3))
    np.testing.assert_array_equal(h.values, _numpy(values, 0, 9, -3, 3))
    parts = [-(-os.path.getsize(folder / f"ps_{s}.bin") // part) for s in STEPS]
    assert sorted(calls) == sorted((k, n) for n in parts for k in range(n))
    m = particles.moments(str(folder / "ps_*.bin"), N)
    wide = [values[s].astype(np.float64) for s in sorted(STEPS)]
    np.testing.assert_allclose(m["mean"].values, [v.mean(1) for v in wide], rtol=1e-12)
    np.testing.assert_allclose(m["std"].values, [v.std(1) for v in wide], rtol=1e-12)


def test_a_run_on_a_cluster_of_processes(run, monkeypatch):
    distributed = pytest.importorskip("distributed")
    folder, values = run

    def change_then_ask(real=series.active_client):
        (folder / "ps_50.bin").write_bytes((folder / "ps_0.bin").read_bytes())
        return real()

    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        with distributed.get_task_stream(client) as tasks:
            h = particles.histogram(str(folder / "ps_*.bin"), N, "px", bins=12)
        # A dump changed after it was opened, before its task ran: the worker refuses it.
        monkeypatch.setattr(series, "active_client", change_then_ask)
        with pytest.raises(OSError, match="ps_50.bin: the file changed since it was opened"):
            particles.histogram([folder / "ps_0.bin", folder / "ps_50.bin"], N, 0, range=(0, 1))
    np.testing.assert_array_equal(h.values, _numpy(values, 1, 12))
    # One task a dump for the range, one for the histogram, on both workers.
    assert len(tasks.data) == 2 * len(STEPS) and len({t["worker"] for t in tasks.data}) == 2


def test_hist_over_time(run, capsys):
    pytest.importorskip("matplotlib")
    folder, values = run
    paths = [str(folder / f"ps_{s}.bin") for s in STEPS]
    out = folder / "spectrum.pdf"
    main = qio.cli.main
    assert main(["hist", *paths, "--n-dimensions", "1", "--components", "px", "--bins", "8", "--over-time",
                 "-o", str(out), "--json"]) == 0
    got = json.loads(capsys.readouterr().out)
    assert got["steps"] == sorted(STEPS) and got["counts"] == _numpy(values, 1, 8).tolist()
    assert out.read_bytes().startswith(b"%PDF") and b"/Subtype /Image" in out.read_bytes()  # the mesh rasterized
    odd = folder / "odd"
    odd.mkdir()
    write_field_dump(odd / "ex_7.bin", *grid_values(3, 2, 2))
    write_phase_dump(odd / "nan_1.bin", np.array([[np.nan, 1, 1], [np.inf, 1, 1]], np.float32), N)
    # A quoted pattern is globbed; an empty selection is status 1, a range that misses every particle is
    # zero counts (as for one dump); a field dump is named; two components or dumps without it, errors.
    for args, status, message in [
        ([str(folder / "ps_*.bin"), "--components", "0", "--where", "0", "100", "200", "--over-time"], 1,
         "no particle passes the selection in any dump: nothing to count"),
        ([str(odd / "nan_1.bin"), "--components", "0", "--over-time"], 1,
         "nan_1.bin: no particle with a finite x in any dump: nothing to count"),
        ([*paths, "--components", "0", "--range", "100", "200", "--over-time"], 0, ""),
        ([paths[0], str(odd / "ex_7.bin"), "--components", "0", "--over-time"], 2,
         f"{odd / 'ex_7.bin'}: a field dump, not a phase-space dump"),
        ([*paths, "--components", "0", "1", "--over-time"], 2, "--over-time draws one component against the step, not 2"),
        ([*paths, "--components", "0"], 2, "hist takes one dump, not 5; --over-time takes the dumps of a run"),
    ]:
        assert main(["hist", *args, "--n-dimensions", "1", "--json"]) == status
        assert message in capsys.readouterr().err


@pytest.mark.parametrize("how", ["file URL", "quoted pattern", "symlink", "hard link"])
def test_hist_over_time_never_writes_over_a_dump(run, capsys, how):
    """The picture's place names one of the run's dumps, however the run
    names it: refused before anything is read, the dump left as it was."""
    pytest.importorskip("matplotlib")
    folder, _ = run
    dump = folder / "ps_50.pdf"  # a dump of the run, under a picture's suffix
    os.replace(folder / "ps_50.bin", dump)
    before = dump.read_bytes()
    out = dump
    if how == "file URL":
        paths = [dump.as_uri(), str(folder / "ps_0.bin")]
    elif how == "quoted pattern":
        paths = [str(folder / "ps_*")]
    else:
        out = folder / "picture.pdf"
        (os.symlink if how == "symlink" else os.link)(dump, out)
        paths = [str(dump), str(folder / "ps_0.bin")]
    status = qio.cli.main(["hist", *paths, "--n-dimensions", "1", "--components", "0", "--over-time",
                           "-o", str(out)])
    assert status == 2 and "is the dump itself; name another output" in capsys.readouterr().err
    assert dump.read_bytes() == before


def test_a_run_whose_histograms_cannot_fit_is_refused_up_front(run, monkeypatch):
    """One histogram of 10^6 cells fits in the memory allowed, the run's 5
    (and their stack) do not: refused before any pass, not by a failed
    allocation after minutes of work."""
    from dorvo.quickio._dump import reductions

    folder, _ = run
    monkeypatch.setattr(reductions, "_memory_limit", lambda: 160 << 20)
    assert particles.histogram(folder / "ps_0.bin", N, (0, 1), bins=1000)[0].shape == (1000, 1000)
    monkeypatch.setattr(series.Run, "each", None)
    with pytest.raises(MemoryError, match=r"^5 histograms of 1,000,000 bins would take about"):
        particles.histogram(str(folder / "ps_*.bin"), N, (0, 1), bins=1000)


@pytest.mark.filterwarnings("ignore::dorvo.quickio.UnpinnedWarning")
def test_one_file_object_listed_twice_is_read_by_one_task_at_a_time(run, monkeypatch):
    """A run that lists one file object twice (and moments of it) on
    several threads: their seeks and reads do not interleave."""
    import io
    import time

    class Slow(io.BytesIO):
        def read(self, n=-1):
            time.sleep(0.0005)  # let the other tasks run between a seek and its read
            return super().read(n)

    folder, values = run
    monkeypatch.setattr(streamed, "STRETCH_BYTES", 4 + 16 * 7)
    f = Slow((folder / "ps_1000.bin").read_bytes())
    h = particles.histogram([f, f, f], N, 0, bins=9, range=(-3, 3))
    np.testing.assert_array_equal(h.values, np.tile(_numpy({0: values[1000]}, 0, 9, -3, 3), (3, 1)))
    m = particles.moments([f, f], N)
    np.testing.assert_allclose(m["mean"].values, np.tile(values[1000].astype(np.float64).mean(1), (2, 1)),
                               rtol=1e-12)
