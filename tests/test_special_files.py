"""A FIFO, a character device and a socket given as a dump: every entry point
refuses them at once as "not a regular file", before anything could wait on
them. The calls run in a child with a time-out: before the check, opening a
FIFO without a writer blocked forever."""
import os
import socket
import subprocess
import sys

import pytest

CHILD = r"""
import sys
import numpy as np
import dorvo.quickio as q
from dorvo.quickio import _scan, beamdump, convert, header, meshdump, particles, views

def buf(n=7):
    return np.empty(n, np.float32)

def entry_points(path):
    stem, raw = path[:-4], path.encode()
    yield "load", lambda: q.load(path)
    yield "load n", lambda: q.load(path, n_dimensions=3)
    yield "open", lambda: q.open(path)
    yield "read_field_header", lambda: header.read_field_header(path)
    yield "read_phase_space_header", lambda: header.read_phase_space_header(path, 3)
    yield "particles.moments", lambda: particles.moments(path, 3)
    yield "convert", lambda: convert.convert(path, path + ".nc", 3)
    yield "virtualize", lambda: views.virtualize(path, path + ".h5", n_dimensions=3)
    yield "read_Vintar_bin", lambda: meshdump.read_Vintar_bin(stem, {"nx": 1, "ny": 1, "nz": 1})
    yield "read_file", lambda: meshdump.read_file(buf(1), buf(1), buf(1), buf(1), raw)
    yield "total_phase_space_read", lambda: beamdump.total_phase_space_read(stem, {"n_dimensions": 3})
    yield "beamdump", lambda: beamdump.beamdump(buf(), 3, raw)
    yield "_scan.field", lambda: _scan.field(path)
    yield "_scan.phase", lambda: _scan.phase(path, 3)
    import xarray
    yield "xarray", lambda: xarray.open_dataset(path, engine="vintar", n_dimensions=3)

wrong = []
for path in sys.argv[1:]:
    for name, call in entry_points(path):
        try:
            call()
            wrong.append(f"{name}({path}): no error")
        except OSError as e:
            if (e.strerror, e.filename) != ("not a regular file", path):
                wrong.append(f"{name}({path}): {e!r}")
assert not wrong, "\n".join(wrong)
"""


def test_fifo_device_and_socket_are_refused_at_every_entry_point(tmp_path):
    fifo, device, sock = (str(tmp_path / f"{kind}.bin") for kind in ("fifo", "device", "socket"))
    os.mkfifo(fifo)
    os.symlink("/dev/null", device)
    server = socket.socket(socket.AF_UNIX)
    try:
        server.bind(sock)
        proc = subprocess.run([sys.executable, "-c", CHILD, fifo, device, sock], capture_output=True, text=True,
                              timeout=60)
        assert proc.returncode == 0, proc.stderr
        for path in (fifo, device, sock):
            cli = subprocess.run([sys.executable, "-m", "dorvo.quickio", "info", path, "--n-dimensions", "3"],
                                 capture_output=True, text=True, timeout=30)
            assert (cli.returncode, cli.stdout, cli.stderr) == (2, "", f"quickio: error: {path}: not a regular file\n")
    finally:
        server.close()


def test_what_a_local_open_refuses_and_how_it_says_it(tmp_path):
    # In this process (the entry points above run in children): the errno,
    # the message and the name of each refusal, and a descriptor that a
    # child process does not inherit, opened without waiting for a FIFO.
    import errno

    from dorvo.quickio._io import local as _local

    (tmp_path / "dir").mkdir()
    os.mkfifo(tmp_path / "fifo")
    os.symlink("loop", tmp_path / "loop")
    (tmp_path / "d.bin").write_bytes(b"x")
    with socket.socket(socket.AF_UNIX) as s:
        s.bind(str(tmp_path / "sock"))
        for name, by_rule, kind, number, text in [
            ("gone", True, FileNotFoundError, errno.ENOENT, "No such file or directory (nor gone.bin)"),
            ("gone", False, FileNotFoundError, errno.ENOENT, "No such file or directory"),
            ("gone.bin", True, FileNotFoundError, errno.ENOENT, "No such file or directory"),
            ("dir", True, IsADirectoryError, errno.EISDIR, "is a directory, not a dump"),
            ("fifo", True, OSError, errno.EINVAL, "not a regular file"),
            ("sock", True, OSError, errno.EINVAL, "not a regular file"),
            ("loop", True, OSError, errno.ELOOP, os.strerror(errno.ELOOP)),  # the system's own error
        ]:
            with pytest.raises(kind) as caught:
                _local._open(str(tmp_path / name), name, by_rule=by_rule)
            e = caught.value
            named = str(tmp_path / name) if name == "loop" else name
            assert (type(e), e.errno, e.strerror, e.filename) == (kind, number, text, named), name
    fd, st = _local._open(str(tmp_path / "d.bin"), "d.bin")
    try:
        assert st.st_size == 1 and not os.get_inheritable(fd)
    finally:
        os.close(fd)
