"""The `quickio` command line, run in subprocesses on fixture dumps."""
import argparse
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
from helpers import DATA_DIR, grid_values, phase_values, under_sanitizer, write_field_dump, write_phase_dump

HAVE_MATPLOTLIB = importlib.util.find_spec("matplotlib") is not None
needs_matplotlib = pytest.mark.skipif(not HAVE_MATPLOTLIB, reason="matplotlib (the 'plot' extra) not installed")


def quickio(*args, cwd=None, prelude=None):
    """Runs `python -m dorvo.quickio ARGS`; with `prelude`, runs that code
    first and then the command line's main() in the same interpreter.
    Under tools/mutate (QUICKIO_TEST_CLI_IN_PROCESS set), main() runs in
    the test's own interpreter, so that the mutant under test is the code
    the command runs and the test counts for the functions it calls."""
    args = [str(a) for a in args]
    if prelude is None and os.environ.get("QUICKIO_TEST_CLI_IN_PROCESS"):
        return in_process(args, cwd)
    if prelude is None:
        cmd = [sys.executable, "-m", "dorvo.quickio", *args]
    else:
        code = f"{prelude}\nimport sys\nfrom dorvo.quickio.cli import main\nsys.exit(main({args!r}))"
        cmd = [sys.executable, "-c", code]
    return subprocess.run(cmd, capture_output=True, text=True, cwd=cwd, timeout=300)


def in_process(args, cwd):
    import contextlib
    import io

    from dorvo.quickio.cli import main

    out, err, here = io.StringIO(), io.StringIO(), os.getcwd()
    try:
        if cwd is not None:
            os.chdir(cwd)
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            try:
                status = main(args)
            except SystemExit as e:
                status = e.code if isinstance(e.code, int) else int(e.code is not None)
    finally:
        os.chdir(here)
    return subprocess.CompletedProcess(args, status, out.getvalue(), err.getvalue())


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


def _row(index, block):
    return {"index": index, **block._asdict()}


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
    # JSON, like text, lists the head and tail of a long table; --blocks lists every block.
    shown = [*range(10), 18, 19]
    assert s["blocks"] == dict(count=20, expected=20, omitted=8, rows=[_row(i, h.blocks[i]) for i in shown])
    every = json.loads(quickio("info", path, "--json", "--blocks").stdout)["blocks"]
    assert every == dict(count=20, expected=20, omitted=0, rows=[_row(i, b) for i, b in enumerate(h.blocks)])
    assert s["axes"]["x"] == dict(points=3, min=0.0, max=3.0, spacing=[1.0, 2.0], uniform=False,
                                  nan=0, posinf=0, neginf=0)
    assert s["file_size"] == s["expected_size"] == path.stat().st_size
    # The text form abridges a long table: head and tail rows around a gap line.
    text = quickio("info", path).stdout.splitlines()
    assert "x axis         0 to 3   spacing 1 to 2 (not uniform)   (3 points)" in text
    assert "  ... 8 more blocks ..." in text
    columns = [int(line.split()[1]) for line in text if line.startswith("      0 ")]
    assert columns == shown
    text = quickio("info", path, "--blocks").stdout.splitlines()
    assert [int(line.split()[1]) for line in text if line.startswith("      0 ")] == list(range(20))
    assert not any("more blocks" in line for line in text)


def test_info_phase_space(phase_bin):
    # info reads block counts only: the phase-space loader is never imported.
    proc = quickio("info", phase_bin, "--n-dimensions", 3,
                   prelude="import sys; sys.modules['dorvo.quickio.beamdump'] = None")
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert "dimensions     n = 3   (7 components, 32-byte entries)" in lines
    assert "particles      5" in lines
    assert "blocks         3   (1 empty)" in lines
    assert "          1             100           0" in lines
    assert "file size      174 bytes (172 in blocks, 2 stray bytes ignored)" in lines

    s = json.loads(quickio("info", phase_bin, "--n-dimensions", 3, "--json").stdout)
    assert (s["kind"], s["n_dimensions"], s["particles"], s["hint"]) == ("phase_space", 3, 5, None)
    assert s["blocks"] == dict(count=3, empty=1, largest=3, omitted=0, rows=[
        dict(index=0, offset=0, count=3, entries=4), dict(index=1, offset=100, count=0, entries=104),
        dict(index=2, offset=104, count=2, entries=108)])


def test_info_phase_space_wrong_n_names_the_right_one(phase_bin, tmp_path):
    proc = quickio("info", phase_bin, "--n-dimensions", 2)
    assert proc.returncode == 1, proc.stderr
    hint = ("read with --n-dimensions 3 the file is whole (the file does not record its dimension count; "
            "this walk used 2)")
    assert f"hint           {hint}" in proc.stdout.splitlines()
    assert json.loads(quickio("info", phase_bin, "--n-dimensions", 2, "--json").stdout)["hint"] == hint
    # Cut short, the dump is whole with no count: no hint.
    (tmp_path / "cut.bin").write_bytes(phase_bin.read_bytes()[:-12])
    proc = quickio("info", tmp_path / "cut.bin", "--n-dimensions", 3, "--json")
    assert proc.returncode == 1 and json.loads(proc.stdout)["hint"] is None


def test_info_shows_nan_and_inf(tmp_path):
    path = tmp_path / "f.bin"
    reals = 0.5 * np.arange(20)
    reals[[3, 7]], reals[12], reals[13] = np.nan, np.inf, -np.inf
    write_field_dump(path, grid_values(4, 3, 2)[0], x=np.array([0, np.nan, 1, np.inf], np.float32),
                     z=np.array([np.nan, np.nan], np.float32), real_params=reals)
    lines = quickio("info", path).stdout.splitlines()
    assert "x axis         0 to 1   (4 points, 1 NaN, 1 +Inf)" in lines
    assert "z axis         no finite values   (2 points: 2 NaN)" in lines
    assert "real params    20 values; 2 NaN (at 3, 7); 1 +Inf (at 12); 1 -Inf (at 13)" in lines
    s = json.loads(quickio("info", path, "--json").stdout)
    assert s["axes"]["x"] == dict(points=4, min=0.0, max=1.0, spacing=None, uniform=None, nan=1, posinf=1, neginf=0)
    assert s["real_params_nonfinite"] == dict(nan=2, posinf=1, neginf=1)
    assert [s["real_params"][k] for k in (2, 3, 12, 13)] == [1.0, "NaN", "Infinity", "-Infinity"]
    np.testing.assert_array_equal([float(v) for v in s["real_params"]], reals.astype(np.float32))
    # Named as the xarray engine and the views name them.
    assert s["integer_params"] == list(read_field_header(path).int_params) and "int_params" not in s


@pytest.mark.parametrize("command", [["info"], ["plot", "-o", "x.png"], ["convert", "x.nc"]])
def test_field_dump_refuses_n_dimensions(tmp_path, command):
    """As load() and open() do: the count says the user took the file for a
    phase-space dump."""
    path = DATA_DIR / "field_1x1.bin"
    proc = quickio(command[0], path, *command[1:], "--n-dimensions", 2, cwd=tmp_path)
    assert_error(proc, f"{path}: a field dump, not a phase-space dump; --n-dimensions applies to phase-space "
                       f"dumps only")
    assert list(tmp_path.iterdir()) == []


def test_info_on_cut_off_dump_reports_and_exits_1(tmp_path):
    path = tmp_path / "cut.bin"
    path.write_bytes((DATA_DIR / "field_2x2.bin").read_bytes()[:400])
    proc = quickio("info", path)
    assert proc.returncode == 1 and proc.stderr == ""
    assert "verdict        NOT well-formed: file ends inside the data of block (layer 0, column 1)" in proc.stdout
    assert "x axis         not in the file" in proc.stdout


def _broken_files(tmp_path):
    (tmp_path / "loop.bin").symlink_to("loop2.bin")
    (tmp_path / "loop2.bin").symlink_to("loop.bin")
    (tmp_path / "dangling.bin").symlink_to("gone.bin")
    (tmp_path / "sub.png").mkdir()
    (tmp_path / "short.bin").write_bytes((DATA_DIR / "field_2x2.bin").read_bytes()[:100])
    (tmp_path / "cut.bin").write_bytes((DATA_DIR / "field_2x2.bin").read_bytes()[:400])
    (tmp_path / "notes.txt").write_text("not a dump\n")
    shutil.copy(DATA_DIR / "field_1x1.bin", tmp_path)
    shutil.copy(DATA_DIR / "phase_n3.bin", tmp_path / "ph.dat")
    shutil.copy(DATA_DIR / "phase_n3.bin", tmp_path / "ph.bin")
    (tmp_path / "cutph.bin").write_bytes((DATA_DIR / "phase_n3.bin").read_bytes()[:-8])


@pytest.mark.parametrize("args, message", [
    (["info", "missing.bin"], "missing.bin: no such file"),
    (["info", "notes.txt"], "notes.txt: neither a field dump (file ends inside the integer parameters: "),
    (["info", "short.bin"], "short.bin: malformed dump: file ends inside the real parameters: 80 bytes needed "
                            "at offset 104, 0 left"),
    (["info", "."], ".: is a directory, not a dump"),
    (["info", "notes.txt", "--n-dimensions", "-1"], "--n-dimensions must be >= 0, got -1"),
    (["info", "notes.txt", "--n-dimensions", "two"], "argument --n-dimensions: invalid int value: 'two'"),
    (["plot", "cut.bin", "-o", "x.png"], "cut.bin: cannot load a dump that is not well-formed: file ends inside"),
    (["plot", "ph.bin", "--n-dimensions", "3", "--components", "0", "7", "-o", "x.png"],
     "component 7 out of range: a dump with n = 3 has components 0 to 6"),
    (["plot", "cutph.bin", "--n-dimensions", "3", "-o", "x.png"],
     "cutph.bin: cannot load a dump that is not well-formed: block at offset 104 announces 2 particles"),
    # Cut short, with the count it was written with: no hint about the count.
    (["plot", "cutph.bin", "--n-dimensions", "3", "-o", "x.png"], "but only 56 bytes remain\n"),
    (["info", "loop.bin"], "loop.bin: symbolic link loop (too many levels of symbolic links)"),
    (["info", "dangling.bin"], "dangling.bin: broken symbolic link (its target does not exist)"),
    # The output folder is checked before the dump is even looked at.
    (["plot", "missing.bin", "-o", "no/such/x.png"], "no/such/x.png: the folder no/such does not exist"),
    (["plot", "field_1x1.bin", "-o", "sub.png"], "sub.png: is a directory; name the picture file inside it"),
    (["plot", "field_1x1.bin", "--components", "0", "1", "-o", "x.png"],
     "--components applies to phase-space dumps only"),
    (["plot", "notes.txt", "-o", "x.txt"], "x.txt: name the picture with the suffix of its format: "),
    (["info"], "the following arguments are required: PATH"),
    (["frobnicate"], "invalid choice: 'frobnicate'"),
])
def test_errors(tmp_path, args, message):
    _broken_files(tmp_path)
    assert_error(quickio(*args, cwd=tmp_path), message)


@pytest.mark.parametrize("module, name, command", [
    ("dorvo.quickio.cli._dump", "Dump", ["info", "field_1x1.bin"]),
    ("dorvo.quickio.meshdump", "read_Vintar_bin", ["plot", "field_1x1.bin", "-o", "x.png"]),
])
def test_permission_denied(tmp_path, module, name, command):
    # Run as root, the suite cannot take a file's read permission away:
    # the call that opens the dump raises as open() would there.
    _broken_files(tmp_path)
    prelude = (f"import importlib\n"
               f"def denied(path, *args, **kwargs): raise PermissionError(13, 'Permission denied', 'field_1x1.bin')\n"
               f"setattr(importlib.import_module({module!r}), {name!r}, denied)")
    assert_error(quickio(*command, cwd=tmp_path, prelude=prelude), "field_1x1.bin: permission denied")


def test_unrelated_failures_keep_their_traceback():
    # A fault of the command line itself is not passed off as a bad dump.
    prelude = ("import dorvo.quickio.cli._summary as summary\n"
               "def broken(*args): raise ValueError('a fault of ours')\n"
               "summary.field_summary = broken")
    proc = quickio("info", DATA_DIR / "field_1x1.bin", prelude=prelude)
    assert proc.returncode == 1 and "ValueError: a fault of ours" in proc.stderr
    assert "Traceback" in proc.stderr and "malformed" not in proc.stderr


@pytest.fixture
def in_dumps(tmp_path, monkeypatch):
    """A working directory of dumps for main() run in-process: ph.bin, a
    phase-space dump (n = 3); ph, another one, beside it; run.zarr/f.bin,
    a field dump in a folder named like a Zarr store."""
    write_phase_dump(tmp_path / "ph.bin", phase_values(5, 3), 3, [3, 2])
    write_phase_dump(tmp_path / "ph", phase_values(7, 3) * 2, 3, [7])
    (tmp_path / "run.zarr").mkdir()
    shutil.copy(DATA_DIR / "field_1x1.bin", tmp_path / "run.zarr" / "f.bin")
    monkeypatch.chdir(tmp_path)
    return tmp_path


def run_main(capsys, *args):
    from dorvo.quickio.cli import main

    status = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return status, out, err


def hist(path, *args):
    return ["hist", path, "--n-dimensions", "3", "--components", "0", *args]


@pytest.mark.parametrize("args, message", [
    (hist("missing.bin", "--json"), "missing.bin: no such file"),
    (hist("ph.bin", "--n-dimensions", "2", "--json"),
     "ph.bin: cannot load a dump that is not well-formed: block at offset 76 announces 1102315520 particles of "
     "24 bytes each but only 88 bytes remain; read with --n-dimensions 3 the file is whole (the file does not "
     "record its dimension count; this walk used 2)"),
    (hist("ph.bin", "-o", "no/such/h.png"), "no/such/h.png: the folder no/such does not exist"),
    (["convert", "run.zarr/f.bin", "run.zarr", "--overwrite"],
     "run.zarr: holds the dump run.zarr/f.bin; name another output"),
])
def test_ordinary_errors_are_one_line(in_dumps, capsys, args, message):
    status, out, err = run_main(capsys, *args)
    assert (status, out) == (2, "")
    assert err.startswith("quickio: error: ") and err.count("\n") == 1 and message in err, err
    assert (in_dumps / "run.zarr" / "f.bin").read_bytes() == (DATA_DIR / "field_1x1.bin").read_bytes()


@pytest.mark.parametrize("where", ["before", "after"])
def test_debug_shows_the_traceback_before_the_line(in_dumps, capsys, where):
    args = ["info", "missing.bin"]
    status, out, err = run_main(capsys, *(["--debug", *args] if where == "before" else [*args, "--debug"]))
    assert (status, out) == (2, "")
    assert err.startswith("Traceback") and "FileNotFoundError" in err
    assert err.endswith("\nquickio: error: missing.bin: no such file\n")


@pytest.mark.parametrize("command, writer", [
    (["convert", "ph.bin", "out.zarr", "--n-dimensions", "3"], "dorvo.quickio.convert.convert"),
    (["virtualize", "run.zarr/f.bin", "-o", "out.xmf"], "dorvo.quickio.views.virtualize"),
])
def test_writers_refusals_of_the_output_are_one_line(in_dumps, capsys, monkeypatch, command, writer):
    # A writer's refusal of its output is passed on as it is; any other
    # ValueError of the writer's would be a fault of ours.
    from dorvo.quickio._io.output import OutputRefused

    refusal = f"{command[-1 if command[0] == 'virtualize' else 2]}: not written by quickio; not replaced"

    def refuse(*args, **kwargs):
        raise OutputRefused(refusal)

    monkeypatch.setattr("dorvo.quickio.convert.require", lambda suffix: None)
    monkeypatch.setattr(writer, refuse)
    assert run_main(capsys, *command) == (2, "", f"quickio: error: {refusal}\n")


def test_every_argument_and_command_has_help():
    from dorvo.quickio.cli import build_parser

    parsers, missing = [build_parser()], []
    while parsers:
        parser = parsers.pop()
        for action in parser._actions:
            if isinstance(action, argparse._SubParsersAction):
                parsers += action.choices.values()
                missing += [c.dest for c in action._choices_actions if not c.help]
            if not action.help:
                missing.append(f"{parser.prog} {action.dest}")
    assert missing == []




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
    ("phase", ["--n-dimensions", "3"], (750, 600)),
    ("phase", ["--n-dimensions", "3", "--components", "6", "2"], (750, 600)),
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


class ColumnTable:
    """A block table as the header's native scan gives it: length, integer
    indexing and slicing, NumPy columns; iterating it is refused here, to
    prove that a summary never walks the table in Python."""

    def __init__(self, blocks):
        self._type, self._n = type(blocks[0]), len(blocks)
        for name in self._type._fields:
            setattr(self, name, np.array([getattr(b, name) for b in blocks], np.int64))

    def __len__(self):
        return self._n

    def __getitem__(self, key):
        if isinstance(key, slice):
            return [self[i] for i in range(*key.indices(self._n))]
        return self._type(*(int(getattr(self, name)[key]) for name in self._type._fields))

    def __iter__(self):
        raise AssertionError("the block table was iterated")


@pytest.mark.parametrize("kind", ["field", "phase"])
@pytest.mark.parametrize("all_blocks", [False, True])
def test_summary_of_a_column_table_matches_a_tuple_of_blocks(tmp_path, kind, all_blocks):
    import dataclasses

    from dorvo.quickio.cli import _summary as cli
    from dorvo.quickio.header import read_phase_space_header

    path = tmp_path / "d.bin"
    if kind == "field":
        write_field_dump(path, grid_values(3, 20, 2)[0], nproc_y=20, nproc_z=1)
        header, summary = read_field_header(path), cli.field_summary
    else:
        write_phase_dump(path, phase_values(30, 1), 1, [2, 0, -1] + [1] * 28)
        header, summary = read_phase_space_header(path, 1), cli.phase_summary
    columns = dataclasses.replace(header, blocks=ColumnTable(header.blocks))
    expected, got = summary(header, all_blocks), summary(columns, all_blocks)
    expected["blocks"]["rows"], got["blocks"]["rows"] = list(expected["blocks"]["rows"]), list(got["blocks"]["rows"])
    assert got == expected
    assert len(got["blocks"]["rows"]) == ((31 if kind == "phase" else 20) if all_blocks else 12)


# ---------------------------------------------------------------- interrupts, pipes, full disks


def console_script():
    script = shutil.which("quickio", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("package not installed with its console script")
    return script


@pytest.mark.skipif(under_sanitizer(), reason="the sanitizer's runtime slows the interpreter's own start, before "
                    "any code of ours runs, past the first moment")
def test_ctrl_c_at_any_moment_is_one_line(tmp_path):
    """SIGINT while the package is imported, while the dump is read and
    while the output is written: one line, status 130, and either nothing
    written or, when the signal came after the output was in place, the
    whole output; never a part of one, never a temporary left behind."""
    import signal
    import time

    n = 256
    write_field_dump(tmp_path / "f.bin", np.ones((n, n, n), np.float32), nproc_y=2, nproc_z=2)
    for moment in (0.25, 0.5, 0.8, 1.2):
        proc = subprocess.Popen([console_script(), "convert", "f.bin", "o.zarr"], cwd=tmp_path, text=True,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        time.sleep(moment)
        if proc.poll() is None:
            proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=120)
        if proc.returncode == 0:
            continue  # done before the signal was sent: nothing to interrupt
        assert (proc.returncode, err) == (130, "quickio: interrupted\n"), (moment, err)
        assert "Traceback" not in err
        left = sorted(p.name for p in tmp_path.iterdir())
        if left == ["f.bin"]:
            assert out == "", moment
            continue
        assert left == ["f.bin", "o.zarr"] and out in ("", "wrote o.zarr\n"), (moment, left, out)
        xr = pytest.importorskip("xarray")
        with xr.open_dataset(tmp_path / "o.zarr") as back:
            assert back.field.shape == (n, n, n) and bool((back.field.values == 1).all()), moment
        shutil.rmtree(tmp_path / "o.zarr")


def test_an_interrupt_swallowed_along_the_way_still_ends_the_command(monkeypatch, capsys):
    """Ctrl-C while a library's finalizer runs is swallowed by Python (it
    can only report it); the command still ends as interrupted."""
    import signal

    from dorvo.quickio.cli.info import Info

    class Finalized:
        def __del__(self):
            signal.raise_signal(signal.SIGINT)

    def run(self, args):
        Finalized()
        return 0

    monkeypatch.setattr(Info, "run", run)
    assert run_main(capsys, "info", "any.bin") == (130, "", "quickio: interrupted\n")


def test_a_closed_pipe_ends_quietly(tmp_path):
    write_field_dump(tmp_path / "f.bin", np.ones((2, 40, 40), np.float32), nproc_y=40, nproc_z=40)
    proc = subprocess.Popen([console_script(), "info", "--blocks", tmp_path / "f.bin"], text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.readline()
    proc.stdout.close()
    assert (proc.wait(timeout=60), proc.stderr.read()) == (141, "")
    proc.stderr.close()


@pytest.mark.parametrize("command, limit", [(["convert", "f.bin", "o.nc"], 1 << 20),
                                            (["virtualize", "f.bin", "-o", "v.h5"], 2048)])
def test_a_full_disk_is_one_line(tmp_path, command, limit):
    """A write refused for want of room (here, a file size limit: EFBIG) is
    an OSError from Python and one line from the command line."""
    pytest.importorskip("h5netcdf")
    import resource

    write_field_dump(tmp_path / "f.bin", np.ones((128, 128, 128), np.float32))
    proc = subprocess.run([console_script(), *command], cwd=tmp_path, capture_output=True, text=True, timeout=120,
                          preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit)))
    assert_error(proc, "File too large")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f.bin"]
