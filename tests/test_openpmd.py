"""openPMD series of dumps (`quickio virtualize --openpmd`): checked by
openpmd-validator, read back by openpmd-api and openPMD-viewer against
load()."""
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from dorvo.quickio import load, virtualize
from dorvo.quickio._views import openpmd, view_file
from helpers import grid_values, write_field_dump, write_phase_dump
from test_cli import assert_error, quickio

h5py = pytest.importorskip("h5py")
io = pytest.importorskip("openpmd_api", reason="openpmd-api (in the 'test' extra) not installed")
viewer = pytest.importorskip("openpmd_viewer", reason="openPMD-viewer (in the 'test' extra) not installed")

STEPS = (0, 100, 200)
UNITS = """
[meshes.Ex]
unitSI = 1.5e9
unitDimension = [1, 1, -3, -1, 0, 0, 0]
[meshes.By]
unitSI = 2.5
unitDimension = [0, 1, -2, -1, 0, 0, 0]
[grid]
unitSI = 1e-6
[time]
dt = 0.5
unitSI = 1e-15
[species.electrons]
position_unitSI = 1e-6
momentum_unitSI = 2.73e-22
mass = 9.109e-31
charge = -1.602e-19
"""
# Values the in-place conversion must carry bit for bit (NaN as a NaN).
SPECIAL = [-0.0, np.inf, -np.inf, np.nan, 1e-45, -1.1754942e-38, 3.4028235e38]
COUNTS = [4, 0, 5]  # a species with an empty block
SPECIES = ("position", "x"), ("position", "y"), ("position", "z"), ("momentum", "x"), ("momentum", "y"), \
    ("momentum", "z"), ("weighting", io.Record_Component.SCALAR)


def write_run(folder: Path) -> list:
    """Ex (3 x 2 blocks, one of no points) and By (one block) fields and an
    electrons species at three steps."""
    rng = np.random.default_rng(7)
    for t in STEPS:
        f, x, y, z = grid_values(3, 7, 5)
        write_field_dump(folder / f"Ex_{t}.bin", f + t, x, y, z, nproc_y=2, nproc_z=3,
                         ny_loc=[[2, 5], [6, 1], [7, 0]], nz_loc=[1, 3, 1])
        write_field_dump(folder / f"By_{t}.bin", f - t, x, y, z)
        parts = rng.normal(size=(9, 7)).astype(np.float32)
        parts.flat[:len(SPECIAL)] = SPECIAL
        write_phase_dump(folder / f"electrons_{t}.bin", parts, 3, COUNTS, trailing=np.float32(-9))
    (folder / "units.toml").write_text(UNITS)
    return sorted(str(p) for p in folder.glob("*.bin"))


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    folder = tmp_path_factory.mktemp("run")
    return folder, write_run(folder)


def assert_bits(a, expected):
    """Equal values, and equal bits where they are not NaN (-0.0 stays -0.0)."""
    a, expected = np.asarray(a, np.float32), np.asarray(expected, np.float32)
    np.testing.assert_array_equal(a, expected)
    keep = ~np.isnan(expected)
    np.testing.assert_array_equal(a.view(np.uint32)[keep], expected.view(np.uint32)[keep])


def read_with_openpmd_api(series_name, folder):
    series = io.Series(str(series_name), io.Access.read_only)
    for t, it in series.iterations.items():
        for name, mesh in it.meshes.items():
            rc, expected = mesh[io.Mesh_Record_Component.SCALAR], load(folder / f"{name}_{t}.bin")[0].T
            whole, part = rc.load_chunk(), rc.load_chunk([0, 1, 1], [4, 5, 2])  # across layers and columns
            series.flush()
            assert_bits(whole, expected)
            assert_bits(part, expected[0:4, 1:6, 1:3])
        for name, species in it.particles.items():
            expected = load(folder / f"{name}_{t}.bin", n_dimensions=3)
            for k, (record, component) in enumerate(SPECIES):
                rc = species[record][component]
                whole, part = rc.load_chunk(), rc.load_chunk([2], [4])  # across the empty block
                series.flush()
                assert_bits(whole, expected[k])
                assert_bits(part, expected[k][2:6])
    steps = sorted(series.iterations)
    series.close()
    return steps


def read_with_viewer(path, folder, units):
    pos, mom, mass = (1e-6, 2.73e-22, 9.109e-31) if units else (1, 1, 1)
    for backend in ("h5py", "openpmd-api"):
        ts = viewer.OpenPMDTimeSeries(str(path), check_all_files=True, backend=backend)
        assert list(ts.iterations) == list(STEPS)
        for t in STEPS:
            for name, unit_si in (("Ex", 1.5e9), ("By", 2.5)):
                field, _ = ts.get_field(name, iteration=t)
                np.testing.assert_array_equal(field, load(folder / f"{name}_{t}.bin")[0].T * np.float32(
                    unit_si if units else 1))
            expected = load(folder / f"electrons_{t}.bin", n_dimensions=3).astype(np.float64)
            got = ts.get_particle(["x", "y", "z", "ux", "uy", "uz", "w"], species="electrons", iteration=t)
            scale = [pos] * 3 + [mom / (mass * 299792458.0)] * 3 + [1]
            for k in range(7):
                np.testing.assert_allclose(got[k], expected[k] * scale[k], rtol=1e-6)


@pytest.mark.parametrize("out, units, copy", [("series.h5", True, False), ("series.h5", False, True),
                                              ("fb/run_%T.h5", False, False), ("fb/run_%T.h5", True, True)])
def test_series_read_back(run, tmp_path, out, units, copy):
    folder, dumps = run
    (tmp_path / "fb").mkdir()
    args = ["--units", folder / "units.toml"] if units else ["--unitless"]
    proc = quickio("virtualize", *dumps, "--openpmd", "-o", tmp_path / out, "--n-dimensions", "3", *args,
                   *(["--particles", "copy"] if copy else []))
    assert proc.returncode == 0, proc.stderr
    files = [tmp_path / out.replace("%T", str(t)) for t in STEPS] if "%T" in out else [tmp_path / out]
    for f in files:
        check = subprocess.run([Path(sys.executable).parent / "openPMD_check_h5", "-i", f], capture_output=True,
                               text=True)
        assert check.returncode == 0 and "Result: 0 Errors" in check.stdout, check.stdout
        with h5py.File(f, "r") as h:
            assert ("comment" in h.attrs) is not units
    assert read_with_openpmd_api(tmp_path / out, folder) == list(STEPS)
    read_with_viewer(files[0].parent, folder, units) if "%T" in out else read_with_viewer(files[0], folder, units)


def test_units_arrive_as_written(run, tmp_path):
    folder, dumps = run
    virtualize(dumps, tmp_path / "s.h5", openpmd=True, units=folder / "units.toml", n_dimensions=3)
    series = io.Series(str(tmp_path / "s.h5"), io.Access.read_only)
    it = series.iterations[100]
    assert (it.time, it.dt, it.time_unit_SI) == (50.0, 0.5, 1e-15)
    ex = it.meshes["Ex"]
    assert ex.unit_dimension == [1, 1, -3, -1, 0, 0, 0] and ex[io.Mesh_Record_Component.SCALAR].unit_SI == 1.5e9
    assert (ex.grid_unit_SI, ex.grid_spacing, ex.grid_global_offset) == (1e-6, [0.25, 1.0, 0.5], [-2.0, 1.0, 0.0])
    e = it.particles["electrons"]
    assert e["position"]["x"].unit_SI == 1e-6 and e["momentum"]["z"].unit_SI == 2.73e-22
    assert e["momentum"].unit_dimension == [1, 1, -1, 0, 0, 0, 0]
    series.close()
    with h5py.File(tmp_path / "s.h5", "r") as h:
        e = h["data/100/particles/electrons"]
        assert (e["mass"].attrs["value"], e["charge"].attrs["value"]) == (9.109e-31, -1.602e-19)


@pytest.mark.parametrize("segments, copy_values", [(1, 7 * 4 - 1), (2, 7 * 4), (view_file.SEGMENTS, 7 * 4 + 1),
                                                   (1, 7)])
def test_block_sources_and_copy_chunks(run, tmp_path, monkeypatch, segments, copy_values):
    """Sources of one and two blocks each, and copies a block less, at and
    a word past four particles, and one particle, at a time."""
    folder, dumps = run
    monkeypatch.setattr(view_file, "SEGMENTS", segments)
    monkeypatch.setattr(openpmd, "COPY_VALUES", copy_values)
    for copy in (False, True):
        virtualize(dumps, tmp_path / f"{copy}.h5", openpmd=True, unitless=True, n_dimensions=3, copy=copy)
        read_with_openpmd_api(tmp_path / f"{copy}.h5", folder)


def test_refusals(run, tmp_path):
    folder, dumps = run
    f, x, y, z = grid_values(3, 7, 5)
    write_field_dump(tmp_path / "bent_1.bin", f, x ** 2, y, z)
    write_phase_dump(tmp_path / "wide_1.bin", np.zeros((2, 9), np.float32), 4)
    (tmp_path / "short.toml").write_text(UNITS.replace("[meshes.By]", "[meshes.Bz]"))
    (tmp_path / "typo.toml").write_text(UNITS.replace("[grid]\nunitSI", "[grid]\nunitsi"))
    ex = folder / "Ex_0.bin"
    cases = [
        ([ex, "-o", tmp_path / "s.h5"], "an openPMD series needs the units of its records"),
        ([tmp_path / "bent_1.bin", "-o", tmp_path / "s.h5", "--unitless"],
         "bent_1.bin: its x axis is off a uniform spacing by up to 0.25 (2097152 float32 units in the last place)"),
        ([tmp_path / "wide_1.bin", "--n-dimensions", "4", "-o", tmp_path / "s.h5", "--unitless"],
         "wide_1.bin: n = 4: an openPMD species has positions in 1 to 3 dimensions"),
        ([folder / "By_0.bin", "-o", tmp_path / "s.h5", "--units", tmp_path / "short.toml"],
         "short.toml: has no table [meshes.By]"),
        ([ex, "-o", tmp_path / "s.h5", "--units", tmp_path / "typo.toml"],
         "typo.toml: [grid] has unitsi, which is no key of a units file; it takes unitSI"),
        ([ex, "-o", tmp_path / "%T.h5", "--unitless"], f"{tmp_path}/%T.h5: its folder {tmp_path} holds"),
        ([ex, folder / "By_0.bin", "--name", f"{ex}=E", "--name", f"{folder / 'By_0.bin'}=E", "-o",
          tmp_path / "s.h5", "--unitless"], "By_0.bin: would be mesh E of iteration 0, as "),
    ]
    (tmp_path / "user.h5").write_bytes(b"\x89HDF\r\n\x1a\n")
    for args, message in cases:
        assert_error(quickio("virtualize", "--openpmd", *args), message)
    assert not (tmp_path / "s.h5").exists()
    # A plain view's existing output is a refusal too, not a failed write.
    assert_error(quickio("virtualize", ex, "-o", tmp_path / "user.h5"), "user.h5: exists; pass --overwrite to")


def test_overwrite_relative_and_identity(run, tmp_path):
    """Only our own series is replaced, an earlier iteration of ours
    removed; a relative series reads from another folder with the
    prefix ${ORIGIN}; a dump changed since is told by `quickio info`."""
    folder, dumps = run
    series = tmp_path / "fb"
    series.mkdir()
    out = series / "run_%T.h5"
    assert quickio("virtualize", *dumps, "--openpmd", "-o", out, "--n-dimensions", "3", "--unitless").returncode == 0
    some = [d for d in dumps if "_200" not in d]
    assert_error(quickio("virtualize", *some, "--openpmd", "-o", out, "--n-dimensions", "3", "--unitless"),
                 "run_0.h5: exists; pass --overwrite to replace it")
    proc = quickio("virtualize", *some, "--openpmd", "-o", out, "--n-dimensions", "3", "--unitless", "--overwrite",
                   "--relative")
    assert proc.returncode == 0, proc.stderr
    assert sorted(p.name for p in series.iterdir()) == ["run_0.h5", "run_100.h5"]
    # HDF5 reads its prefix once, when it starts: in a fresh interpreter.
    code = (f"import sys; sys.path.insert(0, {str(Path(__file__).parent)!r}); from pathlib import Path; "
            f"from test_openpmd import read_with_openpmd_api; "
            f"assert read_with_openpmd_api({str(out)!r}, Path({str(folder)!r})) == [0, 100]")
    env = dict(os.environ, HDF5_EXTFILE_PREFIX="${ORIGIN}")
    proc = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr[-2000:]
    (series / "run_0.h5").unlink()
    (series / "run_0.h5").write_bytes(b"\x89HDF\r\n\x1a\nnot ours")
    assert_error(quickio("virtualize", *some, "--openpmd", "-o", out, "--n-dimensions", "3", "--unitless",
                         "--overwrite"), "run_0.h5: is a file but not an HDF5 view that quickio virtualize wrote")
    changed = tmp_path / "c" / "Ex_0.bin"
    changed.parent.mkdir(exist_ok=True)
    changed.write_bytes(Path(dumps[3]).read_bytes())
    assert quickio("virtualize", changed, "--openpmd", "-o", tmp_path / "s.h5", "--unitless").returncode == 0
    os.utime(changed, ns=(0, 0))
    proc = quickio("info", tmp_path / "s.h5")
    assert proc.returncode == 1 and "changed since the view was made" in proc.stdout


def test_dump_changed_while_written(run, tmp_path, monkeypatch):
    folder, dumps = run
    dump = tmp_path / "Ex_5.bin"
    dump.write_bytes(Path(dumps[3]).read_bytes())
    write = openpmd._write_file

    def touched(*args):
        blocks = write(*args)
        os.utime(dump, ns=(1, 1))
        return blocks

    monkeypatch.setattr(openpmd, "_write_file", touched)
    with pytest.raises(OSError, match="changed"):
        virtualize([dump], tmp_path / "s.h5", openpmd=True, unitless=True)
    assert os.listdir(tmp_path) == ["Ex_5.bin"]


def test_the_python_api_passes_its_choices_on(run, tmp_path, monkeypatch):
    """species names the species, copy stores the particles, relative
    names the dumps from the series' folder, else by absolute paths."""
    from test_views import external_names

    folder, _ = run
    dumps = [folder / "Ex_0.bin", folder / "electrons_0.bin"]
    monkeypatch.chdir(tmp_path)
    for relative in (True, False):
        virtualize(dumps, tmp_path / "s.h5", openpmd=True, unitless=True, n_dimensions=3, species="beam", copy=True,
                   relative=relative, overwrite=True)
        expected = os.path.relpath(dumps[0], tmp_path) if relative else str(dumps[0])
        assert external_names(tmp_path / "s.h5") == {expected}  # the particles are copied: the field alone
        with h5py.File(tmp_path / "s.h5", "r") as h:
            assert list(h["data/0/particles"]) == ["beam"]
