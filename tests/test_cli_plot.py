"""Pictures for a talk: `quickio plot` and `hist` options, rendered to each
format, and what hist says of the particles it cannot count."""
import json
import shutil
import subprocess
from types import SimpleNamespace

import numpy as np
import pytest

from dorvo.quickio import particles
from dorvo.quickio.cli.plot import planes
from dorvo.quickio.components import default_labels, parse_labels
from helpers import DATA_DIR, phase_values, write_field_dump, write_phase_dump
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


def seam_pixels(png):
    """Pixels inside the mesh lighter than both neighbours along x or y:
    the hairlines of background that a viewer draws between vector cells
    (a smooth field has none)."""
    from matplotlib.image import imread

    page = imread(png)[..., :3].sum(axis=-1)
    rows, cols = page.shape
    inner = page[int(0.3 * rows):int(0.8 * rows), int(0.25 * cols):int(0.7 * cols)]  # well inside the one panel
    along_x = inner[:, 1:-1] - np.maximum(inner[:, :-2], inner[:, 2:])
    along_y = inner[1:-1] - np.maximum(inner[:-2], inner[2:])
    return int((along_x > 0.05).sum() + (along_y > 0.05).sum())


@needs_matplotlib
def test_slice_for_a_talk_is_small_seamless_and_named(tmp_path):
    """A 256 x 128 slice: the mesh an image inside the PDF and SVG, the PDF
    under 100 KB with no seams at 300 dpi, the colour bar named after the
    field."""
    x, y = np.linspace(0, 50.5, 256, dtype=np.float32), np.linspace(-10, 10, 128, dtype=np.float32)
    field = (np.sin(x)[:, None, None] * np.cos(y / 3)[None, :, None] * np.ones(3)).astype(np.float32)
    write_field_dump(tmp_path / "Ex_100.bin", field, x, y, np.arange(3, dtype=np.float32), nproc_y=2)
    for suffix in ("pdf", "svg"):
        proc = quickio("plot", tmp_path / "Ex_100.bin", "--index", "k=1", "-o", tmp_path / f"s.{suffix}")
        assert proc.returncode == 0, proc.stderr
    pdf, svg = (tmp_path / "s.pdf").read_bytes(), (tmp_path / "s.svg").read_text()
    assert len(pdf) < 100_000 and b"/Subtype /Image" in pdf
    assert "<image " in svg and "<!-- Ex_100 -->" in svg and "<!-- field -->" not in svg
    if shutil.which("pdftoppm") is None:
        pytest.skip("pdftoppm (poppler-utils) is not installed: the seams were not looked for")
    subprocess.run(["pdftoppm", "-r", "300", "-png", "-singlefile", tmp_path / "s.pdf", tmp_path / "s"], check=True)
    assert seam_pixels(tmp_path / "s.png") == 0


def test_slices_are_chosen_by_value_or_index():
    x, z = np.array([0.0, 1.0, 2.0, np.nan]), np.linspace(-2, 2, 6)
    header = SimpleNamespace(nx=4, ny=3, nz=6, x=x, y=np.arange(3.0), z=z)
    assert planes(header, None, None) is None
    assert planes(header, ["x=1.4", "z=2"], ["j=2"]) == [("x", 1), ("z", 5), ("y", 2)]
    for at, index, message in ((["x:1"], None, "AXIS=VALUE"), (["w=1"], None, "AXIS=VALUE"),
                               (None, ["k=6"], "points 0 to 5"), (None, ["k=1.5"], "not a whole number"),
                               (["z=100"], None, "^--at z=100: outside the grid, whose z axis runs from -2 to 2$"),
                               (["x=-0.01"], None, "whose x axis runs from 0 to 2$")):
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
