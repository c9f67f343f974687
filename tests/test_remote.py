"""Dumps over HTTP and from file objects: the same values as local loads,
from only the byte ranges that a read needs. A loopback server that serves
byte ranges counts the requests."""
import io
import json
import pickle
import re
import socket
import sys

import numpy as np
import pytest

from dorvo.quickio import cli, load
from dorvo.quickio.header import read_field_header, read_phase_space_header
from helpers import RangeServer, grid_values, phase_values, write_field_dump, write_phase_dump

xr = pytest.importorskip("xarray")
pytest.importorskip("fsspec")
pytest.importorskip("aiohttp")

HINT = "pip install 'dorvo.quickio[remote]'"
# Blocks of 128 KiB: more than a scan's window, so that each costs a read.
LARGE = dict(shape=(64, 64, 32), nproc_y=2, nproc_z=2)
# 64 blocks of 2 KiB.
SMALL = dict(shape=(16, 64, 32), nproc_y=8, nproc_z=8)
PHASE_COUNTS = [1000, 0, 3000, 1000]


@pytest.fixture(scope="module")
def dumps(tmp_path_factory):
    root = tmp_path_factory.mktemp("served")
    for name, spec in (("large.bin", LARGE), ("small.bin", SMALL)):
        spec = dict(spec)
        write_field_dump(root / name, *grid_values(*spec.pop("shape")), **spec)
    write_phase_dump(root / "phase.bin", phase_values(sum(PHASE_COUNTS), 3), 3, PHASE_COUNTS)
    return root


@pytest.fixture(scope="module")
def module_server(dumps):
    with RangeServer(dumps) as server:
        yield server


@pytest.fixture
def http(module_server):
    module_server.requests.clear()
    return module_server


def _equal(a, b):
    assert len(a) == len(b)
    for u, v in zip(a, b):
        np.testing.assert_array_equal(u, v)
        assert u.dtype == v.dtype and u.flags.f_contiguous == v.flags.f_contiguous


def _field_via_xarray(url):
    ds = xr.open_dataset(url, engine="vintar")
    return ds.field.values, ds.x.values, ds.y.values, ds.z.values


def _field_via_open_file(url):
    import fsspec

    return load(fsspec.open(url))


@pytest.mark.parametrize("read", [load, _field_via_xarray, _field_via_open_file], ids=["load", "xarray", "OpenFile"])
@pytest.mark.parametrize("name", ["large.bin", "small.bin"])
def test_whole_field_over_http(http, dumps, read, name):
    blocks = len(read_field_header(dumps / name).blocks)
    http.requests.clear()
    _equal(read(http.url(name)), load(dumps / name))
    # A scan of the header and the block extents, then the data in one range.
    assert len(http.requests) <= blocks + 4, http.requests
    assert http.ranges()[-1][1] - http.ranges()[-1][0] > 0.9 * (dumps / name).stat().st_size


def test_scan_of_small_blocks_costs_few_requests(http, dumps):
    local = read_field_header(dumps / "small.bin")
    http.requests.clear()
    h = read_field_header(http.url("small.bin"))
    assert h.blocks == local.blocks and len(h.blocks) == 64
    _equal((h.x, h.y, h.z), (local.x, local.y, local.z))
    assert len(http.requests) <= 4, http.requests


@pytest.mark.parametrize("k", [0, 15, 16, 31])
def test_z_plane_fetches_only_its_blocks(http, dumps, k):
    h = read_field_header(dumps / "large.bin")
    ds = xr.open_dataset(http.url("large.bin"), engine="vintar")
    http.requests.clear()
    np.testing.assert_array_equal(ds.field.isel(z=k).values, load(dumps / "large.bin")[0][:, :, k])
    holding = [b.z0 <= k < b.z0 + b.nz_loc for b in h.blocks]
    spans = [(b.offset, b.offset + 4 * b.size) for b in h.blocks]
    ranges = http.ranges()
    assert len(http.requests) == len(ranges) and 0 < len(ranges) <= sum(holding)
    # The blocks' rows of the plane lie far apart: each is fetched alone.
    assert sum(stop - start for start, stop in ranges) == 4 * h.nx * h.ny
    for start, stop in ranges:
        for held, (lo, hi) in zip(holding, spans):
            assert held or stop <= lo or start >= hi, f"bytes {start}-{stop} reach a block without plane {k}"


@pytest.mark.parametrize("select", [
    lambda ds: ds.phase_space.values,
    lambda ds: ds.phase_space.isel(component=slice(1, 6, 2), particle=slice(500, 4200, 3)).values,
], ids=["whole", "part"])
def test_phase_space_over_http(http, dumps, select):
    local = xr.open_dataset(dumps / "phase.bin", engine="vintar", n_dimensions=3)
    remote = xr.open_dataset(http.url("phase.bin"), engine="vintar", n_dimensions=3)
    np.testing.assert_array_equal(select(remote), select(local))
    _equal([load(http.url("phase.bin"), n_dimensions=3)], [load(dumps / "phase.bin", n_dimensions=3)])


def test_chunked_and_pickled_over_http(http, dumps):
    # Chunks read in dask's threads, each its own ranges.
    local = load(dumps / "large.bin")[0]
    ds = xr.open_dataset(http.url("large.bin"), engine="vintar", chunks={})
    np.testing.assert_array_equal(ds.field.values, local)
    # A pickled dataset holds the URL, not the data.
    data = pickle.dumps(xr.open_dataset(http.url("large.bin"), engine="vintar"))
    assert len(data) < local.nbytes // 8
    np.testing.assert_array_equal(pickle.loads(data).field[:, 3:40:2, 7].values, local[:, 3:40:2, 7])


def _loaded(source, n):
    """load() of a dump as a tuple of arrays, whatever its kind."""
    out = load(source, **n)
    return out if isinstance(out, tuple) else (out,)


@pytest.mark.parametrize("kind", ["field", "phase"])
@pytest.mark.parametrize("opener", [lambda p: io.BytesIO(p.read_bytes()), lambda p: open(p, "rb")],
                         ids=["BytesIO", "file"])
def test_file_objects(tmp_path, kind, opener):
    path = tmp_path / "d.bin"
    if kind == "field":
        write_field_dump(path, *grid_values(6, 10, 8), ny_loc=[3, 7], nz_loc=[5, 3])
        n, header, part = {}, read_field_header, np.s_[1:5, 2:9:3, 4]
    else:
        write_phase_dump(path, phase_values(9, 2), 2, [4, 0, 5])
        n, header, part = {"n_dimensions": 2}, lambda p: read_phase_space_header(p, 2), np.s_[::2, 3:8]
    whole = _loaded(path, n)
    with opener(path) as f:
        f.seek(7)
        h = header(f)
        assert f.tell() == 7  # left where the caller had it
        assert h.blocks == header(path).blocks and h.well_formed
        _equal(_loaded(f, n), whole)
        var = next(iter(xr.open_dataset(f, engine="vintar", **n).data_vars.values()))
        np.testing.assert_array_equal(var.values, whole[0])
        np.testing.assert_array_equal(var[part].values, whole[0][part])


@pytest.mark.parametrize("max_range, max_gap", [(1, 0), (100, 0), (400, 1 << 20), (32 << 20, 64 << 10)])
def test_runs_in_any_ranges_place_the_same_values(tmp_path, max_range, max_gap):
    # Ranges of a run or less (split blocks, planes, particles) up to ranges
    # of many blocks: the same values in the same places.
    from dorvo.quickio import _planner, _remote

    field_path, phase_path = tmp_path / "f.bin", tmp_path / "p.bin"
    write_field_dump(field_path, *grid_values(6, 8, 6), ny_loc=[3, 5], nz_loc=[2, 4])
    write_phase_dump(phase_path, phase_values(13, 2), 2, [5, 0, 1, 7])
    field, phase = load(field_path)[0], load(phase_path, n_dimensions=2)
    h, ph = read_field_header(field_path), read_phase_space_header(phase_path, 2)
    blocks = _planner.field_blocks(h.blocks)
    for rx, ry, rz in [(range(6), range(8), range(6)), (range(1, 5, 2), range(2, 8, 3), range(0, 6, 2)),
                       (range(6), range(3, 8), range(1, 5))]:
        out = np.full((len(rx), len(ry), len(rz)), np.nan, np.float32, order="F")
        runs = _planner.field_runs(blocks, 6, rx, ry, rz, max_range)
        _planner.execute(_remote.Remote(io.BytesIO(field_path.read_bytes())), runs, out, max_gap=max_gap,
                         max_range=max_range)
        np.testing.assert_array_equal(out, field[np.ix_(rx, ry, rz)])
    out = np.full(phase.shape, np.nan, np.float32, order="F")
    entries = _planner.Entries(ph.blocks.offset, ph.blocks.count, ph.components)
    runs = _planner.phase_runs(entries, max_range=max_range)
    _planner.execute(_remote.LocalFile(phase_path), runs, out, max_gap=max_gap, max_range=max_range)
    np.testing.assert_array_equal(out, phase)


def _closed_port_url():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    return f"http://127.0.0.1:{port}/d.bin"


@pytest.mark.parametrize("call", [
    load, read_field_header, lambda u: read_phase_space_header(u, 3),
    lambda u: xr.open_dataset(u, engine="vintar"),
], ids=["load", "field-header", "phase-header", "xarray"])
def test_missing_and_unreachable_urls(http, call):
    url = http.url("missing.bin")
    with pytest.raises(FileNotFoundError, match=re.escape(f"No such file or directory: '{url}'")):
        call(url)
    url = _closed_port_url()
    with pytest.raises(OSError, match=re.escape(url)) as info:
        call(url)
    assert not isinstance(info.value, FileNotFoundError)


def _cli(capsys, *args):
    status = cli.main([str(a) for a in args])
    out, err = capsys.readouterr()
    return status, out, err


def test_cli_over_http(http, dumps, capsys, tmp_path):
    for name, n in (("large.bin", []), ("phase.bin", ["--n-dimensions", "3"])):
        remote = json.loads(_cli(capsys, "info", http.url(name), "--json", *n)[1])
        local = json.loads(_cli(capsys, "info", dumps / name, "--json", *n)[1])
        assert remote.pop("path") == http.url(name) and local.pop("path") == str(dumps / name)
        assert remote == local
        status, out, err = _cli(capsys, "plot", http.url(name), "-o", tmp_path / "x.png", *n)
        assert status == 0 and (tmp_path / "x.png").stat().st_size > 0, err
        out = tmp_path / (name + ".nc")
        status, _, err = _cli(capsys, "convert", http.url(name), out, *n)
        assert status == 0, err
        with xr.open_dataset(out) as got, xr.open_dataset(dumps / name, engine="vintar",
                                                          **({"n_dimensions": 3} if n else {})) as want:
            xr.testing.assert_identical(got.load(), want.load())
    status, _, err = _cli(capsys, "virtualize", http.url("large.bin"), "-o", tmp_path / "x.xmf")
    assert status == 2 and "points at the dump's own bytes" in err and err.count("\n") == 1, err
    url = http.url("missing.bin")
    assert _cli(capsys, "info", url) == (2, "", f"quickio: error: {url}: no such file\n")


def test_without_fsspec(http, monkeypatch, capsys):
    url = http.url("large.bin")
    monkeypatch.setitem(sys.modules, "fsspec", None)
    for call in (load, read_field_header, lambda u: xr.open_dataset(u, engine="vintar")):
        with pytest.raises(ImportError, match=re.escape(HINT)):
            call(url)
    status, out, err = _cli(capsys, "info", url)
    assert status == 2 and HINT in err and err.count("\n") == 1
    assert not http.requests

