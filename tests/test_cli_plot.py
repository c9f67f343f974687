"""Pictures for a talk: `quickio plot` and `hist` options, rendered to each
format, and what hist says of the particles it cannot count."""
import json
from types import SimpleNamespace

import numpy as np
import pytest

from dorvo.quickio import particles
from dorvo.quickio.cli.plot import planes
from dorvo.quickio.components import default_labels, parse_labels
from helpers import DATA_DIR, phase_values, write_phase_dump
from test_cli import needs_matplotlib, quickio

MAGIC = {"png": b"\x89PNG", "pdf": b"%PDF", "svg": b"<?xml"}
# Streamed plots must not load the dump: the loader is taken away.
NO_LOADER = "import dorvo.quickio.beamdump as b; b.total_phase_space_read = None"


@pytest.fixture
def phase_bin(tmp_path):
    path = tmp_path / "ph.bin"
    values = phase_values(40, 3)
    values[3, 2] = np.nan
    values[4, 2] = np.inf
    write_phase_dump(path, values, 3, [25, 0, 15])
    return path


SLICES = ["--at", "x=1.1", "--index", "k=5", "--at", "z=-1.9"]


@needs_matplotlib
@pytest.mark.parametrize("source, args, suffix", [
    ("field", [], "png"),
    ("field", SLICES, "pdf"),
    ("field", SLICES, "svg"),
    ("phase", ["--n-dimensions", "3"], "svg"),
    ("phase", ["--n-dimensions", "3", "--components", "2", "--bins", "7", "--log", "--weights", "6"], "png"),
    ("phase", ["--n-dimensions", "3", "--components", "0", "3", "--bins", "8", "5", "--range", "0", "400", "0", "400",
               "--where", "6", "0", "inf", "--labels", "a,b,c,d,e,f,g", "--log"], "pdf"),
])
def test_plot_renders_every_format(tmp_path, phase_bin, source, args, suffix):
    path = DATA_DIR / "field_2x2.bin" if source == "field" else phase_bin
    out = tmp_path / f"out.{suffix}"
    proc = quickio("plot", path, "-o", out, *args, prelude=NO_LOADER)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == f"wrote {out}\n"
    assert out.read_bytes().startswith(MAGIC[suffix])


def test_slices_are_chosen_by_value_or_index():
    x, z = np.array([0.0, 1.0, 2.0, np.nan]), np.linspace(-2, 2, 6)
    header = SimpleNamespace(nx=4, ny=3, nz=6, x=x, y=np.arange(3.0), z=z)
    assert planes(header, None, None) is None
    assert planes(header, ["x=1.4", "z=100"], ["j=2"]) == [("x", 1), ("z", 5), ("y", 2)]
    for at, index, message in ((["x:1"], None, "AXIS=VALUE"), (["w=1"], None, "AXIS=VALUE"),
                               (None, ["k=6"], "points 0 to 5"), (None, ["k=1.5"], "not a whole number")):
        with pytest.raises(Exception, match=message):
            planes(header, at, index)


def test_labels():
    assert default_labels(1) == ["x", "px", "w"]
    assert default_labels(2) == ["x", "y", "px", "py", "w"]
    assert default_labels(3) == ["x", "y", "z", "px", "py", "pz", "w"]
    assert default_labels(4)[0] == "q1" and default_labels(4)[-1] == "w" and len(default_labels(4)) == 9
    assert parse_labels("u, v ,w", 1) == ["u", "v", "w"]
    for text in ("a,b", "a,,b", "a,a,b"):
        with pytest.raises(ValueError):
            parse_labels(text, 1)


def test_hist_weights_notes_and_empty_selection(tmp_path, phase_bin):
    def hist(*args):
        return quickio("hist", phase_bin, "--n-dimensions", 3, "--json", *args, prelude=NO_LOADER)

    proc = hist("--components", "0", "--bins", "4", "--weights", "6")
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    got = json.loads(proc.stdout)
    want, edges = particles.histogram(phase_bin, 3, 0, bins=4, weights=6)
    np.testing.assert_allclose(got["counts"], want, rtol=1e-12)
    assert got["weights"] == 6 and got["labels"] == ["x"]

    # Particle 3 has NaN in component 2, particle 4 +Inf: both left out, and said so.
    proc = hist("--components", "2", "5")
    assert proc.returncode == 0
    assert proc.stderr == "quickio: note: left out: 2 particles with NaN or Inf in z or pz\n"
    assert sum(map(sum, json.loads(proc.stdout)["counts"])) == 38
    proc = hist("--components", "2", "--where", "0", "45", "inf")
    assert proc.returncode == 0 and proc.stderr == ""   # the selection already drops them

    out = tmp_path / "h.png"
    for args, message in ((["--where", "0", "1e9", "inf"], "no particle passes the selection"),
                          (["--where", "0", "30.5", "30.5"], "all 1 selected particles have NaN or Inf in z")):
        proc = quickio("hist", phase_bin, "--n-dimensions", 3, "--components", "2", "-o", out, *args)
        assert proc.returncode == 1 and proc.stdout == ""
        assert proc.stderr == f"quickio: {phase_bin}: {message}: nothing to count\n"
        assert not out.exists()


def test_info_names_the_components(phase_bin):
    proc = quickio("info", phase_bin, "--n-dimensions", 3, "--labels", "a,b,c,d,e,f,g")
    assert "components     a, b, c, d, e, f, g" in proc.stdout
    assert json.loads(quickio("info", phase_bin, "--n-dimensions", 3, "--json").stdout)["labels"] == default_labels(3)


def test_demo_writes_dumps_of_the_size_asked(tmp_path):
    proc = quickio("demo", "--size", "12", "--out", tmp_path / "d")
    assert proc.returncode == 0, proc.stderr
    from dorvo.quickio import load

    f, x, y, z = load(tmp_path / "d" / "field.bin")
    assert f.shape == (12, 12, 12) and np.isfinite(f).all() and f.any()
    assert load(tmp_path / "d" / "phase_space.bin", n_dimensions=3).shape == (7, 12**3 // 8)
    assert sorted(p.name for p in (tmp_path / "d").iterdir()) == ["field.bin", "phase_space.bin"]
