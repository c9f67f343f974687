"""A loader returns only what it can vouch for: a dump that changes while it
is loaded raises, Ctrl-C ends a long read, a header that is no dump fails at
once, and the readers stay inside their buffers on the paths few dumps take
(entries larger than a read buffer, files shorter than their size says)."""
import mmap
import os
import signal
import struct
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

from dorvo.quickio import _scan, beamdump, meshdump
from helpers import (TESTS_DIR, buffer_root, field_dump_bytes, fortran_records, grid_values, lines_in,
                     phase_dump_bytes, phase_values, run_isolated, slow_storage, under_sanitizer)

FIELD, FIELD_SOURCE = "meshdump.read_Vintar_bin", "dorvo/quickio/meshdump"
PHASE, PHASE_SOURCE = "beamdump.total_phase_space_read", "dorvo\\quickio\\beamdump"
SHAPE = (4, 3, 2)
PARAMS = dict(zip(("nx", "ny", "nz"), SHAPE))
SENTINEL = -7.5


def rewrite(path, data, *, in_place):
    """Puts `data` at `path`: over the same inode, or as a new file moved
    into its place (how most programs save)."""
    if in_place:
        with open(path, "r+b") as f:
            f.truncate(0)
            f.write(data)
    else:
        tmp = str(path) + ".new"
        with open(tmp, "wb") as f:
            f.write(data)
        os.replace(tmp, path)


class Rewriting(dict):
    """params whose item access rewrites the dump once, mid-load."""
    def __init__(self, values, path, data, in_place):
        super().__init__(values)
        self.todo = (path, data, in_place)

    def __getitem__(self, key):
        if self.todo:
            rewrite(*self.todo[:2], in_place=self.todo[2])
            self.todo = None
        return super().__getitem__(key)


# Replacements that a simulation writing its next output could make: the
# same grid with other values (another size of header), a smaller grid.
FIELD_REWRITES = {
    "other grid": field_dump_bytes(grid_values(4, 3, 1)[0]),
    "same grid, longer header": field_dump_bytes(grid_values(*SHAPE)[0], nparam=24),
}


@pytest.mark.parametrize("in_place", [True, False], ids=["in place", "replaced"])
@pytest.mark.parametrize("new", list(FIELD_REWRITES))
def test_field_dump_rewritten_during_load(tmp_path, new, in_place):
    path = tmp_path / "run.bin"
    path.write_bytes(field_dump_bytes(grid_values(*SHAPE)[0]))
    params = Rewriting(PARAMS, path, FIELD_REWRITES[new], in_place)
    with pytest.raises(OSError, match="changed while it was read") as e:
        meshdump.read_Vintar_bin(str(tmp_path / "run"), params)
    assert str(path) in str(e.value) and lines_in(e.value, FIELD) == [(FIELD_SOURCE, 49)]


@pytest.mark.parametrize("in_place", [True, False], ids=["in place", "replaced"])
@pytest.mark.parametrize("when", ["before the count", "before the data"])
def test_phase_dump_rewritten_during_load(tmp_path, monkeypatch, when, in_place):
    path = tmp_path / "run.bin"
    path.write_bytes(phase_dump_bytes(phase_values(6, 1), 1, [4, 2]))
    smaller = phase_dump_bytes(phase_values(5, 1), 1, [4, 1])
    params = {"n_dimensions": 1}
    if when == "before the count":
        params, line = Rewriting(params, path, smaller, in_place), 25
    else:
        real = beamdump.beamdump

        def emptied_first(ps, n, f_path):
            rewrite(path, smaller, in_place=in_place)
            return real(ps, n, f_path)

        monkeypatch.setattr(beamdump, "beamdump", emptied_first)
        line = 32
    with pytest.raises(OSError, match="changed") as e:
        beamdump.total_phase_space_read(str(tmp_path / "run"), params)
    assert str(path) in str(e.value) and lines_in(e.value, PHASE) == [(PHASE_SOURCE, line)]


def rewrite_keeping_mtime(path, data):
    """Rewrites `path` in place with `data` of the same length and sets its
    times back, as cp -p, touch -r or rsync -t --inplace leave a file: only
    its status-change time tells."""
    before = os.stat(path)
    assert len(data) == before.st_size
    with open(path, "r+b") as f:
        f.write(data)
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))


@pytest.mark.parametrize("kind", ["field", "phase"])
def test_same_size_rewrite_keeping_mtime_during_load(tmp_path, monkeypatch, kind):
    path = tmp_path / "run.bin"
    if kind == "field":
        field = grid_values(*SHAPE)[0]
        path.write_bytes(field_dump_bytes(field))
        new, module, entry = field_dump_bytes(field + 1000), meshdump, "read_file"
        load = lambda: meshdump.read_Vintar_bin(str(tmp_path / "run"), PARAMS)  # noqa: E731
    else:
        path.write_bytes(phase_dump_bytes(phase_values(6, 1), 1, [4, 2]))
        new, module, entry = phase_dump_bytes(phase_values(6, 1) + 1000, 1, [4, 2]), beamdump, "beamdump"
        load = lambda: beamdump.total_phase_space_read(str(tmp_path / "run"), {"n_dimensions": 1})  # noqa: E731
    real = getattr(module, entry)

    def rewritten_first(*args):
        rewrite_keeping_mtime(path, new)
        return real(*args)

    monkeypatch.setattr(module, entry, rewritten_first)
    with pytest.raises(OSError, match="changed while it was read; it was written to during the load"):
        load()


# ---- the interpreter's end ------------------------------------------------

ENDING_DURING_A_READ = textwrap.dedent("""
    import sys, threading, time
    import numpy as np
    from dorvo.quickio import meshdump

    def reader():
        try:
            meshdump.read_file(*(np.zeros(n, np.float32) for n in (24, 4, 3, 2)), sys.argv[1].encode())
        except Exception:
            pass

    threading.Thread(target=reader, daemon=True).start()
    # The reader waits in a read for the storage, the lock released; the
    # read returns while the interpreter ends, and the reader wants the
    # lock back.
    time.sleep(0.3)
""")


def test_daemon_thread_reading_as_the_interpreter_ends(tmp_path, shim):
    # The process ends normally; the reader never takes the lock back.
    path = tmp_path / "f.bin"
    path.write_bytes(field_dump_bytes(grid_values(4, 3, 2)[0]))
    for _ in range(3):
        run_isolated(ENDING_DURING_A_READ.replace("sys.argv[1]", repr(str(path))),
                     env=slow_storage(shim, path, 0.5), timeout=60)


# ---- Ctrl-C -------------------------------------------------------------

INTERRUPTED = textwrap.dedent("""
    import os, sys, traceback
    from dorvo.quickio import beamdump, meshdump
    import numpy as np
    kind, path = sys.argv[1], sys.argv[2]
    print("ready", flush=True)
    try:
        if kind == "count":
            beamdump.total_phase_space_read(path[:-4], {{"n_dimensions": 3}})
        else:
            meshdump.read_file(*(np.zeros(1 << 26, np.float32) for _ in range(4)), os.fsencode(path))
    except KeyboardInterrupt as e:
        print("interrupted", [(f.name, f.lineno) for f in traceback.extract_tb(e.__traceback__)
                              if "." in f.name], flush=True)
    else:
        print("finished", flush=True)
""")


@pytest.mark.parametrize("kind", ["count", "slow storage"])
def test_ctrl_c_ends_a_native_read(tmp_path, kind, request):
    path = tmp_path / "big.bin"
    env = dict(os.environ, PYTHONPATH=str(TESTS_DIR))
    if kind == "count":
        # 64 GiB of holes: a count pass over that many empty blocks would run
        # for many seconds.
        with open(path, "wb") as f:
            f.truncate(64 << 30)
        where = [(PHASE, 25)]
    else:
        # Blocks of 16 MiB (holes) from storage that keeps each read 2 s: the
        # read of them all would take half a minute.
        nx, ny, heights = 1024, 1024, [4] * 12
        with open(path, "wb") as f:
            f.write(fortran_records([np.int32(20).tobytes(), np.array(
                [1, len(heights), 0, nx, ny, 0, sum(heights)] + [3] * 13, "<i4").tobytes(), bytes(80)]))
            for h in heights:
                f.write(fortran_records([np.array([nx, ny, h], "<i4").tobytes()]) + np.int32(4 * nx * ny * h).tobytes())
                f.seek(4 * nx * ny * h, os.SEEK_CUR)
                f.write(np.int32(4 * nx * ny * h).tobytes())
            f.write(fortran_records([bytes(4 * nx), bytes(4 * ny), bytes(4 * sum(heights))]))
        env = slow_storage(request.getfixturevalue("shim"), path, 2.0)
        env["QUICKIO_READ_THREADS"] = "1"
        where = [("meshdump.read_file", 65)]
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED.format(), kind, str(path)],
                             stdout=subprocess.PIPE, text=True, env=env)
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=60)
    finally:
        child.kill()
    assert out == f"interrupted {where}\n"


# ---- headers that are no dump --------------------------------------------

BOUNDED = textwrap.dedent("""
    import resource, struct
    from dorvo.quickio import meshdump
    # Reading the count's worth of parameters would need gigabytes. (The
    # sanitizer's shadow memory needs more address space than any limit.)
    if not {sanitizer}:
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
    try:
        meshdump.read_Vintar_bin({stem!r}, {{"nx": 1, "ny": 1, "nz": 1}})
    except struct.error as e:
        assert str(e) == "unpack requires a buffer of {nbytes} bytes", e
    else:
        raise AssertionError("loaded")
""")


def test_huge_nparam_fails_before_reading(tmp_path):
    # 2 GiB that is no dump: Nparam would put the parameter records past its end.
    path = tmp_path / "big.bin"
    nparam = (1 << 29) - 3
    with open(path, "wb") as f:
        f.truncate(2 << 30)
        f.write(struct.pack("<ii", 4, nparam))
    run_isolated(BOUNDED.format(stem=str(path)[:-4], nbytes=4 * nparam, sanitizer=under_sanitizer()))


def test_block_of_more_bytes_than_an_offset_holds(tmp_path):
    # A 252-byte file whose grid (2^31-1, 2^31-1, 1) passes the header
    # checks and whose one block claims 4 * (2^31-1)^2 bytes, past int64:
    # the scan reports where the dump stops making sense, allocating
    # nothing for it.
    ints = np.arange(1000, 1020, dtype="<i4")
    ints[[0, 1, 3, 4, 6, 14]] = [1, 1, 2**31 - 1, 2**31 - 1, 1, 3]
    head = fortran_records([np.int32(20).tobytes(), ints.tobytes(), np.zeros(20, "<f4").tobytes(),
                            np.array([2**31 - 1, 2**31 - 1, 1], "<i4").tobytes()])
    path = tmp_path / "huge.bin"
    path.write_bytes(head + bytes(252 - len(head)))
    s = _scan.field(str(path))
    assert (s.stopped_at, s.eof, s.axes) == (192, True, None)
    assert s.reason == ("file ends inside the data of block (layer 0, column 0): it claims "
                           f"{(2**31 - 1)**2} values, more bytes than any file holds")


class ListingStruct:
    """A stand-in `struct` whose unpack returns a list."""
    error = struct.error

    @staticmethod
    def unpack(fmt, data):
        return list(struct.unpack(fmt, data))


def test_unpack_result_type_checked(tmp_path, monkeypatch):
    (tmp_path / "run.bin").write_bytes(field_dump_bytes(grid_values(*SHAPE)[0]))
    monkeypatch.setattr(meshdump, "struct", ListingStruct)
    with pytest.raises(TypeError, match="struct.unpack returned list, not a tuple of 1 values") as e:
        meshdump.read_Vintar_bin(str(tmp_path / "run"), PARAMS)
    assert lines_in(e.value, FIELD) == [(FIELD_SOURCE, 29)]


# ---- readers on rare paths stay inside their buffers ------------------------

@pytest.mark.parametrize("n", [0, 3, 70000, 600000], ids=lambda n: f"n={n}")
def test_entries_of_every_size(tmp_path, n):
    # Entries from 8 bytes to larger than a read buffer (4.8 MB at n=600000,
    # read component by component straight into place).
    parts = np.random.default_rng(n).standard_normal((3, 2 * n + 1)).astype(np.float32)
    path = tmp_path / "ps.bin"
    path.write_bytes(phase_dump_bytes(parts, n, [2, 0, 1]))
    buf = np.full(parts.size + 5, SENTINEL, np.float32)
    assert beamdump.beamdump(buf, n, bytes(path)) is buf
    np.testing.assert_array_equal(buf[:parts.size], parts.ravel())
    assert (buf[parts.size:] == SENTINEL).all()
    loaded = beamdump.total_phase_space_read(str(path)[:-4], {"n_dimensions": n})
    np.testing.assert_array_equal(loaded, parts.T)


def _short_file():
    """A file whose reported size exceeds what reading it gives (sysfs)."""
    for root in ("/sys/kernel/mm/transparent_hugepage", "/sys/devices/system/cpu", "/sys/kernel"):
        try:
            names = sorted(os.listdir(root))
        except OSError:
            continue
        for name in names:
            path = os.path.join(root, name)
            try:
                with open(path, "rb") as f:
                    if os.fstat(f.fileno()).st_size > len(f.read()) > 0:
                        return path
            except OSError:
                continue
    return None


def test_file_shorter_than_its_size():
    path = _short_file()
    if path is None:
        pytest.skip("no file here reports a size larger than its contents")
    buf = np.full(4096, SENTINEL, np.float32)
    with pytest.raises(OSError, match="changed while it was read"):
        beamdump.beamdump(buf, 0, os.fsencode(path))
    field = [np.full(k, SENTINEL, np.float32) for k in (4096, 64, 64, 64)]
    with pytest.raises((OSError, EOFError, ValueError)):
        meshdump.read_file(*field, os.fsencode(path))


def test_receiving_buffer_is_made_by_loaders_only(tmp_path):
    (tmp_path / "run.bin").write_bytes(field_dump_bytes(grid_values(*SHAPE)[0]))
    f, *_ = meshdump.read_Vintar_bin(str(tmp_path / "run"), PARAMS)
    buffer_type = type(buffer_root(f))
    assert buffer_type.__name__ == "ReceivingBuffer"
    with pytest.raises(TypeError):
        buffer_type()


def test_only_module_entries_exported():
    nm = subprocess.run(["nm", "-D", "--defined-only", meshdump.__file__, beamdump.__file__],
                        capture_output=True, text=True)
    if nm.returncode != 0:
        pytest.skip("nm is not available")
    names = sorted(line.split()[-1] for line in nm.stdout.splitlines() if len(line.split()) == 3)
    assert names == ["PyInit_beamdump", "PyInit_meshdump"]


def _vm_flags(address):
    """The VmFlags of the mapping that holds `address`, or None."""
    with open("/proc/self/smaps") as f:
        inside = False
        for line in f:
            head = line.split()[0]
            if "-" in head and all(c in "0123456789abcdef-" for c in head):
                lo, hi = (int(v, 16) for v in head.split("-"))
                inside = lo <= address < hi
            elif inside and head == "VmFlags:":
                return line.split()[1:]
    return None


def test_huge_page_advice_only_on_loader_buffers(tmp_path):
    shape = (256, 256, 64)  # 16 MiB of field
    path = tmp_path / "run.bin"
    path.write_bytes(field_dump_bytes(np.ones(shape, np.float32), nproc_y=2, nproc_z=2))
    # Caller memory that NumPy's allocator has not advised itself.
    region = mmap.mmap(-1, 4 * int(np.prod(shape)))
    mine = np.frombuffer(region, np.float32)
    meshdump.read_file(mine, *(np.zeros(k, np.float32) for k in shape), bytes(path))
    loaded, *_ = meshdump.read_Vintar_bin(str(path)[:-4], dict(zip(("nx", "ny", "nz"), shape)))
    theirs = _vm_flags(mine.ctypes.data + mine.nbytes // 2)
    ours = _vm_flags(loaded.ctypes.data + loaded.nbytes // 2)
    if theirs is None or ours is None:
        pytest.skip("/proc/self/smaps gives no VmFlags here")
    assert "hg" not in theirs and "hg" in ours


class HeldInt:
    """__int__ hands out one object kept here, so its count shows a leak
    (one reference too many) or an over-release (one too few)."""
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


@pytest.mark.parametrize("value", [2**40 + 3, -7], ids=["overflow", "negative"])
def test_int_conversion_releases_what_it_takes(tmp_path, value):
    value = int(str(value))  # a fresh object, not a cached small int
    held = HeldInt(value)
    path = tmp_path / "ps.bin"
    path.write_bytes(phase_dump_bytes(phase_values(2, 1), 1))
    buf = np.zeros(6, np.float32)
    before = sys.getrefcount(value)
    for _ in range(50):
        with pytest.raises((OverflowError, ValueError)):
            beamdump.beamdump(buf, held, bytes(path))
    assert sys.getrefcount(value) == before
