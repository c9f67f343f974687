"""`quickio hist` and `quickio info --stats`: streamed results of
dorvo.quickio.particles on the command line."""
import json

import numpy as np
import pytest

from dorvo.quickio import particles
from helpers import DATA_DIR, phase_values, write_phase_dump
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
    (["--components", "0"], "say where the histogram goes: -o OUT.png, --json, or both"),
    (["--components", "0", "-o", "h.svg"], "h.svg: the picture is written as PNG; name it *.png"),
])
def test_hist_errors(tmp_path, phase_bin, args, message):
    assert_error(quickio("hist", phase_bin, "--n-dimensions", 3, *args, cwd=tmp_path), message)


def test_hist_refuses_a_field_dump():
    path = DATA_DIR / "field_2x2.bin"
    assert_error(quickio("hist", path, "--n-dimensions", 3, "--components", "0", "--json"),
                 f"{path}: a field dump; hist reads phase-space dumps")
