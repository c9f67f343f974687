"""HDF5 views of dumps (`quickio virtualize`, dorvo.quickio.virtualize):
read back through h5py, xarray's h5netcdf engine and VTK's XDMF reader
against the loaders."""
import hashlib
import importlib.util
import io
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from dorvo.quickio import beamdump, meshdump, open as open_dump, views, virtualize
from dorvo.quickio._views import view_file as _view_file, view_record as _view_record, xdmf
from dorvo.quickio.components import default_labels
from dorvo.quickio.header import read_field_header
from helpers import (DATA_DIR, RangeServer, grid_values, phase_values, subrecords, write_field_dump,
                     write_phase_dump)
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
    dict(shape=(3, 5, 6), nproc_y=2, nproc_z=3, ny_loc=[2, 3], nz_loc=[2, 0, 4]),  # a layer of no height
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
    """From Python, given an opened Dump, which stays open for its caller;
    the blocks' runs split among sources of `segments` blocks each."""
    monkeypatch.setattr(_view_file, "SEGMENTS", segments)
    copy = tmp_path / dump.name
    shutil.copy(dump, copy)
    with open_dump(copy) as opened:
        written = virtualize(opened, tmp_path / "v.h5")
        assert not opened.closed
    assert written.files == (str(tmp_path / "v.h5"),) and written.dumps == 1
    assert_view_reads_field(tmp_path / "v.h5", copy)


@pytest.mark.parametrize("n, segments, copy", [(0, 1, False), (1, _view_file.SEGMENTS, False), (3, 2, False),
                                               (3, 2, True)])
def test_phase_space_views_read_back(tmp_path, monkeypatch, n, segments, copy):
    """(particle, component) from the first 2n+1 words of each entry, or
    copied into the view; empty blocks place nothing; the blocks' runs
    split among sources of `segments` runs each; particle and component
    cost no bytes; the root records the dump."""
    monkeypatch.setattr(_view_file, "SEGMENTS", segments)
    dump = tmp_path / "ph.bin"
    particles = phase_values(9, n)
    particles[4, 0] = np.nan
    write_phase_dump(dump, particles, n, [4, 0, -2, 1, 4], extra=b"\0")
    virtualize(dump, tmp_path / "ph.nc", n_dimensions=n, copy=copy)
    ps = beamdump.total_phase_space_read(str(dump)[:-4], {"n_dimensions": n})
    with h5py.File(tmp_path / "ph.nc", "r") as h:
        np.testing.assert_array_equal(h["phase_space"][...], ps.T)
        assert h["phase_space"].is_virtual is not copy
        if not copy:
            np.testing.assert_array_equal(h["entries"][:, :2 * n + 1], ps.T)
            assert h["entries"].shape == (9, 2 * n + 2)
            assert len(h["blocks"]) == -(-3 // segments)  # 3 blocks hold particles
        assert h["particle"].id.get_storage_size() == 0
        assert (h.attrs["name"], h.attrs["dump"], h.attrs["blocks"]) == ("ph", str(dump), 5)
        assert h.attrs[_view_file.MARK] == 1
    with xr.open_dataset(tmp_path / "ph.nc", engine="h5netcdf") as ds:
        assert ds.phase_space.dims == ("particle", "component") and ds.attrs["n_dimensions"] == n
        assert copy or ds.entries.dims == ("particle", "word")
        assert ds.component.values.tolist() == default_labels(n)
        np.testing.assert_array_equal(ds.phase_space.values, ps.T)


def test_field_view_of_empty_and_one_point_blocks(tmp_path):
    dump = tiled_dump(tmp_path / "f.bin", dict(shape=(1, 3, 2), nproc_y=3, nproc_z=2, ny_loc=[1, 0, 2], nz_loc=[1, 1]))
    virtualize(dump, tmp_path / "v.h5")
    assert_view_reads_field(tmp_path / "v.h5", dump)


def test_a_broken_hdf5_file_is_not_taken_for_a_view(tmp_path):
    """A file that opens as HDF5 by its signature but not in h5py is the
    user's, never replaced."""
    dump = tiled_dump(tmp_path / "f.bin", TILINGS[0])
    broken = b"\x89HDF\r\n\x1a\n" + bytes(range(256)) * 4
    (tmp_path / "v.h5").write_bytes(broken)
    with pytest.raises(views.OutputRefused):
        virtualize(dump, tmp_path / "v.h5", overwrite=True)
    assert (tmp_path / "v.h5").read_bytes() == broken


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
    assert proc.stdout.endswith("stored in the view\n" if copy else "read in place\n")
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
    dumps = [run / f"Ex_{step}.bin" for step in (20, 300, 1)]  # out of time order: the view sorts them
    proc = quickio("virtualize", *dumps, "-o", tmp_path / "run.xmf")
    assert proc.returncode == 0, proc.stderr
    assert sorted(p.name for p in tmp_path.glob("*.h5")) == ["Ex_1.h5", "Ex_20.h5", "Ex_300.h5"]
    reader, _ = read_vtk(tmp_path / "run.xmf")
    assert list(reader.GetOutputInformation(0).Get(reader.GetExecutive().TIME_STEPS())) == [1, 20, 300]
    for step in (1, 20, 300):
        _, grid = read_vtk(tmp_path / "run.xmf", step)
        f = load_field(run / f"Ex_{step}.bin")[0]
        np.testing.assert_array_equal(vtk_to_numpy(grid.GetPointData().GetArray("field")), f.ravel(order="F"))
    virtualize(dumps, tmp_path / "by_param.xmf", times=1, overwrite=True)
    reader, _ = read_vtk(tmp_path / "by_param.xmf")
    assert list(reader.GetOutputInformation(0).Get(reader.GetExecutive().TIME_STEPS())) == [0.25, 5, 75]


def moving_run(run, steps=(200, 0, 100)):
    """A window of 4 x 8 x 6 points in 3 x 2 uneven blocks that moves along x
    by 2.5 every 100 steps, with the time step / 4 as real parameter 1."""
    for step in steps:
        field, x, y, z = grid_values(4, 8, 6)
        x = x + np.float32(step / 40) + np.float32(0.001) * np.arange(4, dtype=np.float32) ** 2
        write_field_dump(run / f"Ex_{step}.bin", field * np.float32(step + 1), x, y, z, nproc_y=3, nproc_z=2,
                         ny_loc=[1, 4, 3], nz_loc=[2, 4], real_params=[0, step / 4] + [0] * 18)
    return [run / f"Ex_{step}.bin" for step in steps]


def test_moving_window_plays_in_vtk_and_reads_as_one_view(tmp_path):
    """Each step of the XDMF series has its dump's own axes and values in
    VTK; the run's one view reads as open_series() of the dumps."""
    from dorvo.quickio.xarray import open_series

    (tmp_path / "run").mkdir()
    dumps = moving_run(tmp_path / "run")
    proc = quickio("virtualize", *dumps, "-o", tmp_path / "run.xmf")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines()[1:] == [
        "moving window: x moves by 5 from Ex_0.bin to Ex_200.bin (x[0] from 0 to 5, 2.5 a dump)"]
    reader, _ = read_vtk(tmp_path / "run.xmf")
    assert list(reader.GetOutputInformation(0).Get(reader.GetExecutive().TIME_STEPS())) == [0, 100, 200]
    for step in (0, 100, 200):
        _, grid = read_vtk(tmp_path / "run.xmf", step)
        f, x, y, z = load_field(tmp_path / "run" / f"Ex_{step}.bin")
        for c, axis in ((grid.GetXCoordinates(), x), (grid.GetYCoordinates(), y), (grid.GetZCoordinates(), z)):
            np.testing.assert_array_equal(vtk_to_numpy(c), axis)
        np.testing.assert_array_equal(vtk_to_numpy(grid.GetPointData().GetArray("field")), f.ravel(order="F"))

    assert virtualize(dumps, tmp_path / "run.nc", times=1).files == (str(tmp_path / "run.nc"),)
    want = open_series(str(tmp_path / "run" / "Ex_*.bin"), time=1)
    with xr.open_dataset(tmp_path / "run.nc", engine="h5netcdf") as ds:
        assert ds.field.dims == ("dump", "z", "y", "x") and ds.x.dims == ("dump", "x")
        np.testing.assert_array_equal(ds.field.values, want.field.transpose("dump", "z", "y", "x").values)
        for name in ("x", "y", "z", "dump", "file", "time"):
            np.testing.assert_array_equal(ds[name].values, want[name].values)
    # The run's view records each of its dumps, and a changed one is named.
    assert [found.problem for found in views.check_view(tmp_path / "run.nc")] == [None] * 3
    with open(dumps[1], "ab") as fh:
        fh.write(b"\0")
    flagged = [found.path for found in views.check_view(tmp_path / "run.nc") if found.problem is not None]
    assert flagged == [str(dumps[1])]


def test_run_refuses_another_grid_and_a_repeated_time(tmp_path):
    moving_run(tmp_path, steps=(20, 100))
    write_field_dump(tmp_path / "Ex_3.bin", grid_values(4, 8, 7)[0], nproc_y=2, nproc_z=2)
    # Compared in step order: Ex_3 sets the sizes, and Ex_20 differs.
    names = [tmp_path / f"Ex_{step}.bin" for step in (100, 20, 3)]
    for out in ("run.xmf", "run.h5"):
        with pytest.raises(views.ViewError, match=f"^{tmp_path / 'Ex_20.bin'}: its grid has 6 points along z where "
                                                  f"{tmp_path / 'Ex_3.bin'} has 7; the dumps of a run share"):
            virtualize(names, tmp_path / out)
    (tmp_path / "b").mkdir()
    moving_run(tmp_path / "b", steps=(20,))
    (tmp_path / "b" / "Ex_20.bin").rename(tmp_path / "b" / "Ex_020.bin")
    with pytest.raises(views.ViewError, match=f"^{tmp_path / 'b' / 'Ex_020.bin'}: has the time 20 of "
                                              f"{tmp_path / 'Ex_20.bin'}; the steps of a run have distinct times$"):
        virtualize([tmp_path / "Ex_20.bin", tmp_path / "b" / "Ex_020.bin"], tmp_path / "run.xmf")
    for time in (np.nan, np.inf, -np.inf):  # which viewers take for one step, or none
        write_field_dump(tmp_path / "b" / "Ex_020.bin", grid_values(4, 8, 6)[0], real_params=[0, time] + [0] * 18)
        with pytest.raises(views.ViewError, match=f"Ex_020.bin: its real parameter 1 is {time}; the steps of a "
                                                  f"run have finite times"):
            virtualize([tmp_path / "Ex_20.bin", tmp_path / "b" / "Ex_020.bin"], tmp_path / "run.xmf", times=1)
    # A name that VTK's XDMF reader cannot resolve is refused; one that it
    # resolves once written from "." is written so.
    with pytest.raises(views.ViewError, match="run:1.h5, and VTK's XDMF reader cannot read a file whose name "):
        virtualize(tmp_path / "Ex_20.bin", tmp_path / "run:1.xmf")
    assert not list(tmp_path.glob("*.xmf")) and not list(tmp_path.glob("*.h5"))
    virtualize(tmp_path / "Ex_20.bin", tmp_path / "ü.xmf")
    assert_one_grid(tmp_path / "ü.xmf", tmp_path / "Ex_20.bin")


def changed(dump, how, tmp_path):
    """Changes the dump at `dump` as a user might after the view was made."""
    data = dump.read_bytes()
    if how == "cut":
        dump.write_bytes(data[:len(data) // 2])
    elif how == "rewritten":  # in place, other blocks of the same size
        tiled_dump(tmp_path / "other.bin", TILINGS[1], scale=3.0)
        with open(dump, "r+b") as fh:
            fh.write((tmp_path / "other.bin").read_bytes())
    elif how == "replaced":
        tiled_dump(tmp_path / "other.bin", TILINGS[1], scale=3.0)
        os.rename(tmp_path / "other.bin", dump)
    elif how == "moved away":
        os.rename(dump, tmp_path / "elsewhere.bin")


@pytest.mark.parametrize("how, problem", [("unchanged", None), ("cut", "cut: "), ("rewritten", "changed since"),
                                          ("replaced", "another file is there"),
                                          ("moved away", "No such file or directory")])
def test_a_changed_dump_is_flagged(tmp_path, monkeypatch, capsys, how, problem):
    """`quickio info VIEW` lists a view's dumps (through an XDMF file too)
    and whether each is still the file the view was made from, and the
    xarray engine opens a view as its dump only when it is."""
    (tmp_path / "run").mkdir()
    dump = tiled_dump(tmp_path / "run" / "Ex_100.bin", TILINGS[1])
    virtualize(dump, tmp_path / "run" / "Ex_100.xmf", relative=True)
    changed(dump, how, tmp_path)
    monkeypatch.chdir(tmp_path / "run")
    from dorvo.quickio.cli import main

    for view in ("Ex_100.h5", "Ex_100.xmf"):
        assert main(["info", view]) == (problem is not None)
        out = capsys.readouterr().out
        assert f"  ../run/Ex_100.bin ({dump}): " in out and (problem or "the file the view was made from") in out
    monkeypatch.chdir(tmp_path)
    if problem is None:
        with xr.open_dataset(tmp_path / "run" / "Ex_100.h5", engine="vintar") as ds:
            np.testing.assert_array_equal(ds.field.values, load_field(dump)[0])
    else:
        with pytest.raises(OSError, match="is not the file the view was made from"):
            xr.open_dataset(tmp_path / "run" / "Ex_100.h5", engine="vintar")


@pytest.mark.parametrize("module, step", [(views, "write_view"), (xdmf, "_field_grids"),
                                          (_view_record, "dump_of")])
def test_a_dump_rewritten_meanwhile_is_refused(tmp_path, monkeypatch, module, step):
    """The identity a view records is that of the file it was made from:
    a dump rewritten while a view (or a per-block XDMF file) is written
    fails the write, and no view is left; rewritten as the engine opens
    a view, the open fails."""
    dump = tiled_dump(tmp_path / "f.bin", TILINGS[1])
    call = getattr(module, step)

    def meanwhile(*args):
        out = call(*args)
        tiled_dump(dump, TILINGS[1], scale=2.0)
        return list(out) if step == "_field_grids" else out

    if step == "dump_of":
        virtualize(dump, tmp_path / "v.h5")
    monkeypatch.setattr(module, step, meanwhile)
    with pytest.raises(OSError, match="the file changed since it was opened|it changed as it was opened"):
        if step == "dump_of":
            xr.open_dataset(tmp_path / "v.h5", engine="vintar")
        elif step == "write_view":
            virtualize(dump, tmp_path / "v.h5")
        else:
            xdmf.write_field_xdmf(read_field_header(str(dump)), tmp_path / "v.xmf")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f.bin"] + ["v.h5"] * (step == "dump_of")


def test_a_relative_view_never_reads_another_runs_dump(tmp_path):
    """A relative view names the dump's folder too: opened from a folder
    that holds another run's dump of the same name, HDF5 reads the view's
    own dump (from a sibling folder, as here) or none, never the other."""
    for run, scale in (("run", 1.0), ("other", 5.0)):
        (tmp_path / run).mkdir()
        tiled_dump(tmp_path / run / "Ex_100.bin", TILINGS[1], scale=scale)
    virtualize(tmp_path / "run" / "Ex_100.bin", tmp_path / "run" / "v.h5", relative=True)
    code = "import h5py, numpy, sys; numpy.save(sys.argv[2], h5py.File(sys.argv[1], 'r')['field'][...])"
    subprocess.run([sys.executable, "-c", code, tmp_path / "run" / "v.h5", tmp_path / "read.npy"],
                   cwd=tmp_path / "other", check=True)
    np.testing.assert_array_equal(np.load(tmp_path / "read.npy"), load_field(tmp_path / "run" / "Ex_100.bin")[0].T)
    assert quickio("info", tmp_path / "run" / "v.h5", cwd=tmp_path / "other").returncode == 0


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
            # Split into subrecords past 2 GiB, as gfortran writes it.
            for _, length, opening, closing in subrecords(4 * nx * ny * height):
                fh.write(np.int32(opening).tobytes())
                fh.seek(length, os.SEEK_CUR)
                fh.write(np.int32(closing).tobytes())
        record(fh, np.array([nx, ny, nz_loc[-1]], "<i4").tobytes())
        record(fh, np.asarray(last, "<f4").tobytes())
        for n in (nx, ny, sum(nz_loc)):
            record(fh, np.arange(n, dtype="<f4").tobytes())


@pytest.mark.parametrize("segments, sources", [(1, 3), (3, 3), (4, 2), (5, 1)])
def test_block_past_4_gib(tmp_path, monkeypatch, segments, sources):
    """64-bit offsets: a block that starts past 4 GiB reads right, and so
    does the block before, split into subrecords: three pieces of one
    source, which holds `segments` pieces at most unless one run is more."""
    monkeypatch.setattr(_view_file, "SEGMENTS", segments)
    nx, ny = 1024, 1024
    last = np.random.default_rng(1).standard_normal(nx * ny).astype(np.float32)
    dump = tmp_path / "big.bin"
    sparse_field_dump(dump, nx, ny, [1, 1024, 1], last)
    header = read_field_header(str(dump))
    assert header.well_formed, header.reason
    assert header.blocks[2].offset > 2 ** 32 and len(header.segments) == 3
    virtualize(dump, tmp_path / "big.h5")
    with h5py.File(tmp_path / "big.h5", "r") as h:
        np.testing.assert_array_equal(h["field"][1025], last.reshape(ny, nx))
        assert not h["field"][1024].any()
        np.testing.assert_array_equal(h["z"][...], np.arange(1026, dtype=np.float32))
        assert len(h["blocks"]) == sources


def test_relative_from_another_working_directory(tmp_path, monkeypatch):
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
    # check_view resolves as HDF5 does, or from the view's folder with origin.
    monkeypatch.chdir(elsewhere)
    assert [found.problem is None for found in views.check_view(tmp_path / "views" / "f.h5")] == [False]
    assert [found.problem is None for found in views.check_view(tmp_path / "views" / "f.h5", origin=True)] == [True]


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
    (["f.bin", "sub/f.bin", "-o", "r.h5"], "f.bin: its name holds no step number; give the times by a real "),
    (["f.bin", "--times", "1", "-o", "r.nc"], "r.nc: times label the steps of a run, and one dump makes none"),
    (["f.bin", "--n-dimensions", "3"], "f.bin: a field dump, not a phase-space dump; --n-dimensions applies to "),
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


# ---------------------------------------------------------------- the Python API: refusals, results


def external_names(view):
    """The names of the files that the datasets of `view` read in place."""
    names = set()

    def visit(_, obj):
        if isinstance(obj, h5py.Dataset):
            plist = obj.id.get_create_plist()
            names.update(plist.get_external(i)[0].decode() for i in range(plist.get_external_count()))
            if obj.is_virtual:
                names.update(s.file_name for s in obj.virtual_sources() if s.file_name != ".")

    with h5py.File(view, "r") as h:
        h.visititems(visit)
    return names


def assert_clean_xdmf(xmf):
    """Well-formed XML whose elements hold no stray text: only data items
    and the stamp carry any."""
    import xml.etree.ElementTree as ET

    for element in ET.parse(xmf).iter():
        if element.tag != "DataItem":
            assert not (element.text or "").strip(), (element.tag, element.text)
        assert not (element.tail or "").strip(), (element.tag, element.tail)


@pytest.fixture
def api_dumps(tmp_path):
    write_field_dump(tmp_path / "f_0.bin", grid_values(4, 8, 6)[0], nproc_y=2, nproc_z=2, real_params=[0, 7.5] + [0] * 18)
    (tmp_path / "cut.bin").write_bytes((tmp_path / "f_0.bin").read_bytes()[:400])
    for name, count in (("ph_10", 3), ("ph_20", 2), ("ph0", 0)):
        write_phase_dump(tmp_path / f"{name}.bin", phase_values(count, 2), 2)
    write_phase_dump(tmp_path / "ph4.bin", phase_values(3, 4), 4)
    (tmp_path / "sub").mkdir()
    shutil.copy(tmp_path / "f_0.bin", tmp_path / "sub" / "f_0.bin")
    shutil.copy(tmp_path / "f_0.bin", tmp_path / "f_30.bin")
    return tmp_path


class BytesPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return os.fsencode(self.path)


@pytest.mark.parametrize("dumps, kw, message", [
    ([], {}, "a run needs at least one dump"),
    ("ph_10.bin", {}, "{T}/ph_10.bin: a phase-space dump, not a field dump (…); the file does not record its "
                      "dimension count: pass n_dimensions=N"),
    ("cut.bin", {}, "{T}/cut.bin: cannot view a dump that is not well-formed: file ends inside the data of block …"),
    ("sub", {}, "{T}/sub: is a directory, not a dump"),
    ("http://localhost:1/f_0.bin", {}, "http://localhost:1/f_0.bin: a view points at the dump's own bytes on a local "
                                       "disk; copy the dump there first"),
    (BytesPath("f_0.bin"), {}, "b'{T}/f_0.bin': a view points at the dump's own bytes on a local disk; copy the "
                               "dump there first"),
    (io.BytesIO(b""), {}, "BytesIO: a view points at a dump's own bytes on a local disk; name the dump by its path"),
    ("f_0.bin", {"out": "v.png"}, "{T}/v.png: a view is named *.h5 or *.nc (HDF5, NetCDF-4), or *.xmf for viewers"),
    ("ph0.bin", {"out": "v.xmf", "n_dimensions": 2}, "{T}/ph0.bin: holds no particles, which no point cloud shows"),
    ("ph4.bin", {"out": "v.xmf", "n_dimensions": 4}, "{T}/ph4.bin: n = 4: XDMF places points by 1 to 3 coordinates, "
                                                     "and a point cloud takes the first n components as coordinates"),
    (["f_0.bin", "ph_10.bin"], {"out": "v.xmf", "n_dimensions": 2},
     "{T}/ph_10.bin: is a phase-space dump, but {T}/f_0.bin is not; a run is of one kind of dump"),
    (["f_30.bin", "ph_10.bin"], {"out": "v.xmf", "n_dimensions": 2},  # compared in step order
     "{T}/f_30.bin: is a field dump, but {T}/ph_10.bin is not; a run is of one kind of dump"),
    (["ph_20.bin", "ph_10.bin"], {"out": "v.h5", "n_dimensions": 2},
     "{T}/v.h5: a run of phase-space dumps is a time series of point clouds in an XDMF file; name it *.xmf"),
    (["f_0.bin", "sub/f_0.bin"], {"out": "v.xmf"},
     "{T}/sub/f_0.bin: has the name of {T}/f_0.bin; their views would both be {T}/f_0.h5"),
    (["f_0.bin"], {"out": "v.xmf", "times": 99}, "{T}/f_0.bin: has 20 real parameters, no parameter 99"),
    *[("f_0.bin", {"openpmd": True, k: v}, "{T}/v.h5: an openPMD series times its iterations by their steps and the "
                                           "time step of its units, and names its records itself; times and labels "
                                           "apply to other views") for k, v in (("times", 1), ("labels", ["a"]))],
    *[("f_0.bin", {k: v}, "{T}/v.h5: units, unitless, names and species apply to an openPMD series (openpmd=True)")
      for k, v in (("units", {}), ("unitless", True), ("names", {}), ("species", "e"))],
])
def test_refusals_of_the_python_api(api_dumps, monkeypatch, dumps, kw, message):
    """Each refusal is a ViewError naming what is refused, before anything
    is written ("…" stands for any text)."""
    import re

    monkeypatch.chdir(api_dumps)
    if isinstance(dumps, BytesPath):
        dumps.path = str(api_dumps / dumps.path)
    elif isinstance(dumps, list):
        dumps = [api_dumps / d for d in dumps]
    elif isinstance(dumps, str) and "://" not in dumps:
        dumps = api_dumps / dumps
    out = api_dumps / kw.pop("out", "v.h5")
    pattern = re.escape(message.replace("{T}", str(api_dumps))).replace("…", ".*")
    with pytest.raises(views.ViewError, match=f"^{pattern}$"):
        virtualize(dumps, out, **kw)
    assert not list(api_dumps.glob("v.*")) and not list(api_dumps.glob("*.h5"))


def test_no_h5py_is_an_import_error_naming_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "h5py", None)
    with pytest.raises(ImportError, match=r"^writing an HDF5 view needs h5py: pip install 'dorvo\.quickio\[view\]'$"):
        views.require_h5py()


def test_what_the_python_api_writes(api_dumps, monkeypatch):
    """Written names the files, dumps and blocks; headers serve as dumps;
    views read in place unless copied, by absolute names unless relative;
    an output is replaced only with overwrite; times make a temporal
    collection named after the XDMF file, each step with its time."""
    import xml.etree.ElementTree as ET

    from dorvo.quickio.header import read_field_header, read_phase_space_header

    t = api_dumps
    field = read_field_header(t / "f_0.bin")
    written = virtualize(field, t / "one.xmf", times=1)
    assert written == views.Written((str(t / "one.h5"), str(t / "one.xmf")), 1, 4)
    assert external_names(t / "one.h5") == {str(t / "f_0.bin")}
    assert_clean_xdmf(t / "one.xmf")
    root = ET.parse(t / "one.xmf").getroot()
    collection = root.find("Domain/Grid")
    assert (collection.get("Name"), collection.get("GridType")) == ("one", "Collection")
    assert [time.get("Value") for time in collection.iter("Time")] == ["7.5"]
    with pytest.raises(FileExistsError, match="one.h5: exists; pass overwrite=True to replace it"):
        virtualize(field, t / "one.xmf", times=1)
    assert virtualize(t / "f_0.bin", t / "one.xmf", overwrite=True).files == written.files
    assert ET.parse(t / "one.xmf").getroot().find("Domain/Grid").get("GridType") == "Uniform"
    assert ET.parse(t / "one.xmf").getroot().find(".//Time") is None
    assert_clean_xdmf(t / "one.xmf")
    with pytest.raises(views.ViewError, match=f"^{t / 'cut.bin'}: cannot view a dump that is not well-formed: "):
        virtualize(read_field_header(t / "cut.bin"), t / "cut.h5")
    assert virtualize(t / "f_0.bin", t / "a:1.h5").files == (str(t / "a:1.h5"),)  # no XDMF file to name it
    pytest.importorskip("fsspec")
    with RangeServer(t) as server, open_dump(server.url("f_0.bin")) as remote:
        with pytest.raises(views.ViewError, match=f"^{server.url('f_0.bin')}: a view points at the dump's own bytes "
                                                  f"on a local disk; copy the dump there first$"):
            virtualize(remote, t / "remote.h5")

    # Point clouds by 1 to 3 coordinates.
    for n in (1, 3):
        write_phase_dump(t / f"n{n}.bin", phase_values(2, n), n)
        virtualize(t / f"n{n}.bin", t / f"n{n}.xmf", n_dimensions=n)
        assert read_vtk(t / f"n{n}.xmf")[1].GetNumberOfPoints() == 2
        assert_clean_xdmf(t / f"n{n}.xmf")
        assert ET.parse(t / f"n{n}.xmf").getroot().find(".//Time") is None

    # A run of point clouds, from headers, in time order, each with its step.
    clouds = [read_phase_space_header(t / f"ph_{s}.bin", 2) for s in (20, 10)]
    written = virtualize(clouds, t / "clouds.xmf")
    assert written == views.Written((str(t / "ph_10.h5"), str(t / "ph_20.h5"), str(t / "clouds.xmf")), 2, 2)
    assert_clean_xdmf(t / "clouds.xmf")
    collection = ET.parse(t / "clouds.xmf").getroot().find("Domain/Grid")
    assert [time.get("Value") for time in collection.iter("Time")] == ["10", "20"]
    _, cloud = read_vtk(t / "clouds.xmf", 20)
    assert cloud.GetNumberOfPoints() == 2
    with h5py.File(t / "ph_10.h5", "r") as h:
        assert h["phase_space"].is_virtual
    virtualize(t / "ph_10.bin", t / "ph_10.h5", n_dimensions=2, copy=True, overwrite=True)
    with h5py.File(t / "ph_10.h5", "r") as h:
        assert not h["phase_space"].is_virtual

    # Blocks that hold particles are counted; a copy reads nothing of the
    # dump, which may go.
    write_phase_dump(t / "gaps.bin", phase_values(3, 2), 2, [2, 0, 1])
    for copy in (False, True):
        assert virtualize(t / "gaps.bin", t / f"gaps{copy}.h5", n_dimensions=2, copy=copy).blocks == 2
        with h5py.File(t / f"gaps{copy}.h5", "r") as h:
            assert (h["particle"].shape, h["component"].shape) == ((3,), (5,))
    (t / "gaps.bin").unlink()
    assert [[found.problem is None for found in views.check_view(t / f"gaps{copy}.h5")]
            for copy in (False, True)] == [[False], [True]]

    # A run of fields to one HDF5 view, relative from its folder.
    shutil.copy(t / "f_0.bin", t / "f_5.bin")
    monkeypatch.chdir(t / "sub")
    run = [t / "f_5.bin", t / "f_0.bin"]
    assert virtualize(run, t / "run.h5", relative=True) == views.Written((str(t / "run.h5"),), 2, 8)
    assert external_names(t / "run.h5") == {f"../{t.name}/f_0.bin", f"../{t.name}/f_5.bin"}  # from the cwd
    with pytest.raises(FileExistsError, match="run.h5: exists; pass overwrite=True to replace it"):
        virtualize(run, t / "run.h5")
    virtualize(run, t / "run.h5", overwrite=True)
    assert external_names(t / "run.h5") == {str(t / "f_0.bin"), str(t / "f_5.bin")}
    with h5py.File(t / "run.h5", "r") as h:
        assert list(h["dump"]) == [0, 5] and "time" not in h
    # Names without steps, by their times: labelled 0 to n-1.
    shutil.copy(t / "f_0.bin", t / "late.bin")
    write_field_dump(t / "early.bin", grid_values(4, 8, 6)[0], real_params=[0, 2.5] + [0] * 18)
    virtualize([t / "late.bin", t / "early.bin"], t / "named.h5", times=1)
    with h5py.File(t / "named.h5", "r") as h:
        assert list(h["dump"]) == [0, 1] and list(h["time"]) == [2.5, 7.5]
    # Two dumps of one step are a run by their times.
    (t / "other").mkdir()
    write_field_dump(t / "other" / "f_0.bin", grid_values(4, 8, 6)[0], real_params=[0, 2.5] + [0] * 18)
    assert views.moving_axes([read_field_header(p) for p in (t / "f_0.bin", t / "other" / "f_0.bin")], times=1) == []
    assert views.moving_axes(clouds) == []


@pytest.mark.parametrize("run", [False, True])
def test_a_failed_hdf5_write_is_an_os_error_naming_the_view(api_dumps, monkeypatch, run):
    """HDF5 reports a full disk as a RuntimeError holding the errno: it
    comes out as that OSError, naming the view, and nothing is left."""
    def full(*args, **kwargs):
        raise RuntimeError("Can't write data (file write failed: ..., errno = 28, error message = 'No space left')")

    monkeypatch.setattr(views, "write_run_view" if run else "write_view", full)
    shutil.copy(api_dumps / "f_0.bin", api_dumps / "f_5.bin")
    dumps = [api_dumps / "f_0.bin", api_dumps / "f_5.bin"] if run else api_dumps / "f_0.bin"
    with pytest.raises(OSError) as raised:
        virtualize(dumps, api_dumps / "v.h5")
    assert (raised.value.errno, raised.value.filename) == (28, str(api_dumps / "v.h5"))
    assert sorted(p.name for p in api_dumps.iterdir() if p.name.startswith(("v", "."))) == []


@pytest.mark.parametrize("dump, out", [("d.xmf", "d.xmf"), ("e.h5", "e.xmf"), ("link.bin", "e.h5")])
def test_an_output_that_is_the_dump_is_refused(api_dumps, monkeypatch, dump, out):
    """However the dump is named (a symbolic link too), neither the view
    nor the XDMF file replaces it."""
    monkeypatch.chdir(api_dumps)
    shutil.copy("f_0.bin", "d.xmf")
    shutil.copy("f_0.bin", "e.h5")
    os.symlink("e.h5", "link.bin")
    target = os.path.realpath(dump)
    with pytest.raises(views.OutputRefused, match=f"^{os.path.basename(target)}: is the dump itself; name another "
                                                  f"output$"):
        virtualize(dump, out)
    assert Path(target).read_bytes() == Path("f_0.bin").read_bytes()


def test_xdmf_text_is_utf8_whatever_the_locale(api_dumps):
    """Names outside ASCII (here a component's) reach the XDMF file as
    UTF-8, which its XML declaration promises, under an ASCII locale too."""
    env = {**os.environ, "LC_ALL": "C", "PYTHONUTF8": "0", "PYTHONCOERCECLOCALE": "0"}
    code = ("import sys; from dorvo.quickio import virtualize; "
            "virtualize(sys.argv[1], sys.argv[2], n_dimensions=2, labels=['x', 'y', 'p\\u2093', 'py', 'w'])")
    subprocess.run([sys.executable, "-c", code, api_dumps / "ph_10.bin", api_dumps / "v.xmf"], env=env, check=True)
    assert 'Name="p\u2093"' in (api_dumps / "v.xmf").read_bytes().decode("utf-8")
    _, cloud = read_vtk(api_dumps / "v.xmf")
    assert cloud.GetPointData().GetArray("p\u2093").GetNumberOfTuples() == 3
