"""Dumps over HTTP and from file objects: the same values as local loads,
from only the byte ranges that a read needs. A loopback server that serves
byte ranges counts the requests."""
import contextlib
import errno
import io
import json
import os
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


class _Trickle(io.RawIOBase):
    """A raw stream that gives at most 5 bytes a read, as pipes and network files may."""

    def __init__(self, data):
        self._f = io.BytesIO(data)

    def readable(self):
        return True

    def seekable(self):
        return True

    def seek(self, offset, whence=0):
        return self._f.seek(offset, whence)

    def tell(self):
        return self._f.tell()

    def readinto(self, b):
        return self._f.readinto(memoryview(b)[:5])


@pytest.mark.filterwarnings("ignore::dorvo.quickio.UnpinnedWarning")
@pytest.mark.parametrize("kind", ["field", "phase"])
@pytest.mark.parametrize("opener", [lambda p: io.BytesIO(p.read_bytes()), lambda p: open(p, "rb"),
                                    lambda p: _Trickle(p.read_bytes())], ids=["BytesIO", "file", "short reads"])
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


@pytest.mark.filterwarnings("ignore::dorvo.quickio.UnpinnedWarning")
@pytest.mark.parametrize("max_range, max_gap", [(1, 0), (100, 0), (400, 1 << 20), (32 << 20, 64 << 10)])
def test_runs_in_any_ranges_place_the_same_values(tmp_path, max_range, max_gap):
    # Ranges of a run or less (split blocks, planes, particles) up to ranges
    # of many blocks: the same values in the same places.
    from dorvo.quickio._dump import planner as _planner
    from dorvo.quickio._io import local as _local, sources as _sources

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
        _planner.execute(_sources.FileObject(io.BytesIO(field_path.read_bytes())), runs, out, max_gap=max_gap,
                         max_range=max_range)
        np.testing.assert_array_equal(out, field[np.ix_(rx, ry, rz)])
    out = np.full(phase.shape, np.nan, np.float32, order="F")
    entries = _planner.Entries(ph.blocks.entries, ph.blocks.count, ph.components)
    runs = _planner.phase_runs(entries, max_range=max_range)
    _planner.execute(_local.LocalFile(phase_path), runs, out, max_gap=max_gap, max_range=max_range)
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
            assert got.attrs.pop("quickio_output") == "convert"
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



def test_cli_warns_in_one_line(dumps, capsys):
    """A warning of ours (a server that pins nothing) is one line on stderr,
    not Python's warning with the line of our code that raised it."""
    import warnings

    with RangeServer(dumps, validators="none") as server, warnings.catch_warnings():
        warnings.simplefilter("always")
        status, _, err = _cli(capsys, "info", server.url("phase.bin"), "--n-dimensions", "3")
    assert status == 0 and err == (f"quickio: warning: {server.url('phase.bin')}: nothing pins this file's identity "
                                   "(the server gives no ETag, Last-Modified or version); a change to it while it "
                                   "is read cannot be detected\n")


# What object stores and other fsspec file systems report in info() that pins
# an object's version: a rewrite changes it, and the reads after refuse it.
STORE_VALIDATORS = ["ETag", "Last-Modified", "Content-MD5", "Digest", "VersionId", "version_id", "LastModified",
                    "mtime", "generation", "etag", "last_modified"]


@pytest.mark.parametrize("validator", [*STORE_VALIDATORS, None])
def test_object_stores_are_pinned_by_their_validators(tmp_path, monkeypatch, validator):
    """A dump on an fsspec file system other than HTTP (the memory one,
    reporting what an object store would): pinned by the validator its
    info() gives, asked again after every batch; none gives a warning."""
    import fsspec
    from fsspec.implementations.memory import MemoryFileSystem

    from dorvo.quickio import UnpinnedWarning, open as qopen

    write_phase_dump(tmp_path / "p.bin", phase_values(9, 2), 2, [4, 0, 5])
    monkeypatch.setattr(MemoryFileSystem, "store", {})  # the test's own, left behind with it
    fsspec.filesystem("memory").pipe_file("/p.bin", (tmp_path / "p.bin").read_bytes())
    version = {"v": "1"}
    real_info = MemoryFileSystem.info
    monkeypatch.setattr(MemoryFileSystem, "info", lambda self, path, **kw: {
        **real_info(self, path, **kw), **({validator: version["v"]} if validator else {})})
    url = "memory://p.bin"
    with pytest.warns(UnpinnedWarning) if validator is None else contextlib.nullcontext():
        d = qopen(url, n_dimensions=2)
    with d:
        np.testing.assert_array_equal(d.load(), load(tmp_path / "p.bin", n_dimensions=2))
        version["v"] = "2"  # a new version of the object, of the same size
        if validator is None:
            d.load()  # nothing tells it from the one opened
            return
        with pytest.raises(OSError, match="the file changed since it was opened"):
            d.load()


@pytest.mark.parametrize("answer", ["short", "long", "error"])
def test_a_file_system_that_answers_other_bytes_is_refused(tmp_path, monkeypatch, answer):
    import fsspec
    from fsspec.implementations.memory import MemoryFileSystem

    from dorvo.quickio import open as qopen

    data = write_phase_dump(tmp_path / "p.bin", phase_values(9, 2), 2, [4, 0, 5])
    monkeypatch.setattr(MemoryFileSystem, "store", {})
    fsspec.filesystem("memory").pipe_file("/p.bin", data)
    real_info = MemoryFileSystem.info
    monkeypatch.setattr(MemoryFileSystem, "info", lambda self, path, **kw: {**real_info(self, path, **kw), "etag": "1"})
    with qopen("memory://p.bin", n_dimensions=2) as d:
        sent = {"short": lambda b: b[:-1], "long": lambda b: b + b"x", "error": lambda b: ValueError("lost")}[answer]
        monkeypatch.setattr(MemoryFileSystem, "cat_ranges", lambda self, paths, starts, ends, **kw: [
            sent(data[s:e]) for s, e in zip(starts, ends)])
        size = len(data)
        message = ("ValueError: lost: .memory://p.bin." if answer == "error" else
                   rf"asked for bytes \d+ to \d+ of {size}, the file system sent \d+ bytes: it does not serve byte "
                   r"ranges as asked: 'memory://p.bin'")
        with pytest.raises(OSError, match=message) as got:
            d.load()
        assert got.value.errno == errno.EIO


class _Status(Exception):
    """A client library's error for an answer: its status and message."""

    def __init__(self, status, message=""):
        super().__init__(f"{status}, message={message!r}")
        self.status, self.message = status, message


class ServerTimeoutError(Exception):
    pass  # named as aiohttp's


def _as_fsspec_reports_it(cause):
    """fsspec's HTTP file system reports a failure to learn a size as
    FileNotFoundError, the real failure its cause."""
    e = FileNotFoundError("d.bin")
    e.__cause__ = cause
    return e


def _Bare(status, base=Exception):
    """An error of a client library that carries a status alone."""
    e = type("Bare", (base,), {})()
    e.status = status
    return e


class _ClientError(OSError):
    """A client library's OSError, whose text says more than its strerror."""

    def __str__(self):
        return "Cannot reach host h:80"


def _caused(e, cause):
    e.__cause__ = cause
    return e


@pytest.mark.parametrize("raised, kind, code, text", [
    (_Status(412), OSError, None, "the file changed since it was opened"),
    (_as_fsspec_reports_it(_Status(412)), OSError, None, "the file changed since it was opened"),
    (TimeoutError(), TimeoutError, errno.ETIMEDOUT, "timed out: the server sent nothing for 2.5 s"),
    (ServerTimeoutError("slow"), TimeoutError, errno.ETIMEDOUT, "timed out: the server sent nothing for 2.5 s"),
    (_Status(416), OSError, errno.EIO, "the server refused a byte range within the file's size (HTTP 416): "
                                       "it does not serve byte ranges as it announced"),
    (_Status(401), PermissionError, errno.EACCES, "access refused (HTTP 401)"),
    (_as_fsspec_reports_it(_Status(403)), PermissionError, errno.EACCES, "access refused (HTTP 403)"),
    (_Status(503, "Busy"), OSError, errno.EIO, "the server answered HTTP 503 Busy"),
    (_Status(500), OSError, errno.EIO, "the server answered HTTP 500"),
    (_as_fsspec_reports_it(_Status(404)), FileNotFoundError, errno.ENOENT, os.strerror(errno.ENOENT)),
    (_as_fsspec_reports_it(_Status(410)), FileNotFoundError, errno.ENOENT, os.strerror(errno.ENOENT)),
    (_as_fsspec_reports_it(ConnectionRefusedError(errno.ECONNREFUSED, "Connection refused")),
     ConnectionRefusedError, errno.ECONNREFUSED, "Connection refused"),
    (_as_fsspec_reports_it(None), FileNotFoundError, errno.ENOENT, os.strerror(errno.ENOENT)),
    (OSError(errno.EHOSTUNREACH, "No route to host"), OSError, errno.EHOSTUNREACH, "No route to host"),
    (OSError(), OSError, errno.EIO, ""),
    (ValueError("bad chunk"), OSError, errno.EIO, "ValueError: bad chunk"),
    (type("TimeoutError", (Exception,), {})(), TimeoutError, errno.ETIMEDOUT,
     "timed out: the server sent nothing for 2.5 s"),  # a client library's own
    (_caused(ValueError("bad chunk"), _Status(503)), OSError, errno.EIO, "ValueError: bad chunk"),
    (_Bare(502), OSError, errno.EIO, "the server answered HTTP 502"),  # a status without a message
    (_as_fsspec_reports_it(ValueError("no size")), FileNotFoundError, errno.ENOENT, os.strerror(errno.ENOENT)),
    (_as_fsspec_reports_it(_Bare(404, OSError)), FileNotFoundError, errno.ENOENT, os.strerror(errno.ENOENT)),
    (_ClientError(errno.ECONNRESET, "reset"), ConnectionResetError, errno.ECONNRESET, "Cannot reach host h:80"),
])
def test_what_a_file_system_raises_becomes_an_oserror_naming_the_file(raised, kind, code, text):
    from dorvo.quickio._io.remote import calls

    with pytest.raises(OSError) as got, calls("memory://d.bin", timeout=2.5):
        raise raised
    e = got.value
    assert type(e) is kind and e.__cause__ is raised, repr(e)
    assert str(e) == (f"memory://d.bin: {text}" if code is None else f"[Errno {code}] {text}: 'memory://d.bin'")
    # Ours, already naming the file, and Python's own pass unchanged.
    for own in (OSError(errno.EIO, "ours", "memory://d.bin"), OSError("memory://d.bin: ours"), KeyboardInterrupt(),
                MemoryError(), ImportError("no fsspec")):
        with pytest.raises(type(own)) as passed, calls("memory://d.bin"):
            raise own
        assert passed.value is own


def test_what_is_read_by_ranges_and_how_it_is_named(tmp_path):
    """URLs (chained ones too) and fsspec OpenFiles are read through fsspec,
    binary file objects by their methods; paths, bytes and one-letter
    schemes (a drive) are not; a file object is named by its name, or its
    type when it has none."""
    import fsspec

    from dorvo.quickio._io import remote

    (tmp_path / "d.bin").write_bytes(b"")
    with open(tmp_path / "d.bin", "rb") as f, open(os.dup(f.fileno()), "rb") as by_fd:
        kinds = {
            "http://h/d.bin": "url", "simplecache::s3://b/d.bin": "url", "s3+x.y-z://b": "url",
            "C://d.bin": None, "d.bin": None, "://d.bin": None, b"http://h/d.bin": None, tmp_path / "d.bin": None,
            fsspec.open("memory://d.bin"): "open file", io.BytesIO(): "file object", f: "file object",
        }
        for target, kind in kinds.items():
            assert (remote.is_url(target), remote.is_open_file(target), remote.is_file_object(target)) == (
                kind == "url", kind == "open file", kind == "file object"), target
            assert remote.is_remote(target) == (kind is not None), target
        assert [remote.file_name(g) for g in (f, by_fd, io.BytesIO())] == [
            str(tmp_path / "d.bin"), "<BufferedReader object>", "<BytesIO object>"]
    with pytest.raises(TypeError, match="^expected a path, a URL, an fsspec OpenFile or a binary file object with "
                                        r"seek\(\) and read\(\), not int$"):
        remote.Remote(3)


def test_globs_of_urls(monkeypatch):
    """A URL with a pattern is globbed by its file system, the options given
    passed on; one without is itself; a failing glob names the pattern."""
    import fsspec
    from fsspec.implementations.memory import MemoryFileSystem

    from dorvo.quickio._io import remote

    monkeypatch.setattr(MemoryFileSystem, "store", {})
    fs = fsspec.filesystem("memory")
    for name in ("ps_10.bin", "ps_2.bin", "qs_1.bin"):
        fs.pipe_file(f"/run/{name}", b"")
    assert sorted(remote.glob("memory://run/ps_*.bin")) == ["memory:///run/ps_10.bin", "memory:///run/ps_2.bin"]
    assert remote.glob("memory://run/[pq]s_1*.bin", {}) == ["memory:///run/ps_10.bin", "memory:///run/qs_1.bin"]
    assert remote.glob("memory://run/none.bin", None) == ["memory://run/none.bin"]
    seen = []
    monkeypatch.setattr(remote, "_filesystem", lambda url, options: seen.append(options) or (fs, "/run/qs_*"))
    assert remote.glob("memory://run/qs_*", {"anon": True}) == ["memory:///run/qs_1.bin"] and seen == [{"anon": True}]
    monkeypatch.setattr(MemoryFileSystem, "glob", lambda self, path: 1 / 0)
    with pytest.raises(OSError, match=r"ZeroDivisionError: division by zero: 'memory://run/qs_\*'"):
        remote.glob("memory://run/qs_*")


@pytest.mark.parametrize("fails", ["read", "seek"])
def test_a_scan_that_fails_names_the_file(tmp_path, monkeypatch, fails):
    """The scan of a dump on a file system other than HTTP: what its file
    raises becomes the OSError naming the dump, with the time-out given;
    the warning of an unpinned dump points at the caller."""
    import fsspec
    from fsspec.implementations.memory import MemoryFile, MemoryFileSystem

    from dorvo.quickio import UnpinnedWarning, open as qopen

    monkeypatch.setattr(MemoryFileSystem, "store", {})
    fsspec.filesystem("memory").pipe_file("/p.bin", write_phase_dump(tmp_path / "p.bin", phase_values(9, 2), 2))
    with pytest.warns(UnpinnedWarning) as warned:
        qopen("memory://p.bin", n_dimensions=2).close()
    assert warned[0].filename == __file__
    monkeypatch.setattr(MemoryFile, fails, lambda self, *a: (_ for _ in ()).throw(TimeoutError()))
    with pytest.warns(UnpinnedWarning), pytest.raises(TimeoutError) as got:
        qopen("memory://p.bin", n_dimensions=2, timeout=2.5)
    assert str(got.value) == f"[Errno {errno.ETIMEDOUT}] timed out: the server sent nothing for 2.5 s: 'memory://p.bin'"
