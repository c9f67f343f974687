"""Open dumps hold a bounded number of descriptors: the least recently used
close, and open again, by path and against the identity pinned, on their
next read; a dump dropped unclosed closes with a ResourceWarning. Two
thousand dumps under a limit of 256 descriptors, in one process and on a
local cluster, where a dump changed before the computation fails its task
with our OSError."""
import gc
import os
import threading

import numpy as np
import pytest

import dorvo.quickio as qio
from dorvo.quickio._io import local as _local
from helpers import grid_values, run_isolated, write_field_dump


def _open_fds(folder) -> int:
    """Descriptors of this process open on files in `folder`: those of
    other tests' threads (a server, an event loop) come and go meanwhile."""
    held = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            held += os.readlink(f"/proc/self/fd/{fd}").startswith(f"{folder}/")
        except OSError:  # closed since it was listed
            pass
    return held


def _dumps(folder, count):
    field, x, y, z = grid_values(3, 4, 2)
    for i in range(count):
        write_field_dump(folder / f"d{i}.bin", field + i, x, y, z)
    return [folder / f"d{i}.bin" for i in range(count)], [field + i for i in range(count)]


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="counts descriptors in /proc")
@pytest.mark.parametrize("limit, threads", [(4, 1), (4, 4), (128, 1), (128, 4)])
def test_descriptors_stay_within_the_limit(tmp_path, limit, threads):
    paths, fields = _dumps(tmp_path, limit + 1)
    previous = qio.max_open_files(limit)
    try:
        for count in (limit - 1, limit, limit + 1):
            opened, wrong = [qio.open(p) for p in paths[:count]], []

            def read(k):  # each dump twice: the second after the others evicted it
                wrong.extend(i for i in [*range(k, count, threads)] * 2
                             if not np.array_equal(opened[i].read(z=1), fields[i][:, :, 1]))

            workers = [threading.Thread(target=read, args=(k,)) for k in range(threads)]
            [w.start() for w in workers]
            [w.join() for w in workers]
            assert not wrong and _open_fds(tmp_path) <= limit, count
            [d.close() for d in opened]
            assert _open_fds(tmp_path) == 0
        # A file opened again is held to the identity pinned.
        with qio.open(paths[0]) as first:
            first.read(z=0)
            others = [qio.open(p) for p in paths[1:limit + 1]]  # their descriptors evict the first's
            [d.close() for d in others]
            os.replace(paths[1], paths[0])
            with pytest.raises(OSError, match=f"^{paths[0]}: the file changed since it was opened$"):
                first.read(z=0)
    finally:
        qio.max_open_files(previous)


def test_a_dump_dropped_unclosed_closes_with_a_resource_warning(tmp_path):
    xr = pytest.importorskip("xarray")
    (path,), _ = _dumps(tmp_path, 1)
    d = qio.open(path)
    with pytest.warns(ResourceWarning, match=f"unclosed dump '{path}'"):
        del d
        gc.collect()
    # A dataset owns its dump, as xarray's own files: dropped without a word.
    xr.open_dataset(path, engine="vintar").field.values
    gc.collect()
    assert _open_fds(tmp_path) == 0


FORKED = """
import os
import numpy as np
import dorvo.quickio as qio
from dorvo.quickio._io import local as _local

with qio.open(PATH) as d:
    first = d.read(z=1)
    assert _local._descriptors.open_count() == 1
    pid = os.fork()
    if pid == 0:  # the child reads through a descriptor of its own
        fresh = _local._descriptors.open_count() == 0
        os._exit(0 if fresh and np.array_equal(d.read(z=1), first) else 1)
    assert os.waitpid(pid, 0)[1] == 0 and np.array_equal(d.read(z=1), first)
"""


def test_a_forked_child_opens_descriptors_of_its_own(tmp_path):
    # Shared with the parent, a descriptor's leases would be too.
    (path,), _ = _dumps(tmp_path, 1)
    run_isolated(FORKED.replace("PATH", repr(str(path))))


COLLECTED_MIDWAY = """
import gc, os
import numpy as np
import dorvo.quickio as qio
from dorvo.quickio._io import local as _local

qio.max_open_files(1)
dropped = qio.open(PATHS[0])
dropped.cycle = dropped  # only a collection frees it, whenever one runs
dropped.read(z=1)
del dropped
close = os.close

def close_and_collect(fd):  # a collection right here runs the dropped dump's finalizers
    _local.os.close = close
    close(fd)
    gc.collect()

_local.os.close = close_and_collect
with qio.open(PATHS[1]) as kept:  # evicts the dropped dump's descriptor
    assert np.array_equal(kept.read(z=1), WANT)
assert _local._descriptors.open_count() == 0
"""


def test_a_dump_collected_while_descriptors_are_evicted(tmp_path):
    # The finalizers of dumps dropped in a cycle run at any allocation,
    # on the thread that holds the descriptors' lock: in a process of its
    # own, as a lock waiting for itself hangs.
    paths, fields = _dumps(tmp_path, 2)
    code = COLLECTED_MIDWAY.replace("PATHS", repr([str(p) for p in paths]))
    run_isolated(code.replace("WANT", f"np.array({fields[1][:, :, 1].tolist()}, np.float32)"), timeout=60)


MANY_DUMPS = """
import os, pickle, resource
from pathlib import Path
import numpy as np
from dask.distributed import Client, LocalCluster
from dorvo.quickio.xarray import open_series
from helpers import grid_values, write_field_dump

folder, count, stride = Path(FOLDER), 2000, STRIDE
resource.setrlimit(resource.RLIMIT_NOFILE, (256, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
field, x, y, z = grid_values(3, 4, 2)
for i in range(count):
    write_field_dump(folder / f"Ex_{i}.bin", field + i, x, y, z)
series = open_series(str(folder / "Ex_*.bin"))
assert np.array_equal(series.field[:, 2, 3, 1].values, field[2, 3, 1] + np.arange(count))  # across every dump
some = series.isel(dump=slice(None, None, stride))  # a task per dump on the cluster, each under the limit too
with LocalCluster(n_workers=2, threads_per_worker=2, dashboard_address=None) as cluster, Client(cluster):
    means = pickle.loads(pickle.dumps(some)).field.mean(["x", "y", "z"]).compute().values
    assert np.allclose(means, field.mean() + np.arange(0, count, stride))
    # A changed dump fails its task with our OSError, not with an error of
    # unpickling the graph.
    write_field_dump(folder / f"Ex_{3 * stride}.bin", field - 1, x, y, z)
    try:
        some.field.sum().compute()
    except OSError as e:
        assert str(e) == f"{folder}/Ex_{3 * stride}.bin: the file changed since it was opened", e
    else:
        raise AssertionError("a changed dump was read")
"""


# The everyday run sends every 20th dump to the cluster; the slow group all.
@pytest.mark.parametrize("stride", [20, pytest.param(1, marks=pytest.mark.slow)])
def test_two_thousand_dumps_under_a_limit_of_256_descriptors(tmp_path, stride):
    pytest.importorskip("distributed")
    run_isolated(MANY_DUMPS.replace("FOLDER", repr(str(tmp_path))).replace("STRIDE", str(stride)), timeout=900)


def test_descriptor_table_against_a_model(tmp_path):
    # Random takes, gives back and discards of a few keys on a fresh table,
    # against what it promises: a key's reads share one descriptor, which
    # stays open while any reads it; idle ones over the limit close, least
    # recently used first; a key discarded mid-read closes after its last.
    import random

    path = tmp_path / "f"
    path.write_bytes(b"x")
    rng = random.Random(5)

    def is_open(fd):
        try:
            os.fstat(fd)
            return True
        except OSError:
            return False

    for limit in (1, 2, 3):
        table = _local._Descriptors(limit)
        reads, fds, idle = {}, {}, []  # the model: reads per key, its fd, idle keys least recent first
        for _ in range(400):
            key = rng.randrange(5)
            op = rng.choice(["take", "take", "give back", "discard"])
            if op == "take" and not (key in fds and fds[key] is None):  # a discarded key is never read again
                fd = table.take(key, lambda: os.open(path, os.O_RDONLY))
                assert reads.get(key, 0) == 0 or fd == fds[key]
                reads[key], fds[key] = reads.get(key, 0) + 1, fd
                if key in idle:
                    idle.remove(key)
            elif op == "give back" and reads.get(key):
                table.give_back(key)
                reads[key] -= 1
                if not reads[key]:
                    if fds[key] is None:  # discarded during its reads
                        del reads[key], fds[key]
                    else:
                        idle.append(key)
            elif op == "discard" and not (key in fds and fds[key] is None):
                table.discard(key)
                if key in idle:
                    idle.remove(key)
                    del reads[key], fds[key]
                elif reads.get(key):
                    fds[key] = None
                continue
            busy = sum(1 for n in reads.values() if n)
            while idle and busy + len(idle) > limit:
                del reads[idle[0]], fds[idle.pop(0)]
            assert table.open_count() == busy + len(idle), (limit, op)
            assert all(is_open(fd) for fd in fds.values() if fd is not None)
        table.forget()
        assert table.open_count() == 0 and not any(is_open(fd) for fd in fds.values() if fd is not None)


def test_the_limit_on_descriptors(monkeypatch):
    # QUICKIO_MAX_OPEN_FILES sets it, 1 at least, 128 when unset or not a
    # number; max_open_files() returns the one it replaces.
    for value, want in [(None, 128), ("5", 5), ("1", 1), ("0", 1), ("many", 128)]:
        if value is None:
            monkeypatch.delenv("QUICKIO_MAX_OPEN_FILES", raising=False)
        else:
            monkeypatch.setenv("QUICKIO_MAX_OPEN_FILES", value)
        assert _local._default_limit() == want, value
    previous = qio.max_open_files()
    try:
        assert qio.max_open_files(1) == previous and qio.max_open_files(7) == 1 and qio.max_open_files() == 7
        with pytest.raises(ValueError, match="^max_open_files must be at least 1, got 0$"):
            qio.max_open_files(0)
    finally:
        qio.max_open_files(previous)


def test_a_file_opened_again_is_the_one_pinned_or_named_in_the_error(tmp_path):
    # Its descriptor closed, a dump opens its path again: whatever took
    # the file's place is refused in a message that names the dump.
    previous = qio.max_open_files(1)
    try:
        for i, (replace, line) in enumerate([(lambda p: os.remove(p), "the file changed since it was opened"),
                              (lambda p: (os.remove(p), os.mkdir(p)), "the file changed since it was opened"),
                              (lambda p: (os.remove(p), os.mkfifo(p)), "not a regular file")]):
            (tmp_path / str(i)).mkdir()
            paths, _ = _dumps(tmp_path / str(i), 2)
            with qio.open(paths[0]) as d:
                qio.open(paths[1]).close()  # closes the first's descriptor
                replace(paths[0])
                with pytest.raises(OSError) as caught:
                    d.read(z=0)
                assert str(paths[0]) in str(caught.value) and line in str(caught.value), caught.value
    finally:
        qio.max_open_files(previous)
