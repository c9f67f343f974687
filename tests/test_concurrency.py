"""Loads from many threads at once: the readers run with the interpreter lock
released, so these calls really overlap."""
import os
import random
import threading

import numpy as np
import pytest

from dorvo.quickio import beamdump, meshdump
from helpers import (grid_values, phase_dump_bytes, phase_values, run_isolated, slow_storage, write_field_dump,
                     write_phase_dump)

THREADS = 8
ROUNDS = 12

FIELDS = [((48, 40, 24), dict(ny_loc=[13, 27], nz_loc=[5, 19])),
          ((64, 30, 20), dict(nproc_y=3, nproc_z=4)),
          ((7, 5, 300), dict(nproc_z=6))]
PHASES = [(0, 5000, [2000, 0, 3000]), (3, 4000, [1, -1, 3999]), (1, 30000, [30000])]


@pytest.fixture(scope="module")
def jobs(tmp_path_factory):
    """(name, call, check) triples: each call loads one dump and check
    compares what it returned with the dump's contents, exactly."""
    tmp = tmp_path_factory.mktemp("concurrent")
    out = []
    for i, (shape, layout) in enumerate(FIELDS):
        field, x, y, z = grid_values(*shape)
        field = field * (i + 1) - 3  # every dump different
        stem = str(tmp / f"field{i}")
        write_field_dump(stem + ".bin", field, x, y, z, **layout)
        want = (field, x, y, z)

        def loader(stem=stem, shape=shape):
            return meshdump.read_Vintar_bin(stem, dict(zip(("nx", "ny", "nz"), shape)))

        def entry(stem=stem, want=want):
            bufs = [np.empty(a.size, np.float32) for a in want]
            meshdump.read_file(*bufs, os.fsencode(stem + ".bin"))
            return [bufs[0].reshape(want[0].shape, order="F"), *bufs[1:]]

        def check(got, want=want):
            return all(np.array_equal(g, w) for g, w in zip(got, want))

        out += [(f"read_Vintar_bin {shape}", loader, check), (f"read_file {shape}", entry, check)]
    for n, count, blocks in PHASES:
        parts = phase_values(count, n) * (n + 2)
        stem = str(tmp / f"phase{n}")
        with open(stem + ".bin", "wb") as f:
            f.write(phase_dump_bytes(parts, n, blocks))

        def loader(stem=stem, n=n):
            return beamdump.total_phase_space_read(stem, {"n_dimensions": n})

        def entry(stem=stem, n=n, size=parts.size):
            return beamdump.beamdump(np.empty(size, np.float32), n, os.fsencode(stem + ".bin"))

        out += [(f"total_phase_space_read n={n}", loader, lambda got, p=parts: np.array_equal(got, p.T)),
                (f"beamdump n={n}", entry, lambda got, p=parts: np.array_equal(got, p.ravel()))]
    # Failures at the same time as loads: a cut dump and a missing one.
    cut = str(tmp / "cut")
    data = (tmp / "field0.bin").read_bytes()
    (tmp / "cut.bin").write_bytes(data[:len(data) // 2])
    out += [("cut field", lambda: meshdump.read_Vintar_bin(cut, dict(zip(("nx", "ny", "nz"), FIELDS[0][0]))),
             lambda e: isinstance(e, EOFError)),
            ("missing phase", lambda: beamdump.total_phase_space_read(str(tmp / "none"), {"n_dimensions": 1}),
             lambda e: isinstance(e, FileNotFoundError))]
    return out


def run_threads(worker, count=THREADS):
    barrier = threading.Barrier(count)
    failures = []

    def body(k):
        try:
            barrier.wait()
            worker(k)
        except BaseException as e:  # reported by the main thread
            failures.append((k, e))

    threads = [threading.Thread(target=body, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def outcome(call):
    try:
        return call()
    except Exception as e:
        return e


def test_mixed_loads_from_many_threads(jobs):
    # Each thread works through every job in its own order, so the same dump
    # is read by several threads at once and different dumps overlap too.
    def worker(k):
        order = jobs * ROUNDS
        random.Random(k).shuffle(order)
        for name, call, check in order:
            got = outcome(call)
            assert check(got), f"thread {k}: {name} gave {got!r}"

    run_threads(worker)


def test_one_dump_into_one_buffer_per_thread(jobs):
    # Every thread fills its own buffers from the same dump at the same time.
    name, entry, check = next(j for j in jobs if j[0].startswith("read_file"))

    def worker(k):
        for _ in range(ROUNDS):
            assert check(entry()), f"thread {k}: {name}"

    run_threads(worker)


def test_reads_release_the_interpreter_lock(tmp_path, shim):
    # The raw entries read from storage that keeps every read waiting half a
    # second. The main thread runs Python meanwhile: were the lock held
    # during a native read, it would stand still for as long.
    field, phase = tmp_path / "f.bin", tmp_path / "p.bin"
    write_field_dump(field, *grid_values(4, 3, 2))
    write_phase_dump(phase, phase_values(5, 1), 1)
    for path, call in ((field, "meshdump.read_file(*(np.zeros(n, np.float32) for n in (24, 4, 3, 2)), path)"),
                       (phase, "beamdump.beamdump(np.zeros(15, np.float32), 1, path)")):
        run_isolated(f"""
import threading, time
import numpy as np
from dorvo.quickio import beamdump, meshdump
path = {bytes(path)!r}
t = threading.Thread(target=lambda: {call})
start = time.monotonic()
t.start()
ticks = [start]
while t.is_alive():
    ticks.append(time.monotonic())
    time.sleep(0.005)
assert ticks[-1] - start > 0.4, "the read did not wait on the storage"
assert max(b - a for a, b in zip(ticks, ticks[1:])) < 0.3, "the main thread stood still"
""", env=slow_storage(shim, path, 0.5), timeout=60)
