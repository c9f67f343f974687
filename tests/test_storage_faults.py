"""Loads and reductions through a troubled disk. A preloaded library
(faults/storage_faults.c) makes the reads of one dump short, fail with EIO
or EINTR at a chosen offset, slow, or rewrites the dump in place mid-load,
in a child interpreter. Whatever it does, a call returns exactly what it
returns from a sound disk, or raises OSError with the error's own errno,
or, for a dump that changed, OSError saying so; never a format error."""
import errno
import hashlib
import inspect
import itertools
import os
import pickle
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pytest

from dorvo.quickio import beamdump, load, meshdump, particles
from helpers import TESTS_DIR, field_dump_bytes, grid_values, phase_dump_bytes, phase_values

CHANGED = "the file changed"


def digest(r):
    """`r` with each large array replaced by its bytes' digest, so that a
    child hands back a few bytes rather than copies of a 64 MiB dump."""
    if isinstance(r, (tuple, list)):
        return type(r)(digest(v) for v in r)
    if isinstance(r, dict):
        return {k: digest(v) for k, v in r.items()}
    if isinstance(r, np.ndarray) and r.size > 100_000:
        return (r.shape, r.dtype.str, r.flags.f_contiguous, hashlib.sha256(r.tobytes("A")).hexdigest())
    return r


# Evaluates each call once per thread count, with P the dump's file name;
# writes the results (an exception as ("raised", type, errno, message)).
CHILD = """
import hashlib, os, pickle, sys
import numpy as np
from dorvo.quickio import beamdump, load, meshdump, particles
""" + inspect.getsource(digest) + """
P = os.environ["QUICKIO_FAULT_PATH"]
results = []
for threads in sys.argv[2].split(","):
    os.environ["QUICKIO_READ_THREADS"] = threads
    for call in sys.argv[3:]:
        try:
            results.append(digest(eval(call)))
        except Exception as e:
            results.append(("raised", type(e).__name__, getattr(e, "errno", None), str(e)))
with open(sys.argv[1], "wb") as f:
    pickle.dump(results, f)
"""


def run_faulted(shim, path, calls, threads=(1, 3), **faults):
    """Runs `calls` in a child interpreter whose reads of `path` go through
    the fault library (each keyword is QUICKIO_FAULT_<KEYWORD>); returns
    {(threads, call): result}."""
    env = dict(os.environ, QUICKIO_FAULT_PATH=str(path), PYTHONPATH=str(TESTS_DIR),
               LD_PRELOAD=" ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)])))
    env.update({f"QUICKIO_FAULT_{k.upper()}": str(v) for k, v in faults.items()})
    out = Path(path).with_suffix(".results")
    proc = subprocess.run([sys.executable, "-c", CHILD, str(out), ",".join(map(str, threads)), *calls],
                          env=env, capture_output=True, text=True, timeout=900)
    assert proc.returncode == 0, proc.stderr
    results = pickle.loads(out.read_bytes())
    out.unlink()
    return dict(zip(itertools.product(threads, calls), results))


def evaluate(path, call):
    """`call` evaluated here, on a sound disk."""
    return digest(eval(call, {"P": str(path), "np": np, "load": load, "meshdump": meshdump, "beamdump": beamdump,
                              "particles": particles}))


def assert_same(got, want, where):
    """Equal, bit for bit but for float64 sums (their order of addition
    follows the threads, so they agree to rounding)."""
    if isinstance(want, (tuple, list)):
        assert type(got) is type(want) and len(got) == len(want), where
        for g, w in zip(got, want):
            assert_same(g, w, where)
    elif isinstance(want, dict):
        assert got.keys() == want.keys(), where
        for k in want:
            assert_same(got[k], want[k], f"{where}, {k}")
    elif isinstance(want, np.ndarray) and want.dtype == np.float64:
        np.testing.assert_allclose(got, want, rtol=1e-12, err_msg=where)
    else:
        np.testing.assert_equal(got, want, err_msg=where)
        assert getattr(got, "dtype", None) == getattr(want, "dtype", None), where


@dataclass
class Dump:
    path: Path
    calls: list       # what is read of it, as Python expressions over P
    regions: dict     # a name -> a byte offset inside it that every call reads
    other: object     # () -> the same layout with other values
    shrunk: object    # () -> the same size, fewer particles (phase space only)
    points: dict      # a point of a load by name -> (offset, k): the k-th read
                      # that covers the offset comes at that point


def field_dump(path, shape, ny_loc, nz_loc):
    field = grid_values(*shape)[0]
    data = field_dump_bytes(field, ny_loc=ny_loc, nz_loc=nz_loc)
    path.write_bytes(data)
    # The layout: three header records, then per block an extents record
    # and a data record, then the axes.
    at, blocks = 12 + 2 * (8 + 4 * 20), []
    for height, rows in zip(nz_loc, ny_loc):
        for width in rows:
            blocks.append((at + 4, at + 24, 4 * shape[0] * width * height))
            at += 28 + blocks[-1][2]
    middle = blocks[len(blocks) // 2]
    params = dict(zip(("nx", "ny", "nz"), shape))
    calls = ["load(P)", f"meshdump.read_Vintar_bin(P[:-4], {params})",
             f"meshdump.read_file(*(np.zeros(n, np.float32) for n in {(field.size, *shape)}), P.encode())"]
    regions = {"header": 4, "extents": middle[0], "data": middle[1] + middle[2] // 2, "axes": len(data) - 8}
    return Dump(path, calls, regions, lambda: field_dump_bytes(field + 1, ny_loc=ny_loc, nz_loc=nz_loc), None,
                {"data": (regions["data"], 1), "last extents": (blocks[-1][0], 1),
                 "last large block": (blocks[-3][1] + blocks[-3][2] // 2, 1)})


def phase_calls(n, particles):
    return [f"load(P, n_dimensions={n})", f"beamdump.total_phase_space_read(P[:-4], {{'n_dimensions': {n}}})",
            f"beamdump.beamdump(np.zeros({particles * (2 * n + 1)}, np.float32), {n}, P.encode())",
            f"particles.histogram(P, {n}, 1, bins=13)",
            f"particles.histogram(P, {n}, (0, {2 * n}), bins=(5, 4), weights=2, where={{2: (0, 1e7)}})",
            f"particles.moments(P, {n}, where={{0: (100, 1e9)}})",
            f"particles.select(P, {n}, {{1: (1e3, 2e5)}})"]


def sparse_phase_dump(path):
    """64 MiB of particles that cost no disk (one block of zeros, a hole):
    large enough for several threads, cheap enough for the everyday run."""
    count = (64 << 20) // 16
    with open(path, "wb") as f:
        f.write(np.int32(count).tobytes())
        f.truncate(4 + 16 * count)
    return Dump(path, phase_calls(1, count), {"count": 0, "entries": 4 + 8 * count, "last entry": 16 * count - 4},
                None, None, {})


def phase_dump(path, n, counts):
    total = sum(c for c in counts if c > 0)
    parts = phase_values(total, n)
    data = phase_dump_bytes(parts, n, counts)
    path.write_bytes(data)
    entry = 4 * (2 * n + 2)
    at, blocks = 0, []
    for c in counts:
        blocks.append((at, at + 4, entry * max(c, 0)))
        at += 4 + blocks[-1][2]
    big = max(blocks, key=lambda b: b[2])
    calls = phase_calls(n, total)
    regions = {"first count": 0, "middle count": blocks[len(blocks) // 2][0],
               "entries": big[1] + big[2] // 2, "last entry": len(data) - 8}
    # One particle fewer, its bytes left as empty blocks at the end.
    assert counts[-1] == 1
    shrunk = lambda: phase_dump_bytes(parts[:-1], n, counts[:-1] + [0], extra=bytes(entry))
    # The last block's count: each pass reads it once, in a read of its own.
    return Dump(path, calls, regions, lambda: phase_dump_bytes(parts + 1, n, counts), shrunk,
                {"count": (blocks[-1][0], 1), "data": (blocks[-1][0], 2)})


# Blocks at and above the sizes that are read straight into place (16 KiB
# for fields, 64 KiB for particles), tiny ones through the read buffer,
# empty ones. The large dumps (64 MiB and more) are read by several
# threads.
DUMPS = {
    "field": lambda p: field_dump(p, (64, 60, 40), [[20, 20, 20], [1, 29, 30], [58, 1, 1]], [25, 13, 2]),
    "phase": lambda p: phase_dump(p, 2, [3, 5000, 0, 40, 4000, 1]),
    "large field": lambda p: field_dump(p, (256, 256, 272), [[128, 128], [200, 56], [1, 255]], [128, 128, 16]),
    "large phase": lambda p: phase_dump(p, 1, [1, 2_000_000, 0, 7, 2_300_000, 1]),
    "sparse phase": sparse_phase_dump,
}
SMALL = ["field", "phase"]
ALL = SMALL + [pytest.param(k, marks=pytest.mark.slow) for k in ("large field", "large phase")]


@pytest.fixture
def dump(request, tmp_path):
    return DUMPS[request.param](tmp_path / "run.bin")


@pytest.fixture(scope="module")
def unchanged_dump(request, tmp_path_factory):
    """A dump that the test only reads: made once per module."""
    return DUMPS[request.param](tmp_path_factory.mktemp("dumps") / "run.bin")


def raised(result):
    """(type name, errno, message) of what a call raised; Nones if it
    returned."""
    if isinstance(result, tuple) and isinstance(result[0], str) and result[0] == "raised":
        return result[1:]
    return None, None, None


# Short reads that end inside a word, errors that are retried, and slow
# calls that let a parallel read's tasks finish out of order.
SOUND_FAULTS = {
    "short reads": dict(short=999),
    "short slow reads": dict(short=65_537, delay_us=300),
    "EINTR": dict(errno=errno.EINTR, times=2),
}


@pytest.mark.parametrize("fault", list(SOUND_FAULTS))
@pytest.mark.parametrize("unchanged_dump", ALL, indirect=True)
def test_faults_that_lose_nothing_leave_every_result_exact(shim, unchanged_dump, fault):
    dump = unchanged_dump
    faults = dict(SOUND_FAULTS[fault])
    if fault == "EINTR":
        faults["at"] = ",".join(map(str, dump.regions.values()))
    got = run_faulted(shim, dump.path, dump.calls, threads=(1, 4), **faults)
    for call in dump.calls:
        want = evaluate(dump.path, call)
        for threads in (1, 4):
            assert_same(got[threads, call], want, f"{call} with {threads} threads")


@pytest.mark.parametrize("unchanged_dump", ALL + ["sparse phase"], indirect=True)
def test_io_error_anywhere_raises_it(shim, unchanged_dump):
    dump = unchanged_dump
    for region, at in dump.regions.items():
        got = run_faulted(shim, dump.path, dump.calls, threads=(1, 4), errno=errno.EIO, at=at, delay_us=200)
        for key, result in got.items():
            assert raised(result)[:2] == ("OSError", errno.EIO), (region, key, result)


# ---- the dump rewritten in place, at the same size -----------------------

def set_old_times(path):
    """Dates the dump a day back, so that a rewrite that keeps its times
    and one that moves them differ for certain."""
    old = os.stat(path).st_mtime_ns - 86_400 * 10**9
    os.utime(path, ns=(old, old))


@pytest.mark.parametrize("keep_mtime", [1, 0], ids=["mtime kept", "mtime moved"])
@pytest.mark.parametrize("dump, during, content", [("field", "data", "other"), ("phase", "count", "other"),
                                                   ("phase", "data", "other"), ("phase", "count", "shrunk"),
                                                   ("phase", "data", "shrunk")], indirect=["dump"])
def test_rewrite_during_a_pass_is_an_error(shim, dump, during, content, keep_mtime):
    new = dump.path.with_suffix(".new")
    new.write_bytes(getattr(dump, content)())
    assert new.stat().st_size == dump.path.stat().st_size
    set_old_times(dump.path)
    call = dump.calls[1]  # the loader by name: its passes are the ones counted
    at, k = dump.points[during]
    got = run_faulted(shim, dump.path, [call], threads=(1,), rewrite=new, rewrite_at=at, rewrite_call=k,
                      keep_mtime=keep_mtime)
    assert dump.path.read_bytes() == new.read_bytes(), "the rewrite was not made"
    kind, _, message = raised(got[1, call])
    assert kind == "OSError" and CHANGED in message, got


def rewrite_in_place(path, data, keep_mtime):
    """Writes `data` over the dump's bytes (same inode, same size), putting
    its old times back if asked."""
    st = os.stat(path)
    with open(path, "r+b") as f:
        f.write(data)
    if keep_mtime:
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))


class RewriteOnAsk(dict):
    """params whose first item access rewrites the dump: after the loader
    has opened it, before its (first) pass."""
    def __init__(self, values, rewrite):
        super().__init__(values)
        self.rewrite = rewrite

    def __getitem__(self, key):
        if self.rewrite:
            self.rewrite()
            self.rewrite = None
        return super().__getitem__(key)


@pytest.mark.parametrize("keep_mtime", [True, False], ids=["mtime kept", "mtime moved"])
@pytest.mark.parametrize("dump, before", [("field", "read"), ("phase", "count"), ("phase", "data")],
                         indirect=["dump"])
def test_rewrite_before_a_pass_is_an_error(dump, before, keep_mtime, monkeypatch):
    set_old_times(dump.path)

    def rewrite():
        rewrite_in_place(dump.path, dump.other(), keep_mtime)

    if before == "read":
        load_it = lambda: meshdump.read_Vintar_bin(str(dump.path)[:-4], RewriteOnAsk({"nx": 64, "ny": 60, "nz": 40},
                                                                                      rewrite))
    else:
        params = RewriteOnAsk({"n_dimensions": 2}, rewrite if before == "count" else None)
        if before == "data":
            real = beamdump.beamdump
            monkeypatch.setattr(beamdump, "beamdump", lambda *a: (rewrite(), real(*a))[1])
        load_it = lambda: beamdump.total_phase_space_read(str(dump.path)[:-4], params)
    with pytest.raises(OSError, match=CHANGED):
        load_it()


@pytest.mark.parametrize("dump", ["phase"], indirect=True)
def test_data_pass_with_fewer_particles_than_counted_is_an_error(dump, monkeypatch):
    # A change that the file's times and size do not show (a coarse clock,
    # a file system that keeps no change time): the data pass finds fewer
    # particles than the count pass counted.
    shrunk = dump.path.with_name("shrunk.bin")
    shrunk.write_bytes(dump.shrunk())
    real = beamdump.beamdump
    monkeypatch.setattr(beamdump, "beamdump", lambda ps, n, f_path: real(ps, n, bytes(shrunk)))
    with pytest.raises(OSError, match="it held fewer particles when they were read than when they were counted"):
        beamdump.total_phase_space_read(str(dump.path)[:-4], {"n_dimensions": 2})


@pytest.mark.parametrize("dump", ["field"], indirect=True)
def test_read_error_outranks_a_format_error_found_after_it(shim, dump):
    # The last layer's large block is read by a task that fails; the walk
    # goes on to a block whose extents a writer has just made wrong. The
    # read error came first and is what the caller must see.
    bad = bytearray(dump.path.read_bytes())
    at, _ = dump.points["last extents"]
    bad[at:at + 4] = np.int32(65).tobytes()
    new = dump.path.with_suffix(".new")
    new.write_bytes(bad)
    got = run_faulted(shim, dump.path, [dump.calls[1]], threads=(1,), errno=errno.EIO,
                      at=dump.points["last large block"][0], rewrite=new, rewrite_at=at, rewrite_call=1)
    assert raised(got[1, dump.calls[1]])[:2] == ("OSError", errno.EIO), got


@pytest.mark.parametrize("dump", ["field"], indirect=True)
def test_read_error_outranks_the_end_of_file_the_walk_reaches_after_it(shim, dump):
    # The dump is cut short inside its axes, and the task that reads its
    # last large block fails: the walk goes on and runs out of file, but
    # the read error came first and is what the caller must see.
    dump.path.write_bytes(dump.path.read_bytes()[:-100])
    calls = dump.calls[1:]  # the loaders that read without a scan first
    got = run_faulted(shim, dump.path, calls, errno=errno.EIO, at=dump.points["last large block"][0])
    for key, result in got.items():
        assert raised(result)[:2] == ("OSError", errno.EIO), (key, result)
