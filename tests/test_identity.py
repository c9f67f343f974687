"""Never values of another file. One matrix of targets x changes x readers:
each cell gives the exact values of the dump that was opened, or raises
OSError, but for the limits that README lists; then what the promise rests
on: the writer probe (and its reproduction in bench/torn.py), the racy
timestamp, the pins of file objects and local URLs, and the check after a
native load."""
import itertools
import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
import types
from contextlib import ExitStack
from pathlib import Path

import numpy as np
import pytest

import dorvo.quickio as qio
import dorvo.quickio.cli
from dorvo.quickio._io import local as _local
from helpers import RangeServer, phase_dump_bytes, phase_values

xr = pytest.importorskip("xarray")
fsspec = pytest.importorskip("fsspec")
pytest.importorskip("aiohttp")

N, COUNTS = 1, [3000, 0, 5000]
OLD = phase_values(8000, N)  # 96 KiB: more than a remote scan's first read
OLD_BYTES, NEW_BYTES = (phase_dump_bytes(v, N, COUNTS) for v in (OLD, OLD + 1000))
_names = itertools.count()


def _write(path, data=OLD_BYTES):
    path.write_bytes(data)
    then = time.time() - 10  # older than any change's stamp, as a run's dumps are
    os.utime(path, (then, then))


def _rewrite_keeping_mtime(path):
    st = os.stat(path)
    with open(path, "r+b") as f:
        f.write(NEW_BYTES)
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))


def _replace(path):
    Path(f"{path}.new").write_bytes(NEW_BYTES)
    os.replace(f"{path}.new", path)


def _writer(path, stop):
    """Rewrites the dump in place, new and old bytes in turns, opening it
    for each write, until `stop` is set: a run writing its output."""
    for k in itertools.count():
        if stop.wait(0.0005):
            return
        fd = os.open(path, os.O_WRONLY)
        os.pwrite(fd, (NEW_BYTES, OLD_BYTES)[k % 2], 0)
        os.close(fd)


CHANGES = {"unchanged": lambda p: None, "rewrite keeping mtime": _rewrite_keeping_mtime,
           "truncate": lambda p: os.truncate(p, 1000), "replace": _replace, "writer": _writer}
PICKED, WINDOW = slice(7, 3000, 3), {0: (5000.0, 30000.0)}
READERS = {
    "load": lambda d: d.load(),
    "read": lambda d: d.read(particles=PICKED),
    "xarray": lambda d: xr.open_dataset(d, engine="vintar", n_dimensions=N).phase_space[:, PICKED].values,
    "moments": lambda d: d.moments()["mean"],
    "select": lambda d: d.select(WINDOW),
    "histogram": lambda d: d.histogram(0, bins=7, range=(0.0, 81000.0))[0],
}


def _expected(values, reader):
    ps = values.T
    return {"load": ps, "read": ps[:, PICKED], "xarray": ps[:, PICKED], "moments": ps.astype(np.float64).mean(1),
            "select": ps[:, (ps[0] >= WINDOW[0][0]) & (ps[0] <= WINDOW[0][1])],
            "histogram": np.histogram(ps[0].astype(np.float64), 7, (0.0, 81000.0))[0]}[reader]


HTTP = {"http etag": ("etag", True), "http ignoring If-Match": ("etag", False),
        "http last-modified": ("last-modified", True)}
TARGETS = ["path", "file object", "file://", "fsspec local", *HTTP]
# What cannot be detected, and why; README's table says the same.
LIMITS = {**{(t, "rewrite keeping mtime"): "the server's validators come from the size and mtime" for t in HTTP},
          **{(t, "writer"): "a server reads a file being written as it is" for t in HTTP}}


@pytest.fixture(scope="module")
def servers(tmp_path_factory):
    root = tmp_path_factory.mktemp("matrix")
    with ExitStack() as stack:
        yield root, {kind: stack.enter_context(RangeServer(root, *how)) for kind, how in HTTP.items()}


def _target(kind, path, servers, stack):
    return {"path": lambda: path, "file object": lambda: stack.enter_context(open(path, "rb")),
            "file://": path.as_uri, "fsspec local": lambda: fsspec.open(str(path)),
            }.get(kind, lambda: servers[kind].url(path.name))()


def _probe_works(folder) -> bool:
    path = folder / f"probe{next(_names)}"
    path.write_bytes(b"\0")
    fd, sig = os.open(path, os.O_RDONLY), _local.lease_signal()
    try:
        return sig is not None and _local.probe(fd, str(path), sig)
    finally:
        os.close(fd)


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("change", CHANGES)
@pytest.mark.parametrize("target", TARGETS)
def test_trust_matrix(servers, target, change, reader):
    root, by_kind = servers
    path = root / f"d{next(_names)}.bin"
    _write(path)
    limit = LIMITS.get((target, change))
    if change == "writer" and target not in HTTP and not _probe_works(root):
        limit = "no writer probe on this file system"
    outcomes = []
    with ExitStack() as stack:
        d = stack.enter_context(qio.open(_target(target, path, by_kind, stack), n_dimensions=N))
        if change == "writer":
            stop = threading.Event()
            writer = threading.Thread(target=_writer, args=(path, stop))
            writer.start()
            stack.callback(writer.join)
            stack.callback(stop.set)
            time.sleep(0.002)
        else:
            CHANGES[change](path)
        for _ in range(3 if change == "writer" else 1):
            try:
                outcomes.append(READERS[reader](d))
            except OSError as e:
                assert change != "unchanged" and re.search("changed|being written", str(e)), e
    for got in outcomes if limit is None else ():
        np.testing.assert_array_equal(got, _expected(OLD, reader), err_msg=f"{target} x {change} x {reader}")


def test_a_writer_holding_the_file_refuses_every_read(tmp_path, capsys):
    path = tmp_path / "d.bin"
    _write(path)
    if not _probe_works(tmp_path):
        pytest.skip("no writer probe on this file system")
    line = f"{path}: the file is being written: a process holds it open for writing"
    with qio.open(path, n_dimensions=N) as d, open(path, "r+b"):
        for read in (d.load, d.moments, lambda: d.read(particles=0)):  # nothing changed: only the probe tells
            with pytest.raises(OSError, match=f"^{re.escape(line)}$"):
                read()
    with pytest.raises(OSError, match=f"^{re.escape(line)}$"), open(path, "ab"):
        qio.open(path, n_dimensions=N)
    with open(path, "ab"):
        assert qio.cli.main(["info", str(path), "--n-dimensions", "1"]) == 2
    assert capsys.readouterr().err == f"quickio: error: {line}\n"


def test_a_dump_rewritten_while_it_is_read_is_never_torn():
    # bench/torn.py, lean, in a process of its own (a lease's break that
    # sent SIGIO would end it): a writer process rewrites a 4 MiB dump in
    # place while it is read through read, load, moments, select, histogram.
    torn = Path(__file__).parent.parent / "bench" / "torn.py"
    proc = subprocess.run([sys.executable, str(torn), "--reads", "500", "--mib", "4", "--pause-ms", "5", "--json"],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    counts = json.loads(proc.stdout)
    assert sum(c["torn"] for c in counts.values()) == 0, counts


def test_racy_timestamp_rule(monkeypatch):
    # A stamp within two ticks of the pin is pinned only as a stat after the
    # wait finds it; a file whose stat keeps changing is being written.
    class Clock:
        def __init__(self, now):
            self.now, self.slept = now, []

        def time_ns(self):
            return self.now

        def sleep(self, seconds):
            self.slept.append(seconds)
            self.now += int(seconds * 1e9)

    def stat(ctime, size=100):
        return types.SimpleNamespace(st_dev=1, st_ino=2, st_size=size, st_mtime_ns=ctime, st_ctime_ns=ctime)

    monkeypatch.setattr(_local, "TICK_NS", 4_000_000)
    t = 1_700_000_000_123_456_789
    for now, stats, waits in [(t + 1000, [stat(t)], 1), (t + 1000, [stat(t), stat(t + 1, 90)], 2),
                              (t + 8_000_000, [stat(t)], 0)]:
        monkeypatch.setattr(_local, "time", Clock(now))
        seen = iter(stats + [stats[-1]] * 3)
        assert _local.pin(0, "d.bin", fstat=lambda fd: next(seen)) == stats[-1]
        assert len(_local.time.slept) == waits and all(0 < s <= 0.008 for s in _local.time.slept)
    sizes = itertools.count()
    with pytest.raises(OSError, match="^d.bin: the file is being written"):
        _local.pin(0, "d.bin", fstat=lambda fd: stat(_local.time.now, next(sizes)))
    # Whole seconds on disk, and Last-Modified against the server's Date.
    assert _local.racy_wait_ns(stat(t - t % 10**9), t - t % 10**9 + 1) == 2 * 10**9 - 1
    from dorvo.quickio._io.http import Http

    modified = {"Last-Modified": "Tue, 08 Dec 2026 07:52:02 GMT"}
    assert Http._racy_wait(modified, "Tue, 08 Dec 2026 07:52:03 GMT") == 1.0
    assert Http._racy_wait(modified, "Tue, 08 Dec 2026 07:52:04 GMT") == 0.0


def test_a_change_during_load_of_an_opened_dump(tmp_path, monkeypatch):
    # The native loader opens the path after the check before it: only the
    # check after it sees that the file it read is not the one opened.
    from dorvo.quickio import beamdump

    path, real = tmp_path / "d.bin", beamdump.beamdump
    _write(path)
    monkeypatch.setattr(beamdump, "beamdump", lambda *a: (_rewrite_keeping_mtime(path), real(*a))[1])
    with qio.open(path, n_dimensions=N) as d, pytest.raises(OSError, match="the file changed while it was read$"):
        d.load()


def test_local_targets_and_file_objects_are_pinned(tmp_path):
    # (device, inode) of the very file, whatever names it: what refuses an
    # output that holds the input.
    import gzip
    import io

    path, gz = tmp_path / "d.bin", tmp_path / "d.bin.gz"
    _write(path)
    gz.write_bytes(gzip.compress(OLD_BYTES))
    with open(path, "rb") as f, os.fdopen(os.open(path, os.O_RDONLY), "rb") as nameless, gzip.open(gz) as packed:
        for target, pinned in [(path, path), (f, path), (nameless, path), (path.as_uri(), path),
                               (f"simplecache::{path.as_uri()}", path), (fsspec.open(str(path)), path),
                               (packed, gz)]:  # a gzip file is read through itself, pinned by its file
            with qio.open(target, n_dimensions=N) as d:
                st = os.stat(pinned)
                assert d.is_local and d.identity[:2] == (st.st_dev, st.st_ino), target
                np.testing.assert_array_equal(d.load(), OLD.T)
        with qio.open(nameless, n_dimensions=N) as d:
            _rewrite_keeping_mtime(path)
            with pytest.raises(OSError, match="the file changed since it was opened"):
                d.read(particles=0)
    with pytest.warns(qio.UnpinnedWarning, match=r"^<BytesIO object>: nothing pins this file's identity \(a file "
                                                 r"object without the descriptor of a regular file\)") as seen:
        with qio.open(io.BytesIO(OLD_BYTES), n_dimensions=N) as d:
            d.load(), d.read(particles=1)
    assert len(seen) == 1
    with RangeServer(tmp_path, "none") as server, pytest.warns(qio.UnpinnedWarning, match="the server gives no"):
        qio.open(server.url("d.bin"), n_dimensions=N).close()


def test_the_writer_probe_vouches_where_the_system_grants_leases(tmp_path, monkeypatch):
    # Against fcntl itself: where a read lease can be taken on a file of
    # ours, the probe vouches; a writer makes it raise; a system that
    # refuses any of its calls otherwise makes it say it cannot tell.
    import errno
    import fcntl

    path = tmp_path / "d.bin"
    path.write_bytes(b"\0" * 8)
    fd = os.open(path, os.O_RDONLY)
    try:
        try:
            fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_RDLCK)
            fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_UNLCK)
            granted = True
        except OSError:
            granted = False
        sig = _local.lease_signal()
        assert sig == signal.SIGURG  # neither signal has a handler in the tests
        assert _local.probe(fd, "d.bin", sig) is granted
        if granted:
            with open(path, "r+b"), pytest.raises(OSError, match="^d.bin: the file is being written"):
                _local.probe(fd, "d.bin", sig)

        real, calls = fcntl.fcntl, []
        monkeypatch.setattr(fcntl, "fcntl", lambda fd, cmd, arg=0: (calls.append((cmd, arg)), real(fd, cmd, arg))[1])
        _local.probe(fd, "d.bin", sig)
        assert calls[0] == (fcntl.F_SETSIG, sig)  # a lease's break never sends SIGIO, which ends the process
        for refused, number, outcome in [(fcntl.F_SETSIG, errno.EINVAL, False), (fcntl.F_SETLEASE, errno.EACCES, False),
                                         (fcntl.F_SETLEASE, errno.EAGAIN, OSError)]:
            def fake(fd, cmd, arg=0, refused=refused, number=number):
                if cmd == refused and arg != fcntl.F_UNLCK:
                    raise OSError(number, os.strerror(number))
                return real(fd, cmd, arg)

            monkeypatch.setattr(fcntl, "fcntl", fake)
            if outcome is OSError:
                with pytest.raises(OSError, match="being written"):
                    _local.probe(fd, "d.bin", sig)
            else:
                assert _local.probe(fd, "d.bin", sig) is outcome, (refused, number)
            monkeypatch.setattr(fcntl, "fcntl", real)
    finally:
        os.close(fd)


def test_the_lease_signal_is_one_without_a_handler(monkeypatch):
    # SIGIO, a lease break's default, would end the process: the signal
    # chosen instead is one nobody handles, and none when both are taken
    # or the system has no leases.
    import fcntl

    for handled, want in [((), signal.SIGURG), ((signal.SIGURG,), signal.SIGWINCH),
                          ((signal.SIGWINCH,), signal.SIGURG), ((signal.SIGURG, signal.SIGWINCH), None)]:
        monkeypatch.setattr(signal, "getsignal", lambda s, handled=handled: print if s in handled else signal.SIG_IGN)
        assert _local.lease_signal() == want, handled
    monkeypatch.undo()
    for missing in ("F_SETLEASE", "F_SETSIG"):
        with monkeypatch.context() as m:
            m.delattr(fcntl, missing)
            assert _local.lease_signal() is None, missing
    monkeypatch.setattr(_local, "fcntl", None)
    assert _local.lease_signal() is None


def test_the_coarse_tick_of_file_stamps(monkeypatch):
    # The resolution of the coarse clock (5 on Linux where Python lacks the
    # name), never under 1 ms; 10 ms where it cannot be told.
    def clock(resolutions, **names):
        def getres(c):
            value = resolutions[c]
            if isinstance(value, Exception):
                raise value
            return value
        return types.SimpleNamespace(clock_getres=getres, **names)

    cases = [("linux", clock({7: 0.004, 5: 0.002}, CLOCK_REALTIME_COARSE=7), 4_000_000),
             ("linux", clock({7: 0.004, 5: 0.002}), 2_000_000),
             ("darwin", clock({7: 0.004, 5: 0.002}), 10_000_000),
             ("linux", clock({5: 3.0}), 3_000_000_000),
             ("linux", clock({5: 1e-9}), 1_000_000),
             ("linux", clock({5: OSError(22, "no such clock")}), 10_000_000)]
    for platform, fake, want in cases:
        monkeypatch.setattr(_local, "sys", types.SimpleNamespace(platform=platform))
        monkeypatch.setattr(_local, "time", fake)
        assert _local._coarse_tick_ns() == want, (platform, want)


def test_fetch_gathers_short_reads_and_names_a_shrunk_file(tmp_path, monkeypatch):
    # pread may return less than asked: the rest is read on; nothing where
    # bytes should be is a file that shrank while it was read.
    path = tmp_path / "d.bin"
    data = bytes(range(256)) * 40
    _write(path, data)
    ranges = [(0, 10), (5, 5), (100, 3000), (9000, 10240)]
    real = os.pread
    f = _local.LocalFile(path)
    try:
        for most in (1, 7, 4096):
            monkeypatch.setattr(_local.os, "pread", lambda fd, n, at, most=most: real(fd, min(n, most), at))
            assert f.fetch(ranges) == [data[s:e] for s, e in ranges], most
        monkeypatch.setattr(_local.os, "pread", lambda fd, n, at: real(fd, min(n, 7), at) if at < 50 else b"")
        with pytest.raises(OSError, match=f"^{re.escape(str(path))}: the file changed while it was read$"):
            f.fetch([(0, 100)])
        monkeypatch.setattr(_local.os, "pread", real)
        _rewrite_keeping_mtime(path)
        with pytest.raises(OSError, match=f"^{re.escape(str(path))}: the file changed since it was opened$"):
            f.fetch(ranges)
    finally:
        f.close()
    _write(path, data)
    # A writer between the read and the check after it.
    monkeypatch.setattr(_local.os, "pread", lambda fd, n, at: (_rewrite_keeping_mtime(path), real(fd, n, at))[1])
    f = _local.LocalFile(path)
    with pytest.raises(OSError, match=f"^{re.escape(str(path))}: the file changed while it was read$"):
        f.fetch(ranges)
    f.close()
