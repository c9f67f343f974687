"""HDF5 views of dumps (`quickio virtualize`, dorvo.quickio.virtualize):
read back through h5py, xarray's h5netcdf engine and VTK's XDMF reader
against the loaders."""
import hashlib
import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from dorvo.quickio import _view_file, beamdump, meshdump, views, virtualize
from dorvo.quickio.components import default_labels
from dorvo.quickio.header import read_field_header
from helpers import DATA_DIR, grid_values, phase_values, write_field_dump, write_phase_dump
from test_cli import assert_error, quickio

h5py = pytest.importorskip("h5py", reason="h5py (in the 'test' extra) not installed")
xr = pytest.importorskip("xarray")
vtk = pytest.importorskip("vtkmodules.vtkIOXdmf2", reason="vtk (in the 'test' extra) not installed")
from vtkmodules.util.numpy_support import vtk_to_numpy  # noqa: E402

SAMPLE = Path(__file__).parents[1] / "src" / "dorvo" / "quickio" / "samples" / "field.bin"
TILINGS = [
    dict(shape=(5, 3, 2)),                                                       # one block
    dict(shape=(4, 8, 6), nproc_y=3, nproc_z=2, ny_loc=[1, 4, 3], nz_loc=[2, 4]),  # 3 x 2, uneven
    dict(shape=(3, 7, 5), nproc_y=2, nproc_z=3, ny_loc=[[2, 5], [6, 1], [7, 0]], nz_loc=[1, 3, 1]),
]


def digest(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def tiled_dump(path, tiling, scale=1.0, **kw):
    tiling = dict(tiling, **kw)
    field, x, y, z = grid_values(*tiling.pop("shape"))
    field = field * np.float32(scale)
    # Uneven spacing, so that a misplaced coordinate cannot match by chance.
    x, y, z = (a + np.float32(0.001) * np.arange(len(a), dtype=np.float32) ** 2 for a in (x, y, z))
    write_field_dump(path, field, x, y, z, **tiling)
    return path


def load_field(dump):
    return meshdump.read_Vintar_bin(str(dump)[:-4], read_field_header(str(dump)).params)


def assert_view_reads_field(view, dump):
    """h5py and xarray+h5netcdf read the loader's field on (z, y, x) with the
    axes as coordinates."""
    f, x, y, z = load_field(dump)
    with h5py.File(view, "r") as h:
        np.testing.assert_array_equal(h["field"][...], f.T)
        assert h["field"].dtype == np.float32
    # netCDF4 is not in the test extra: its engine is checked where it is installed.
    engines = ["h5netcdf"] + (["netcdf4"] if importlib.util.find_spec("netCDF4") else [])
    for engine in engines:
        with xr.open_dataset(view, engine=engine) as ds:
            assert ds.field.dims == ("z", "y", "x")
            np.testing.assert_array_equal(ds.field.values, f.T)
            for name, axis in zip("xyz", (x, y, z)):
                np.testing.assert_array_equal(ds[name].values, axis)
            assert ds.attrs["nproc_y"] == read_field_header(str(dump)).nproc_y


@pytest.mark.parametrize("tiling", TILINGS)
def test_field_views_read_back(tmp_path, tiling):
    dump = tiled_dump(tmp_path / "f.bin", tiling)
    before = digest(dump)
    proc = quickio("virtualize", dump, "-o", tmp_path / "f.nc")
    assert proc.returncode == 0, proc.stderr
    blocks = sum(1 for b in read_field_header(str(dump)).blocks if b.size)
    assert proc.stdout == f"wrote {tmp_path / 'f.nc'}: {blocks} block{'s' * (blocks > 1)} of {dump} read in place\n"
    assert_view_reads_field(tmp_path / "f.nc", dump)
    assert digest(dump) == before  # nothing of the dump was written
    assert (tmp_path / "f.nc").stat().st_size <= 64 * 1024 + 2048 * blocks


@pytest.mark.parametrize("dump", [DATA_DIR / "field_1x1.bin", DATA_DIR / "field_2x2.bin", SAMPLE],
                         ids=lambda p: p.name)
@pytest.mark.parametrize("segments", [1, 2, _view_file.SEGMENTS])
def test_shipped_field_dumps(tmp_path, monkeypatch, dump, segments):
    """From Python, given a path or an opened dump (anything with a header);
    the blocks' runs split among sources of `segments` blocks each."""
    monkeypatch.setattr(_view_file, "SEGMENTS", segments)
    copy = tmp_path / dump.name
    shutil.copy(dump, copy)

    class Opened:
        header = read_field_header(str(copy))

    written = virtualize(Opened(), tmp_path / "v.h5")
    assert written.files == (str(tmp_path / "v.h5"),) and written.dumps == 1
    assert_view_reads_field(tmp_path / "v.h5", copy)


@pytest.mark.parametrize("n, segments", [(0, 1), (1, _view_file.SEGMENTS), (3, 2)])
def test_phase_space_views_read_back(tmp_path, monkeypatch, n, segments):
    """(particle, component) from the first 2n+1 words of each entry; empty
    blocks place nothing; particle and component cost no bytes."""
    monkeypatch.setattr(_view_file, "SEGMENTS", segments)
    dump = tmp_path / "ph.bin"
    particles = phase_values(9, n)
    particles[4, 0] = np.nan
    write_phase_dump(dump, particles, n, [4, 0, -2, 3, 2], extra=b"\0")
    virtualize(dump, tmp_path / "ph.nc", n_dimensions=n)
    ps = beamdump.total_phase_space_read(str(dump)[:-4], {"n_dimensions": n})
    with h5py.File(tmp_path / "ph.nc", "r") as h:
        np.testing.assert_array_equal(h["phase_space"][...], ps.T)
        np.testing.assert_array_equal(h["entries"][:, :2 * n + 1], ps.T)
        assert h["entries"].shape == (9, 2 * n + 2)
        assert h["particle"].id.get_storage_size() == 0
    with xr.open_dataset(tmp_path / "ph.nc", engine="h5netcdf") as ds:
        assert ds.phase_space.dims == ("particle", "component") and ds.attrs["n_dimensions"] == n
        assert list(ds.component.values) == default_labels(n)
        np.testing.assert_array_equal(ds.phase_space.values, ps.T)


def test_empty_phase_space_view(tmp_path):
    write_phase_dump(tmp_path / "e.bin", phase_values(0, 2), 2, [0, 0])
    virtualize(tmp_path / "e.bin", tmp_path / "e.h5", n_dimensions=2)
    with h5py.File(tmp_path / "e.h5", "r") as h:
        assert h["phase_space"].shape == (0, 5)


def read_vtk(xmf, time=None):
    reader = vtk.vtkXdmfReader()
    reader.SetFileName(str(xmf))
    if time is None:
        reader.Update()
    else:
        reader.UpdateInformation()
        reader.GetOutputInformation(0).Set(reader.GetExecutive().UPDATE_TIME_STEP(), time)
        reader.Update()
    return reader, reader.GetOutputDataObject(0)


def assert_one_grid(xmf, dump):
    """One rectilinear grid of every point: the loader's values at the axes."""
    f, x, y, z = load_field(dump)
    _, grid = read_vtk(xmf)
    assert grid.GetClassName() == "vtkRectilinearGrid"
    for c, axis in ((grid.GetXCoordinates(), x), (grid.GetYCoordinates(), y), (grid.GetZCoordinates(), z)):
        np.testing.assert_array_equal(vtk_to_numpy(c), axis)
    np.testing.assert_array_equal(vtk_to_numpy(grid.GetPointData().GetArray("field")), f.ravel(order="F"))


def test_xdmf_one_gap_free_grid_from_another_folder(tmp_path):
    """The XDMF file names the view beside it; the view names the dump by
    its absolute path: both open from any working directory, and after
    moving the two together."""
    (tmp_path / "data").mkdir()
    (tmp_path / "views").mkdir()
    dump = tiled_dump(tmp_path / "data" / "E x.bin", TILINGS[2])
    proc = quickio("virtualize", "E x.bin", "-o", tmp_path / "views" / "v & w.xmf", cwd=tmp_path / "data")
    assert proc.returncode == 0, proc.stderr
    assert (tmp_path / "views" / "v & w.h5").exists()
    shutil.move(tmp_path / "views", tmp_path / "moved")
    assert_one_grid(tmp_path / "moved" / "v & w.xmf", dump)


@pytest.mark.parametrize("copy, labels", [(False, None), (True, "u,v,pu,pv,weight")])
def test_xdmf_point_cloud(tmp_path, copy, labels):
    """One point cloud, read in place or from the copy in the view; the
    components named by the labels, in the view's "component" coordinate
    and in the cloud's point arrays."""
    dump = tmp_path / "ph.bin"
    write_phase_dump(dump, phase_values(9, 2), 2, [4, 0, 5])
    proc = quickio("virtualize", dump, "--n-dimensions", 2, "-o", tmp_path / "ph.xmf", *["--copy"] * copy,
                   *(["--labels", labels] if labels else []))
    assert proc.returncode == 0, proc.stderr
    names = labels.split(",") if labels else ["x", "y", "px", "py", "w"]
    ps = beamdump.total_phase_space_read(str(dump)[:-4], {"n_dimensions": 2})
    with h5py.File(tmp_path / "ph.h5", "r") as h:
        assert h["phase_space"].is_virtual is not copy
        np.testing.assert_array_equal(h["phase_space"][...], ps.T)
    with xr.open_dataset(tmp_path / "ph.h5", engine="h5netcdf") as ds:
        assert list(ds.component.values) == names
        np.testing.assert_array_equal(ds.phase_space.sel(component=names[3]).values, ps[3])
    _, cloud = read_vtk(tmp_path / "ph.xmf")
    assert cloud.GetNumberOfPoints() == 9 and cloud.GetNumberOfCells() == 9
    np.testing.assert_array_equal(vtk_to_numpy(cloud.GetPoints().GetData())[:, :2], ps[:2].T)
    for k in range(2, 5):
        np.testing.assert_array_equal(vtk_to_numpy(cloud.GetPointData().GetArray(names[k])), ps[k])


def test_run_as_time_series(tmp_path):
    """One view per dump and one temporal collection: VTK sees the steps
    (from the names, or a real parameter) in order, each with its values."""
    run = tmp_path / "run"
    run.mkdir()
    for step in (300, 20, 1):
        tiled_dump(run / f"Ex_{step}.bin", TILINGS[1], scale=step, real_params=[0, step / 4] + [0] * 18)
    dumps = sorted(run.glob("Ex_*.bin"))
    proc = quickio("virtualize", *dumps, "-o", tmp_path / "run.xmf")
    assert proc.returncode == 0, proc.stderr
    assert sorted(p.name for p in tmp_path.glob("*.h5")) == ["Ex_1.h5", "Ex_20.h5", "Ex_300.h5"]
    reader, _ = read_vtk(tmp_path / "run.xmf")
    assert list(reader.GetOutputInformation(0).Get(reader.GetExecutive().TIME_STEPS())) == [1, 20, 300]
    for step in (1, 20, 300):
        _, grid = read_vtk(tmp_path / "run.xmf", step)
        f = load_field(run / f"Ex_{step}.bin")[0]
        np.testing.assert_array_equal(vtk_to_numpy(grid.GetPointData().GetArray("field")), f.ravel(order="F"))
    virtualize(dumps, tmp_path / "by_param.xmf", times=1)
    reader, _ = read_vtk(tmp_path / "by_param.xmf")
    assert list(reader.GetOutputInformation(0).Get(reader.GetExecutive().TIME_STEPS())) == [0.25, 5, 75]


def test_run_refuses_another_grid_and_a_repeated_time(tmp_path):
    tiled_dump(tmp_path / "Ex_1.bin", TILINGS[1])
    write_field_dump(tmp_path / "Ex_2.bin", grid_values(4, 8, 7)[0], nproc_y=2, nproc_z=2)
    with pytest.raises(views.ViewError, match=f"^{tmp_path / 'Ex_2.bin'}: its grid \\(4 x 8 x 7 points"):
        virtualize([tmp_path / "Ex_1.bin", tmp_path / "Ex_2.bin"], tmp_path / "run.xmf")
    (tmp_path / "b").mkdir()
    tiled_dump(tmp_path / "b" / "Ex_01.bin", TILINGS[1])
    with pytest.raises(views.ViewError, match=f"^{tmp_path / 'b' / 'Ex_01.bin'}: has the time 1 of "):
        virtualize([tmp_path / "Ex_1.bin", tmp_path / "b" / "Ex_01.bin"], tmp_path / "run.xmf")
    assert not list(tmp_path.glob("*.xmf")) and not list(tmp_path.glob("*.h5"))


def sparse_field_dump(path, nx, ny, nz_loc, last):
    """A dump of one column of layers of (nx, ny, nz_loc[i]) blocks in which
    only the headers, the last layer's values (`last`) and the axes are
    written; the layers before it are holes that read as zeros."""
    nparam = 20
    ints = np.array([1, len(nz_loc), 0, nx, ny, 0, sum(nz_loc)] + [3] * 13, "<i4")

    def record(fh, payload):
        fh.write(np.int32(len(payload)).tobytes() + payload + np.int32(len(payload)).tobytes())

    with open(path, "wb") as fh:
        for payload in (np.int32(nparam).tobytes(), ints.tobytes(), np.zeros(nparam, "<f4").tobytes()):
            record(fh, payload)
        for height in nz_loc[:-1]:
            record(fh, np.array([nx, ny, height], "<i4").tobytes())
            size = 4 * nx * ny * height
            fh.write(np.int32(size & 0x7FFFFFFF).tobytes())  # the marker is not read
            fh.seek(size, os.SEEK_CUR)
            fh.write(np.int32(size & 0x7FFFFFFF).tobytes())
        record(fh, np.array([nx, ny, nz_loc[-1]], "<i4").tobytes())
        record(fh, np.asarray(last, "<f4").tobytes())
        for n in (nx, ny, sum(nz_loc)):
            record(fh, np.arange(n, dtype="<f4").tobytes())


def test_block_past_4_gib(tmp_path):
    """64-bit offsets: a block that starts past 4 GiB reads right."""
    nx, ny = 1024, 1024
    last = np.random.default_rng(1).standard_normal(nx * ny * 2).astype(np.float32)
    dump = tmp_path / "big.bin"
    sparse_field_dump(dump, nx, ny, [1024, 2], last)
    header = read_field_header(str(dump))
    assert header.well_formed, header.reason
    assert header.blocks[1].offset > 2 ** 32
    virtualize(dump, tmp_path / "big.h5")
    with h5py.File(tmp_path / "big.h5", "r") as h:
        np.testing.assert_array_equal(h["field"][1024:], last.reshape(2, ny, nx))
        assert not h["field"][1023].any()
        np.testing.assert_array_equal(h["z"][...], np.arange(1026, dtype=np.float32))


def test_relative_from_another_working_directory(tmp_path):
    """A relative path resolves from the working directory, or from the
    view's folder with HDF5_EXTFILE_PREFIX=${ORIGIN}."""
    (tmp_path / "data").mkdir()
    (tmp_path / "views").mkdir()
    elsewhere = tmp_path / "elsewhere" / "deeper"  # where ../data/f.bin is not
    elsewhere.mkdir(parents=True)
    dump = tiled_dump(tmp_path / "data" / "f.bin", TILINGS[1])
    assert quickio("virtualize", dump, "-o", tmp_path / "views" / "f.h5", "--relative").returncode == 0
    with h5py.File(tmp_path / "views" / "f.h5", "r") as h:
        assert h["blocks/0"].id.get_create_plist().get_external(0)[0] == b"../data/f.bin"
    code = ("import h5py, numpy, sys; f = h5py.File(sys.argv[1], 'r'); "
            "numpy.save(sys.argv[2], f['field'][...])")
    env = {**os.environ, "HDF5_EXTFILE_PREFIX": "${ORIGIN}"}
    subprocess.run([sys.executable, "-c", code, tmp_path / "views" / "f.h5", tmp_path / "read.npy"],
                   cwd=elsewhere, env=env, check=True)
    np.testing.assert_array_equal(np.load(tmp_path / "read.npy"), load_field(dump)[0].T)
    env.pop("HDF5_EXTFILE_PREFIX")
    proc = subprocess.run([sys.executable, "-c", code, "f.h5", tmp_path / "read2.npy"], cwd=tmp_path / "views",
                          env=env)
    assert proc.returncode == 0
    np.testing.assert_array_equal(np.load(tmp_path / "read2.npy"), load_field(dump)[0].T)
    proc = subprocess.run([sys.executable, "-c", code, tmp_path / "views" / "f.h5", tmp_path / "read3.npy"],
                                 cwd=elsewhere, env=env, capture_output=True, text=True)
    assert proc.returncode != 0 and "unable to open external raw data file" in proc.stderr


def test_replaces_only_its_own_views(tmp_path):
    """A view or XDMF file is written anew in place; an HDF5 file not written
    here, or anything else, stays as it was and is refused in one line."""
    dump = tiled_dump(tmp_path / "f.bin", TILINGS[1])
    virtualize(dump, tmp_path / "v.xmf")
    virtualize(dump, tmp_path / "v.xmf")
    assert_one_grid(tmp_path / "v.xmf", dump)
    with h5py.File(tmp_path / "data.h5", "w") as h:
        h["keep"] = [1]
    with pytest.raises(views.OutputRefused, match=f"^{tmp_path / 'data.h5'}: is a file but not an HDF5 view; "):
        virtualize(dump, tmp_path / "data.xmf")
    shutil.copy(dump, tmp_path / "d.h5")
    with pytest.raises(views.OutputRefused, match="is the dump itself"):
        virtualize(tmp_path / "d.h5", tmp_path / "d.h5")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["d.h5", "data.h5", "f.bin", "v.h5", "v.xmf"]
    with h5py.File(tmp_path / "data.h5", "r") as h:
        assert list(h) == ["keep"]


@pytest.fixture
def dumps(tmp_path):
    write_field_dump(tmp_path / "f.bin", grid_values(4, 8, 6)[0], nproc_y=2, nproc_z=2)
    (tmp_path / "cut.bin").write_bytes((tmp_path / "f.bin").read_bytes()[:400])
    write_phase_dump(tmp_path / "ph.bin", phase_values(3, 4), 4)
    write_phase_dump(tmp_path / "ph0.bin", phase_values(3, 0), 0)
    (tmp_path / "sub").mkdir()
    shutil.copy(tmp_path / "f.bin", tmp_path / "sub" / "f.bin")
    shutil.copy(tmp_path / "f.bin", tmp_path / "f.xmf")
    (tmp_path / "ro").mkdir(mode=0o555)
    return tmp_path


@pytest.mark.parametrize("dump, labels, match", [
    ("f.bin", ["x"], "f.bin: a field dump; labels name the components of a phase-space dump"),
    ("ph.bin", ["a", "b"], "ph.bin: labels= names 2 components; a dump with n = 4 has 9"),
    ("ph.bin", ["a"] * 9, "ph.bin: labels=: a component name is repeated"),
])
def test_labels_refused(dumps, dump, labels, match):
    with pytest.raises(views.ViewError, match=match):
        virtualize(dumps / dump, dumps / "v.h5", n_dimensions=4, labels=labels)
    assert not (dumps / "v.h5").exists()


@pytest.mark.parametrize("args, message", [
    (["missing.bin", "-o", "no/such/v.xmf"], "no/such/v.xmf: the folder no/such does not exist"),
    (["missing.bin", "-o", "v.png"], "v.png: name the view *.h5 or *.nc, or *.xmf for viewers"),
    (["f.xmf", "-o", "f.xmf"], "f.xmf: is the dump itself; name another output"),
    (["f.bin", "-o", "f.bin"], "f.bin: name the view *.h5 or *.nc, or *.xmf for viewers"),
    (["ph0.bin", "--n-dimensions", "0"], "ph0.bin: n = 0: XDMF places points by 1 to 3 coordinates"),
    (["f.bin", "--absolute", "--relative"], "argument --relative: not allowed with argument --absolute"),
    (["missing.bin"], "missing.bin: no such file"),
    (["cut.bin"], "cut.bin: cannot load a dump that is not well-formed: file ends inside the data of block"),
    (["ph.bin"], "ph.bin: a phase-space dump, not a field dump ("),
    (["ph.bin", "--n-dimensions", "4", "-o", "p.xmf"], "ph.bin: n = 4: XDMF places points by 1 to 3 coordinates"),
    (["ph.bin", "--n-dimensions", "4", "--labels", "a,b"], "--labels names 2 components; a dump with n = 4 has 9"),
    (["f.bin", "--labels", "a"], "--labels applies to phase-space dumps only"),
    (["f.bin", "sub/f.bin"], "a run needs its XDMF file: give -o OUT.xmf"),
    (["f.bin", "sub/f.bin", "-o", "r.xmf"], "sub/f.bin: has the name of f.bin; their views would both be f.h5"),
    (["f.bin", "sub/f.bin", "-o", "r.h5"], "r.h5: a run is a time series in an XDMF file; name it *.xmf"),
    (["f.bin", "--times", "1", "-o", "r.nc"], "r.nc: a run is a time series in an XDMF file; name it *.xmf"),
])
def test_refusals(dumps, args, message):
    assert_error(quickio("virtualize", *args, cwd=dumps), message)
    assert sorted(p.name for p in dumps.glob("*.xmf")) == ["f.xmf"] and not list(dumps.glob("*.h5"))
    assert not list(dumps.glob(".*part"))


@pytest.mark.skipif(hasattr(os, "geteuid") and os.geteuid() == 0, reason="root writes anywhere")
def test_read_only_folder_refused_before_reading(dumps):
    assert_error(quickio("virtualize", "missing.bin", "-o", "ro/v.xmf", cwd=dumps),
                 "ro/v.xmf: the folder ro is not writable")


def test_without_h5py_per_block_xdmf(dumps):
    """Without h5py an XDMF file of one grid per block is the fallback; an
    HDF5 view is refused, naming the extra."""
    hide = "import sys; sys.modules['h5py'] = None"
    proc = quickio("virtualize", "f.bin", "-o", "v.xmf", cwd=dumps, prelude=hide)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "wrote v.xmf: 4 grids reading f.bin in place (one grid per block: h5py, missing, makes them one)\n"
    assert (dumps / "v.xmf").read_text().count('GridType="Uniform"') == 4
    assert_error(quickio("virtualize", "f.bin", "-o", "v.h5", cwd=dumps, prelude=hide),
                 "writing an HDF5 view needs h5py: pip install 'dorvo.quickio[view]'")
