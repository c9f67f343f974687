"""open(): one opened dump, its identity pinned, behind every reader."""
import io
import os
import pickle

import numpy as np
import pytest
import xarray as xr

import dorvo.quickio as qio
from dorvo.quickio import _planner
from helpers import RangeServer, grid_values, phase_values, write_field_dump, write_phase_dump

SHAPE = (4, 6, 6)
LAYOUT = dict(ny_loc=[2, 4], nz_loc=[3, 3])


def _write(path, sign=1.0):
    field, x, y, z = grid_values(*SHAPE)
    write_field_dump(path, sign * field, x, y, z, **LAYOUT)
    return sign * field


@pytest.fixture
def served(tmp_path):
    with RangeServer(tmp_path) as server:
        yield server


def _replace(path):
    _write(str(path) + ".new", -1.0)
    os.replace(str(path) + ".new", path)


def _rewrite_keeping_mtime(path):
    st = os.stat(path)
    with open(path, "r+b") as f:
        data = f.read()
        f.seek(0)
        f.write(data[:-8] + bytes(8))  # the same size, other values
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))


READERS = {
    "load": lambda d: d.load(),
    "read": lambda d: d.read(z=1),
    "xarray": lambda d: xr.open_dataset(d, engine="vintar").field.isel(z=1).values,
}


# Over HTTP the server's ETag (of size, mtime and inode) is what changes.
@pytest.mark.parametrize("remote, change", [(False, _replace), (False, _rewrite_keeping_mtime), (True, _replace)],
                         ids=["local-replace", "local-rewrite-same-mtime", "http-new-etag"])
@pytest.mark.parametrize("reader", READERS, ids=list(READERS))
def test_a_changed_dump_raises_never_values(tmp_path, served, reader, remote, change):
    path = tmp_path / "f.bin"
    _write(path)
    with qio.open(served.url("f.bin") if remote else path) as d:
        change(path)
        with pytest.raises(OSError, match=r"f\.bin: the file changed since it was opened"):
            READERS[reader](d)


def test_open_takes_paths_urls_and_file_objects(tmp_path, served):
    path = tmp_path / "f.bin"
    field = _write(path)
    with open(path, "rb") as f:
        targets = [path, str(tmp_path / "f"), served.url("f.bin"), io.BytesIO(path.read_bytes()), f]
        for target in targets:
            with qio.open(target) as d:
                np.testing.assert_array_equal(d.load()[0], field)
                np.testing.assert_array_equal(d.read(1, slice(1, 5), slice(None, None, 2)), field[1, 1:5, ::2])
            d.close()  # idempotent
            with pytest.raises(ValueError, match="closed dump"):
                d.read()
    write_phase_dump(tmp_path / "p.dat", phase_values(7, 2), 2, [3, 0, 4])
    with qio.open(tmp_path / "p.dat", n_dimensions=2) as d:
        ps = d.load()
        np.testing.assert_array_equal(d.read(particles=slice(2, 6), components=1), ps[1, 2:6])
        # The streamed passes read the exact file, whatever its name.
        assert d.moments()["count"] == 7
        np.testing.assert_array_equal(d.select(), ps)


def test_name_rule(tmp_path):
    _write(tmp_path / "a.bin")
    _write(tmp_path / "a", -1.0)
    assert qio.open(tmp_path / "a").name == str(tmp_path / "a")  # the name as given when it exists
    os.remove(tmp_path / "a")
    assert qio.open(tmp_path / "a").name == str(tmp_path / "a.bin")


def test_pickled_dump_reopens_and_checks_identity(tmp_path, served):
    path = tmp_path / "f.bin"
    field = _write(path)
    for target in (path, served.url("f.bin")):
        data = pickle.dumps(qio.open(target))
        np.testing.assert_array_equal(pickle.loads(data).read(z=2), field[:, :, 2])
    local = pickle.dumps(qio.open(path))
    _replace(path)
    for data in (local, data):
        with pytest.raises(OSError, match="the file changed since it was opened"):
            pickle.loads(data)


def test_chunks_follow_blocks_and_stay_near_128_mib():
    # A 2048 x 1024 x 256 field in two layers: blocks of 1 GiB each.
    blocks = np.array([[0, 0, 1024, 128, 100], [0, 128, 1024, 128, 100 + (1 << 30)]])
    x, ys, zs = _planner.field_chunks(blocks, (2048, 1024, 256))
    assert x == (2048,) and ys == (1024,) and zs == (16,) * 16
    # Columns of blocks cut y; a plane larger than a chunk cuts y further.
    blocks = np.array([[0, 0, 3, 2, 0], [3, 0, 5, 2, 0]])
    assert _planner.field_chunks(blocks, (1 << 26, 8, 2)) == ((1 << 26,), (1,) * 8, (1, 1))


@pytest.mark.parametrize("fault, match", [
    ("416", "refused a byte range"),
    ("short", "the server sent .* bytes: it does not serve byte ranges as asked"),
    ("stall", "timed out: the server sent nothing for 0.5 s"),
])
def test_a_misbehaving_server_is_named(tmp_path, served, fault, match):
    _write(tmp_path / "f.bin")
    with qio.open(served.url("f.bin"), timeout=0.5) as d:
        served.fault, served.stall = fault, 2.0
        with pytest.raises(OSError, match=match):
            d.read(z=1)
