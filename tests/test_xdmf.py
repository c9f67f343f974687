"""The per-block XDMF files (what `quickio virtualize` writes without h5py)
read back by VTK's XDMF reader, which is what ParaView and VisIt use,
against the loaders."""
import shutil
from pathlib import Path

import numpy as np
import pytest

from dorvo.quickio import beamdump, meshdump
from dorvo.quickio._views import xdmf
from dorvo.quickio.components import default_labels
from dorvo.quickio.header import read_field_header, read_phase_space_header
from helpers import DATA_DIR, grid_values, phase_values, under_sanitizer, write_field_dump, write_phase_dump

vtk = pytest.importorskip("vtkmodules.vtkIOXdmf2", reason="vtk (in the 'test' extra) not installed")
from vtkmodules.util.numpy_support import vtk_to_numpy  # noqa: E402

SAMPLE = Path(__file__).parents[1] / "src" / "dorvo" / "quickio" / "samples" / "field.bin"


def read_vtk(xmf):
    """The leaf datasets that vtkXdmfReader makes of `xmf`."""
    reader = vtk.vtkXdmfReader()
    reader.SetFileName(str(xmf))
    reader.Update()
    out = reader.GetOutputDataObject(0)
    it = out.NewIterator()
    it.InitTraversal()
    leaves = []
    while not it.IsDoneWithTraversal():
        leaves.append(it.GetCurrentDataObject())
        it.GoToNextItem()
    return leaves


def assert_field_read_back(xmf, dump):
    """Every grid point is in exactly one of the reader's rectilinear grids,
    at coordinates equal to the axes, with the loader's value."""
    f, x, y, z = meshdump.read_Vintar_bin(str(dump)[:-4], read_field_header(str(dump)).params)
    covered = np.zeros(f.shape, np.int64)
    leaves = read_vtk(xmf)
    assert leaves, "the reader found no grids"
    for g in leaves:
        xs, ys, zs = (vtk_to_numpy(c) for c in (g.GetXCoordinates(), g.GetYCoordinates(), g.GetZCoordinates()))
        # The grid's coordinates are a run of each axis: find where it starts.
        i0, j0, k0 = (int(np.flatnonzero(axis == c[0])[0]) for axis, c in ((x, xs), (y, ys), (z, zs)))
        cells = np.s_[i0:i0 + len(xs), j0:j0 + len(ys), k0:k0 + len(zs)]
        np.testing.assert_array_equal(xs, x[cells[0]])
        np.testing.assert_array_equal(ys, y[cells[1]])
        np.testing.assert_array_equal(zs, z[cells[2]])
        values = vtk_to_numpy(g.GetPointData().GetArray("field"))
        assert values.dtype == np.float32
        np.testing.assert_array_equal(values.reshape(len(zs), len(ys), len(xs)).T, f[cells])
        covered[cells] += 1
    assert (covered == 1).all()


@pytest.mark.parametrize("tiling", [
    dict(shape=(5, 3, 2)),                                                       # one block
    dict(shape=(4, 8, 6), nproc_y=3, nproc_z=2, ny_loc=[1, 4, 3], nz_loc=[2, 4]),  # 3 x 2, uneven
    dict(shape=(3, 7, 5), nproc_y=2, nproc_z=3, ny_loc=[[2, 5], [6, 1], [3, 4]], nz_loc=[1, 3, 1]),
])
def test_field_tilings_read_back(tmp_path, tiling):
    shape = tiling.pop("shape")
    field, x, y, z = grid_values(*shape)
    # Uneven spacing, so that a misplaced coordinate cannot match by chance.
    x, y, z = (a + np.float32(0.001) * np.arange(len(a), dtype=np.float32) ** 2 for a in (x, y, z))
    dump = tmp_path / "f.bin"
    write_field_dump(dump, field, x, y, z, **tiling)
    header = read_field_header(str(dump))
    assert xdmf.write_field_xdmf(header, tmp_path / "f.xmf") == len(header.blocks)
    assert_field_read_back(tmp_path / "f.xmf", dump)


@pytest.mark.parametrize("dump", [DATA_DIR / "field_1x1.bin", DATA_DIR / "field_2x2.bin", SAMPLE],
                         ids=lambda p: p.name)
def test_shipped_field_dumps_read_back(tmp_path, dump):
    copy = tmp_path / dump.name
    shutil.copy(dump, copy)
    xdmf.write_field_xdmf(read_field_header(str(copy)), tmp_path / "v.xdmf")
    assert_field_read_back(tmp_path / "v.xdmf", copy)


def test_relative_and_absolute_data_paths(tmp_path):
    """A relative path follows the XDMF file's folder (both move together);
    an absolute one lets the XDMF file move alone. Names with spaces and
    XML's special characters survive."""
    data, views = tmp_path / "run & <one>", tmp_path / "views"
    data.mkdir()
    views.mkdir()
    dump = data / "E x.bin"
    write_field_dump(dump, grid_values(4, 8, 6)[0], nproc_y=2, nproc_z=2)
    header = read_field_header(str(dump))
    xdmf.write_field_xdmf(header, views / "rel.xmf")
    xdmf.write_field_xdmf(header, views / "abs.xmf", absolute=True)
    assert ">../run &amp; &lt;one&gt;/E x.bin<" in (views / "rel.xmf").read_text()
    moved = tmp_path / "moved"
    moved.mkdir()
    shutil.move(views, moved / "views")
    shutil.move(data, moved / data.name)
    assert_field_read_back(moved / "views" / "rel.xmf", moved / data.name / dump.name)
    shutil.move(moved / data.name, data)
    (moved / "views" / "abs.xmf").rename(tmp_path / "abs.xmf")
    assert_field_read_back(tmp_path / "abs.xmf", dump)


@pytest.mark.parametrize("n", [pytest.param(1, marks=pytest.mark.skipif(
    under_sanitizer(), reason="VTK's XDMF functions free with delete what they allocate with malloc, "
                              "which AddressSanitizer stops at (harmless without it)")), 2, 3])
def test_phase_space_point_clouds_read_back(tmp_path, n):
    """One point cloud per non-empty block: the first n components as the
    points' coordinates (zeros beyond n), the others as scalars named by
    the default labels or the given ones."""
    dump = tmp_path / "ph.bin"
    particles = phase_values(9, n)
    particles[4, 0] = np.nan
    write_phase_dump(dump, particles, n, [4, 0, 5], extra=b"\0")
    labels = ["q", "r", "s & t", "u", "v"] if n == 2 else None
    assert xdmf.write_phase_space_xdmf(read_phase_space_header(str(dump), n), tmp_path / "ph.xmf", labels=labels) == 2
    names = labels or default_labels(n)
    ps = beamdump.total_phase_space_read(str(dump)[:-4], {"n_dimensions": n})
    leaves = read_vtk(tmp_path / "ph.xmf")
    assert [g.GetNumberOfPoints() for g in leaves] == [4, 5]
    points = np.concatenate([vtk_to_numpy(g.GetPoints().GetData()) for g in leaves])
    expected = np.zeros((9, 3), np.float32)
    expected[:, :n] = ps[:n].T
    if n == 1:
        expected[4, 1:] = np.nan  # the reader computes the zeros from x
    np.testing.assert_array_equal(points, expected)
    for k in range(n, 2 * n + 1):
        values = np.concatenate([vtk_to_numpy(g.GetPointData().GetArray(names[k])) for g in leaves])
        np.testing.assert_array_equal(values, ps[k])
    assert all(g.GetNumberOfCells() == g.GetNumberOfPoints() for g in leaves)  # one vertex each


def test_a_dump_beside_it_named_in_any_letters(tmp_path):
    """VTK's reader drops the first letter of a file name that is not ASCII,
    unless the name starts with "./"."""
    dump = tmp_path / "ü.bin"
    write_field_dump(dump, grid_values(4, 8, 6)[0], nproc_y=2, nproc_z=2)
    xdmf.write_field_xdmf(read_field_header(str(dump)), tmp_path / "v.xmf")
    assert_field_read_back(tmp_path / "v.xmf", dump)


def test_relative_path_from_a_symlinked_folder(tmp_path):
    """An XDMF file written into a folder reached through a symbolic link
    names the dump by a path that resolves from where the link leads."""
    (tmp_path / "real" / "a" / "views").mkdir(parents=True)
    (tmp_path / "views").symlink_to(tmp_path / "real" / "a" / "views")
    (tmp_path / "data").mkdir()
    dump = tmp_path / "data" / "f.bin"
    write_field_dump(dump, grid_values(4, 8, 6)[0], nproc_y=2, nproc_z=2)
    xmf = tmp_path / "views" / "f.xmf"
    assert xdmf.write_field_xdmf(read_field_header(str(dump)), xmf) == 4
    assert ">../../../data/f.bin<" in xmf.read_text()
    assert_field_read_back(xmf, dump)


def test_replaces_only_its_own_xdmf_file(tmp_path):
    """With overwrite, an XDMF file written here is written anew in place;
    one written by hand, or a folder, stays as it was and is refused in
    one line, and so is the dump itself."""
    dump = tmp_path / "f.bin"
    write_field_dump(dump, grid_values(4, 8, 6)[0], nproc_y=2, nproc_z=2)
    header = read_field_header(str(dump))
    assert xdmf.write_field_xdmf(header, tmp_path / "v.xmf") == 4
    with pytest.raises(xdmf.OutputRefused, match="v.xmf: exists; pass overwrite=True"):
        xdmf.write_field_xdmf(header, tmp_path / "v.xmf")
    assert xdmf.write_field_xdmf(header, tmp_path / "v.xmf", overwrite=True) == 4
    assert_field_read_back(tmp_path / "v.xmf", dump)
    (tmp_path / "hand.xmf").write_text('<?xml version="1.0"?>\n<!DOCTYPE Xdmf SYSTEM "Xdmf.dtd" []>\n<Xdmf/>\n')
    (tmp_path / "dir.xmf").mkdir()
    for name, what in [("hand.xmf", "a file"), ("dir.xmf", "a directory")]:
        with pytest.raises(xdmf.OutputRefused, match=f"^{tmp_path / name}: is {what} but not an XDMF file that "
                                                     f"quickio virtualize wrote; only .* is replaced$"):
            xdmf.write_field_xdmf(header, tmp_path / name, overwrite=True)
    with pytest.raises(xdmf.OutputRefused, match="is the dump itself"):
        xdmf.write_field_xdmf(header, dump, overwrite=True)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["dir.xmf", "f.bin", "hand.xmf", "v.xmf"]
