"""open(): one opened dump, its identity pinned, behind every reader."""
import io
import os
import pickle
import re

import numpy as np
import pytest
import xarray as xr

import dorvo.quickio as qio
from dorvo.quickio._dump import streamed
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


# The BytesIO among the targets is pinned by nothing, which it says once.
@pytest.mark.filterwarnings("ignore::dorvo.quickio.UnpinnedWarning")
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
    with qio.open(tmp_path / "a") as d:
        assert d.name == str(tmp_path / "a")  # the name as given when it exists
    os.remove(tmp_path / "a")
    with qio.open(tmp_path / "a") as d:
        assert d.name == str(tmp_path / "a.bin")
    # What views and series call a dump: its file name less ".bin".
    from dorvo.quickio._io.local import dump_name

    for given, name in [("run/Ex_50.bin", "Ex_50"), ("/data/Ex_50.bin/", "Ex_50"), ("Ex_5", "Ex_5"),
                        ("run.bin/Ex", "Ex"), ("c/MAX", "MAX"), (b"a/b.bin", "b")]:
        assert dump_name(given) == name, given


def test_pickled_dump_reads_nothing_until_its_first_read(tmp_path, served, monkeypatch):
    path = tmp_path / "f.bin"
    field = _write(path)
    monkeypatch.chdir(tmp_path)
    pickled = []
    for target in ("f.bin", served.url("f.bin")):
        with qio.open(target) as d:
            pickled.append(pickle.dumps(d))
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    _write(elsewhere / "f.bin", -1.0)
    monkeypatch.chdir(elsewhere)  # a worker started in another folder
    for data in pickled:
        served.requests.clear()
        with pickle.loads(data) as d:
            assert not served.requests  # unpickling reads nothing
            assert d.name in (str(path), served.url("f.bin"))  # the absolute path
            np.testing.assert_array_equal(d.read(z=2), field[:, :, 2])
    _replace(path)
    for data in pickled:
        with pickle.loads(data) as d, pytest.raises(OSError, match="the file changed since it was opened"):
            d.read(z=1)


@pytest.mark.parametrize("fault, message", [
    ("416", r"the server {host} refused bytes \d+ to \d+ of {size} \(HTTP 416\), bytes that it announced"),
    ("short", r"asked for bytes (\d+) to \d+ of {size}, the server {host} sent bytes \1 to \d+: it does not "
              r"serve byte ranges as asked"),
    ("shifted", r"asked for bytes \d+ to \d+ of {size}, the server {host} sent bytes \d+ to \d+: it does not "
                r"serve byte ranges as asked"),
    ("whole", r"asked for bytes \d+ to \d+ of {size}, the server {host} sent the whole file \(HTTP 200\): it "
              r"does not serve byte ranges as asked"),
    ("stall", r"timed out: the server sent nothing for 0.5 s"),
])
@pytest.mark.parametrize("when", ["open", "read", "reduce"])
def test_a_misbehaving_server_is_named(tmp_path, monkeypatch, served, fault, message, when):
    # Large blocks: a scan reads less than the whole file at once.
    field, x, y, z = grid_values(64, 32, 16)
    write_field_dump(tmp_path / "f.bin", field, x, y, z, ny_loc=[16, 16], nz_loc=[8, 8])
    host = served.url("").split("/")[2]
    expected = message.format(host=re.escape(host), size=(tmp_path / "f.bin").stat().st_size)
    if when == "reduce":
        # A streamed reduction's stretches, fetched into reused buffers;
        # the first ends before the file does.
        monkeypatch.setattr(streamed, "STRETCH_BYTES", 4096)
        write_phase_dump(tmp_path / "p.bin", phase_values(3000, 1), 1, [1000, 2000])
        expected = message.format(host=re.escape(host), size=(tmp_path / "p.bin").stat().st_size)
        with qio.open(served.url("p.bin"), n_dimensions=1, timeout=0.5) as d:
            served.fault, served.stall = fault, 2.0
            with pytest.raises(OSError, match=expected):
                d.histogram(0, bins=4, range=(0, 1))
        return
    if when == "open":
        served.fault, served.stall = fault, 2.0
        with pytest.raises(OSError, match=expected):
            qio.open(served.url("f.bin"), timeout=0.5)
        return
    with qio.open(served.url("f.bin"), timeout=0.5) as d:
        served.fault, served.stall = fault, 2.0
        with pytest.raises(OSError, match=expected):
            d.read(z=1)


def test_repr_and_dask_token(tmp_path):
    """A Dump says its kind, name and state; its dask token names the file,
    the dimension count and the identity pinned, so that dask never takes
    a rewritten dump for the one it read."""
    tokenize = pytest.importorskip("dask.base").tokenize
    _write(tmp_path / "f.bin")
    write_phase_dump(tmp_path / "p.bin", phase_values(3, 2), 2)
    with qio.open(tmp_path / "f.bin") as f, qio.open(tmp_path / "f.bin") as again, \
            qio.open(tmp_path / "p.bin", n_dimensions=2) as p, qio.open(tmp_path / "p.bin", n_dimensions=0) as p0:
        assert repr(f) == f"<field Dump {f.name!r}>" and repr(p) == f"<phase-space Dump {p.name!r}>"
        assert tokenize(f) == tokenize(again) and len({tokenize(f), tokenize(p), tokenize(p0)}) == 3
        token = tokenize(f)
    assert repr(f) == f"<closed field Dump {f.name!r}>"
    _replace(tmp_path / "f.bin")
    with qio.open(tmp_path / "f.bin") as rewritten:
        assert tokenize(rewritten) != token


def travels_as(d):
    """What a pickled Dump carries: its target, dimension count, storage
    options, time-out and identity."""
    return d.__reduce__()[1][:5]


def test_a_dump_read_as_phase_space_after_opening(tmp_path):
    """A file opened without n_dimensions that is no field dump is read as
    a phase-space dump through the same source, and then travels (pickled,
    tokenized) as one; a field dump is refused. field_header() is a field
    dump's own header, of another file what the field walk found."""
    from dorvo.quickio._dump.dump import Dump

    tokenize = pytest.importorskip("dask.base").tokenize
    write_phase_dump(tmp_path / "p.bin", phase_values(5, 2), 2, [2, 3])
    _write(tmp_path / "f.bin")
    with Dump(tmp_path / "p.bin", strict=False) as d, qio.open(tmp_path / "p.bin", n_dimensions=2) as opened, \
            qio.open(tmp_path / "f.bin") as f:
        assert d.header is None
        with pytest.raises(EOFError, match=f"^{re.escape(d.name)}: file ends inside the integer parameters"):
            d.field_header()
        assert f.field_header() is f.header
        d.as_phase_space(2)
        assert d.header.path == d.name and d.header.particles == 5
        copy = pickle.loads(pickle.dumps(d))
        assert travels_as(copy) == travels_as(d) == travels_as(opened) and tokenize(d) == tokenize(opened)
        np.testing.assert_array_equal(copy.load(), opened.load())
        with pytest.raises(ValueError, match=f"^{re.escape(f.name)}: a field dump, not a phase-space dump$"):
            f.as_phase_space(2)
        assert d.whole_with() is None  # well-formed: no other count is looked for
    empty = tmp_path / "e.bin"
    write_phase_dump(empty, phase_values(0, 2), 2, [0, 0])  # whole with any count
    with qio.open(empty, n_dimensions=2) as e:
        assert e.whole_with() is None and e.load().shape == (5, 0) and e.chunks() == ((5,), (0,))


def test_a_pickled_dump_pickles_again_as_itself(tmp_path, served):
    """The copy a dask task gets travels on as the dump it came from, a
    remote one too; a file object without a file behind it refuses to
    travel."""
    write_phase_dump(tmp_path / "p.bin", phase_values(5, 2), 2, [2, 3])
    for target in (tmp_path / "p.bin", served.url("p.bin")):
        with qio.open(target, n_dimensions=2, timeout=7) as d:
            copy = pickle.loads(pickle.dumps(d))
            assert travels_as(copy) == travels_as(d) and travels_as(pickle.loads(pickle.dumps(copy))) == travels_as(d)
            copy.close()
    with pytest.warns(qio.UnpinnedWarning), qio.open(io.BytesIO((tmp_path / "p.bin").read_bytes()), n_dimensions=2) as d:
        with pytest.raises(TypeError, match=f"^{re.escape(d.name)}: a dump opened from a file object cannot be "
                                            f"pickled; open it by path or URL$"):
            pickle.dumps(d)


def test_chunks_of_a_given_size(tmp_path):
    """chunk_bytes, when given, sets the chunks of either kind of dump."""
    _write(tmp_path / "f.bin")
    write_phase_dump(tmp_path / "p.bin", phase_values(5, 2), 2, [2, 3])
    with qio.open(tmp_path / "f.bin") as f, qio.open(tmp_path / "p.bin", n_dimensions=2) as p:
        assert f.chunks() == ((4,), (6,), (6,)) and f.chunks(4 * 4 * 6 * 3) == ((4,), (6,), (3, 3))
        assert p.chunks() == ((5,), (5,)) and p.chunks(4 * 5 * 2) == ((5,), (2, 3))


def test_reductions_by_names_where_and_parts(tmp_path, monkeypatch):
    """A Dump's census, extent and select take components by their labels,
    keep the particles `where` says, and extent reads a part of the dump
    when asked: the parts' extents make the whole's."""
    ps = phase_values(6, 1)
    write_phase_dump(tmp_path / "p.bin", ps, 1, [4, 2])
    labels = ["u", "pu", "w"]
    kept = (ps[:, 1] >= 0) & (ps[:, 1] <= ps[2, 1])
    window = {"pu": (0, float(ps[2, 1]))}
    monkeypatch.setattr(streamed, "STRETCH_BYTES", 2 * 12)  # stretches of two particles: parts to share
    with qio.open(tmp_path / "p.bin", n_dimensions=1) as d:
        census = d.census("u", where=window, labels=labels)
        assert (census.selected, census.finite) == (int(kept.sum()), int(kept.sum()))
        assert census.ranges == [(float(ps[kept, 0].min()), float(ps[kept, 0].max()))]
        assert d.extent(["u", "w"], where=window, labels=labels) == [
            (float(ps[kept, k].min()), float(ps[kept, k].max())) for k in (0, 2)]
        np.testing.assert_array_equal(d.select(where=window, labels=labels), ps[kept].T)
        moments = d.moments(where=window, labels=labels)
        assert moments["count"] == kept.sum() and moments["min"].tolist() == ps[kept].min(axis=0).tolist()
        whole = d.extent(["w"], labels=labels)[0]
        parts = [d.extent(["w"], labels=labels, part=(k, 2))[0] for k in range(2)]
        assert whole not in parts and (min(p[0] for p in parts), max(p[1] for p in parts)) == whole
        counts = [d.moments(part=(k, 2))["count"] for k in range(2)]
        assert sum(counts) == 6 and max(counts) < 6
        hist, edges = d.histogram("u", weights="w", where=window, labels=labels)
        expected = np.histogram(ps[kept, 0].astype(np.float64), bins=10, weights=ps[kept, 2])
        np.testing.assert_allclose(hist, expected[0])
        np.testing.assert_allclose(edges, expected[1])
        halves = [d.histogram(0, 4, (0, 60), part=(k, 2))[0] for k in range(2)]
        assert min(h.sum() for h in halves) > 0
        np.testing.assert_array_equal(halves[0] + halves[1], d.histogram(0, 4, (0, 60))[0])
    # Bytes after the last block are no particles, read in a part or not.
    monkeypatch.undo()
    write_phase_dump(tmp_path / "t.bin", ps, 1, [4, 2], extra=b"\1\2")
    with qio.open(tmp_path / "t.bin", n_dimensions=1) as d:
        assert d.select().shape == (3, 6) and d.moments(part=(0, 1))["min"].tolist() == ps.min(axis=0).tolist()
    _write(tmp_path / "f.bin")
    with qio.open(tmp_path / "f.bin") as f, pytest.raises(
            TypeError, match=f"^{re.escape(f.name)}: the particle reductions read phase-space dumps$"):
        f.moments()
