"""`quickio hist` and `quickio info --stats`: streamed results of
dorvo.quickio.particles on the command line."""
import json

import numpy as np
import pytest

from dorvo.quickio import particles
from dorvo.quickio.cli import main
from helpers import DATA_DIR, RangeServer, phase_values, write_phase_dump
from test_cli import assert_error, assert_png_size, needs_matplotlib, quickio


@pytest.fixture
def phase_bin(tmp_path):
    path = tmp_path / "ph.bin"
    values = phase_values(40, 3)
    values[3, 2] = np.nan
    write_phase_dump(path, values, 3, [25, 0, 15])
    return path


@needs_matplotlib
@pytest.mark.parametrize("args", [
    ["--components", "0"],
    ["--components", "0", "3", "--bins", "8", "5", "--log", "--where", "6", "0", "inf"],
])
def test_hist_writes_png(tmp_path, phase_bin, args):
    out = tmp_path / "h.png"
    proc = quickio("hist", phase_bin, "--n-dimensions", 3, *args, "-o", out)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == f"wrote {out}\n"
    assert_png_size(out, (750, 600))


def test_hist_json_is_the_histogram(phase_bin):
    proc = quickio("hist", phase_bin, "--n-dimensions", 3, "--components", "1", "4", "--bins", "3", "4",
                   "--range", "0", "400", "0", "300", "--where", "2", "-1000", "200", "--json")
    assert proc.returncode == 0, proc.stderr
    s = json.loads(proc.stdout)
    H, xe, ye = particles.histogram(phase_bin, 3, (1, 4), bins=(3, 4), range=((0, 400), (0, 300)),
                                    where={2: (-1000, 200)})
    assert s["counts"] == H.tolist() and s["edges"] == [xe.tolist(), ye.tolist()]
    assert s["where"] == {"2": [-1000, 200.0]}


def test_info_stats_streams_the_moments(phase_bin):
    without = json.loads(quickio("info", phase_bin, "--n-dimensions", 3, "--json").stdout)
    assert without["statistics"] is None
    s = json.loads(quickio("info", phase_bin, "--n-dimensions", 3, "--json", "--stats").stdout)
    m = particles.moments(phase_bin, 3)
    assert [c["nan"] for c in s["statistics"]] == m["nan"].tolist()
    for key in ("min", "max", "mean", "std"):
        assert [c[key] for c in s["statistics"]] == pytest.approx(m[key].tolist(), rel=1e-12)


@pytest.mark.parametrize("args, message", [
    (["--components", "7", "--json"], "component 7 out of range: a dump with n = 3 has components 0 to 6"),
    (["--components", "0", "--where", "9", "0", "1", "--json"], "component 9 out of range"),
    (["--components", "0", "1", "2", "--json"], "--components takes one or two components, not 3"),
    (["--components", "0", "--range", "1", "--json"], "--range takes LO HI for each component (2 numbers), not 1"),
    (["--components", "0", "--range", "1", "0", "--json"], "a range must have LO <= HI, not 1 0"),
    (["--components", "0", "--bins", "0", "--json"], "--bins must be at least 1, not 0"),
    (["--components", "0", "1", "--bins", "10000000", "--json"], "not enough memory to compute the histogram of the "
     "dump: a histogram of 100,000,000,000,000 bins would take about"),
    (["--components", "0"], "say where the histogram goes: -o OUT.png, --json, or both"),
    (["--components", "0", "-o", "h.svgx"], "h.svgx: name the picture with the suffix of its format: "),
])
def test_hist_errors(tmp_path, phase_bin, args, message):
    assert_error(quickio("hist", phase_bin, "--n-dimensions", 3, *args, cwd=tmp_path), message)


def test_hist_refuses_a_field_dump():
    path = DATA_DIR / "field_2x2.bin"
    assert_error(quickio("hist", path, "--n-dimensions", 3, "--components", "0", "--json"),
                 f"{path}: a field dump, not a phase-space dump; --n-dimensions applies to phase-space dumps only")


def _main(capsys, *args):
    status = main([str(a) for a in args])
    out, err = capsys.readouterr()
    assert status == 0, err
    return json.loads(out)


@pytest.mark.parametrize("args, kwargs", [
    (["--components", "0", "--range", "-1e-3", "1e3"], dict(components=0, range=(-1e-3, 1e3))),
    (["--components", "1", "4", "--where", "0", "-inf", "35"], dict(components=(1, 4), where={0: (-np.inf, 35)})),
    (["--components", "2", "--range", "-.5", "1E+2", "--where", "5", "-1.5e1", "Infinity"],
     dict(components=2, range=(-0.5, 100), where={5: (-15, np.inf)})),
])
def test_hist_takes_numbers_in_any_notation(phase_bin, capsys, args, kwargs):
    s = _main(capsys, "hist", phase_bin, "--n-dimensions", 3, "--bins", 7, *args, "--json")
    want = particles.histogram(phase_bin, 3, bins=7, **kwargs)
    assert s["counts"] == want[0].tolist() and s["edges"] == [e.tolist() for e in want[1:]]


def test_hist_and_stats_of_a_url_are_those_of_the_file(phase_bin, capsys, monkeypatch):
    pytest.importorskip("fsspec")
    pytest.importorskip("aiohttp")
    from dorvo.quickio._dump.dump import Dump

    def not_loaded(self):
        raise AssertionError(f"{self.name} loaded whole: it is streamed")

    monkeypatch.setattr(Dump, "load", not_loaded)
    with RangeServer(phase_bin.parent) as server:
        url = server.url(phase_bin.name)
        for args in (["--components", "2"], ["--components", "3", "--range", "-1e3", "1e3"],
                     ["--components", "0", "2", "--bins", "5", "4", "--where", "6", "-inf", "200"]):
            remote, local = (_main(capsys, "hist", p, "--n-dimensions", 3, *args, "--json") for p in (url, phase_bin))
            assert remote.pop("path") == url and local.pop("path") == str(phase_bin)
            assert remote == local
        remote, local = (_main(capsys, "info", p, "--n-dimensions", 3, "--stats", "--json")["statistics"]
                         for p in (url, phase_bin))
    assert [c["nan"] for c in remote] == [c["nan"] for c in local] == [0, 0, 1, 0, 0, 0, 0]
    for key in ("min", "max", "mean", "std"):
        assert [c[key] for c in remote] == pytest.approx([c[key] for c in local], rel=1e-12)
