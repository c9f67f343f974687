"""The `quickio` command line, run in subprocesses on fixture dumps."""
import importlib.util
import json
import os
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from dorvo.quickio.header import read_field_header
from helpers import DATA_DIR, grid_values, phase_values, write_field_dump, write_phase_dump

HAVE_MATPLOTLIB = importlib.util.find_spec("matplotlib") is not None
needs_matplotlib = pytest.mark.skipif(not HAVE_MATPLOTLIB, reason="matplotlib (the 'plot' extra) not installed")


def quickio(*args, cwd=None, prelude=None):
    """Runs `python -m dorvo.quickio ARGS`; with `prelude`, runs that code
    first and then the command line's main() in the same interpreter."""
    args = [str(a) for a in args]
    if prelude is None:
        cmd = [sys.executable, "-m", "dorvo.quickio", *args]
    else:
        code = f"{prelude}\nimport sys\nfrom dorvo.quickio.cli import main\nsys.exit(main({args!r}))"
        cmd = [sys.executable, "-c", code]
    return subprocess.run(cmd, capture_output=True, text=True, cwd=cwd, timeout=300)


def assert_error(proc, message):
    """Exit status 2 and exactly one line on stderr, no traceback."""
    assert proc.returncode == 2, proc.stderr
    assert proc.stderr.count("\n") == 1 and "Traceback" not in proc.stderr, proc.stderr
    assert proc.stderr.startswith("quickio: error: ")
    assert message in proc.stderr
    assert proc.stdout == ""


def png_size(path):
    data = Path(path).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">2I", data[16:24])


@pytest.fixture
def phase_bin(tmp_path):
    path = tmp_path / "ph.bin"
    write_phase_dump(path, phase_values(5, 3), 3, [3, 0, 2], extra=b"\0\0")
    return path


def test_info_field_summary():
    proc = quickio("info", DATA_DIR / "field_2x2.bin")
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    for expected in [
        "Nparam         20   (ndimension 3)",
        "blocks         2 x 2   (nproc_y x nproc_z)",
        "grid           4 x 8 x 6   (nx x ny x nz)",
        "x axis         0 to 1.5   spacing 0.5   (4 points)",
        "y axis         1 to 8   spacing 1   (8 points)",
        "z axis         -2 to -0.75   spacing 0.25   (6 points)",
        "block table    4 blocks in the file",
        "      1       1       3       2       4       5       4           744",
        "file size      1,164 bytes (expected 1,164)",
        "verdict        well-formed",
    ]:
        assert expected in lines


def test_info_field_json_and_long_table(tmp_path):
    path = tmp_path / "f.bin"
    write_field_dump(path, grid_values(3, 20, 2)[0], nproc_y=20, nproc_z=1,
                     x=np.array([0, 1, 3], np.float32))
    proc = quickio("info", path, "--json")
    assert proc.returncode == 0, proc.stderr
    s = json.loads(proc.stdout)
    h = read_field_header(path)
    assert {k: s[k] for k in ("kind", "nx", "ny", "nz", "nproc_y", "nproc_z", "nparam", "well_formed")} == dict(
        kind="field", nx=3, ny=20, nz=2, nproc_y=20, nproc_z=1, nparam=20, well_formed=True)
    assert s["blocks"] == [dict(layer=b.layer, column=b.column, y0=b.y0, z0=b.z0, nx_loc=b.nx_loc,
                                ny_loc=b.ny_loc, nz_loc=b.nz_loc, offset=b.offset) for b in h.blocks]
    assert s["axes"]["x"] == dict(points=3, min=0.0, max=3.0, spacing=[1.0, 2.0], uniform=False)
    assert s["file_size"] == s["expected_size"] == path.stat().st_size
    # The text form abridges a long table: head and tail rows around a gap line.
    text = quickio("info", path).stdout.splitlines()
    assert "x axis         0 to 3   spacing 1 to 2 (not uniform)   (3 points)" in text
    assert "  ... 10 more blocks ..." in text
    columns = [int(line.split()[1]) for line in text if line.startswith("      0 ")]
    assert columns == [*range(10), 18, 19]


def test_info_phase_space(phase_bin):
    values = phase_values(5, 3)
    proc = quickio("info", phase_bin, "--n-dimensions", 3, "--stats")
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert "dimensions     n = 3   (7 components, 32-byte entries)" in lines
    assert "particles      5" in lines
    assert "blocks         3   (1 empty)" in lines
    assert "file size      174 bytes (172 in blocks, 2 stray bytes ignored)" in lines
    assert "          3             3.5            43.5            23.5" in lines

    s = json.loads(quickio("info", phase_bin, "--n-dimensions", 3, "--json", "--stats").stdout)
    assert (s["kind"], s["n_dimensions"], s["particles"]) == ("phase_space", 3, 5)
    assert s["blocks"] == [dict(offset=0, count=3), dict(offset=100, count=0), dict(offset=104, count=2)]
    stats = np.array([[c["min"], c["max"], c["mean"]] for c in s["statistics"]])
    np.testing.assert_allclose(stats, np.stack([values.min(0), values.max(0), values.mean(0)], axis=1))


def test_field_dump_ignores_n_dimensions():
    s = json.loads(quickio("info", DATA_DIR / "field_1x1.bin", "--n-dimensions", 2, "--json").stdout)
    assert (s["kind"], s["nx"], s["ny"], s["nz"]) == ("field", 5, 3, 2)


def test_info_on_cut_off_dump_reports_and_exits_1(tmp_path):
    path = tmp_path / "cut.bin"
    path.write_bytes((DATA_DIR / "field_2x2.bin").read_bytes()[:400])
    proc = quickio("info", path)
    assert proc.returncode == 1 and proc.stderr == ""
    assert "verdict        NOT well-formed: file ends inside the data of block 1" in proc.stdout
    assert "x axis         not in the file" in proc.stdout


def _broken_files(tmp_path):
    (tmp_path / "short.bin").write_bytes((DATA_DIR / "field_2x2.bin").read_bytes()[:100])
    (tmp_path / "cut.bin").write_bytes((DATA_DIR / "field_2x2.bin").read_bytes()[:400])
    (tmp_path / "notes.txt").write_text("not a dump\n")
    shutil.copy(DATA_DIR / "field_1x1.bin", tmp_path)
    shutil.copy(DATA_DIR / "phase_n3.bin", tmp_path / "ph.dat")
    shutil.copy(DATA_DIR / "phase_n3.bin", tmp_path / "ph.bin")
    (tmp_path / "cutph.bin").write_bytes((DATA_DIR / "phase_n3.bin").read_bytes()[:-8])


@pytest.mark.parametrize("args, message", [
    (["info", "missing.bin"], "missing.bin: no such file"),
    (["info", "notes.txt"], "notes.txt: not a field dump; to read it as a phase-space dump, "
                            "give its dimension count with --n-dimensions N"),
    (["info", "short.bin"], "short.bin: malformed dump: Nparam is 20, so the header needs 188 bytes, "
                            "but the file has 100"),
    (["info", "."], ".: is a directory, not a dump"),
    (["info", "notes.txt", "--n-dimensions", "-1"], "--n-dimensions must be 0 or more, not -1"),
    (["info", "notes.txt", "--n-dimensions", "two"], "argument --n-dimensions: invalid int value: 'two'"),
    (["plot", "cut.bin", "-o", "x.png"], "cut.bin: cannot load a dump that is not well-formed: file ends inside"),
    (["plot", "ph.dat", "--n-dimensions", "3", "-o", "x.png"], "ph.dat: the loaders read only files whose names end in .bin"),
    (["plot", "ph.bin", "--n-dimensions", "3", "--components", "0", "7", "-o", "x.png"],
     "component 7 out of range: a dump with n = 3 has components 0 to 6"),
    (["plot", "cutph.bin", "--n-dimensions", "3", "-o", "x.png"],
     "cutph.bin: cannot load a dump that is not well-formed: last block (block 2 at byte 104) claims 2 particles"),
    (["plot", "field_1x1.bin", "--components", "0", "1", "-o", "x.png"],
     "--components applies to phase-space dumps only"),
    (["plot", "notes.txt", "-o", "x.svg"], "x.svg: the picture is written as PNG; name it *.png"),
    (["info"], "the following arguments are required: PATH"),
    (["frobnicate"], "invalid choice: 'frobnicate'"),
])
def test_errors(tmp_path, args, message):
    _broken_files(tmp_path)
    assert_error(quickio(*args, cwd=tmp_path), message)




def assert_png_size(path, size):
    # Tight layout may round one pixel differently between matplotlib releases.
    width, height = png_size(path)
    assert abs(width - size[0]) <= 2 and abs(height - size[1]) <= 2, (width, height)


def test_plot_without_matplotlib_says_how_to_install(phase_bin):
    proc = quickio("plot", phase_bin, "--n-dimensions", 3, "-o", phase_bin.with_suffix(".png"),
                   prelude="import sys; sys.modules['matplotlib'] = None")
    assert_error(proc, """plotting needs matplotlib; install it with: pip install "dorvo.quickio[plot]\"""")
    assert not phase_bin.with_suffix(".png").exists()


@needs_matplotlib
@pytest.mark.parametrize("source, args, size", [
    ("field", [], (1500, 460)),
    ("phase", ["--n-dimensions", "3"], (750, 700)),
    ("phase", ["--n-dimensions", "3", "--components", "6", "2"], (750, 700)),
])
def test_plot_writes_png(tmp_path, phase_bin, source, args, size):
    path = DATA_DIR / "field_2x2.bin" if source == "field" else phase_bin
    out = tmp_path / "out.png"
    proc = quickio("plot", path, "-o", out, *args)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == f"wrote {out}\n"
    assert_png_size(out, size)


def test_demo(tmp_path):
    proc = quickio("demo", "--out", tmp_path / "pics", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert "grid           48 x 32 x 24   (nx x ny x nz)" in out
    assert "blocks         3 x 2   (nproc_y x nproc_z)" in out
    assert "particles      3,000" in out
    assert "field (48, 32, 24) float32" in out and "particles (7, 3000) float32" in out
    assert out.count("verdict        well-formed") == 2
    if HAVE_MATPLOTLIB:
        assert_png_size(tmp_path / "pics" / "field.png", (1500, 460))
        assert_png_size(tmp_path / "pics" / "phase_space.png", (750, 700))
    else:
        assert "plots skipped: plotting needs matplotlib" in proc.stderr


def test_console_script():
    script = shutil.which("quickio", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("package not installed with its console script")
    proc = subprocess.run([script, "info", DATA_DIR / "field_1x1.bin", "--json"], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout)["nx"] == 5
