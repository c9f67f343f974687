"""Dumps large enough to be read by several threads (64 MiB and more), on
tilings and block sizes that mix every path of the readers: tiny blocks
through the read buffer, large ones split across tasks, layers of uneven
blocks. Whatever the number of threads, every value lands in its place."""
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

from dorvo.quickio import beamdump, meshdump
from helpers import TESTS_DIR, phase_dump_bytes, write_field_dump, write_phase_dump


def unique(count):
    """`count` float32 values of distinct bit patterns (compared as uint32,
    so none is lost to NaN or rounding)."""
    return np.arange(1, count + 1, dtype=np.uint32).view(np.float32)


def same_bits(a, b):
    return np.array_equal(np.asarray(a).view(np.uint32), np.asarray(b).view(np.uint32))


@pytest.fixture(params=["1", "3"], ids=["1 thread", "3 threads"])
def threads(request, monkeypatch):
    monkeypatch.setenv("QUICKIO_READ_THREADS", request.param)


def test_large_field_any_threads(tmp_path, threads):
    shape = (256, 512, 160)  # 80 MiB
    field = unique(int(np.prod(shape))).reshape(shape, order="F")
    path = tmp_path / "big.bin"
    layers = [[500, 7, 5], [7, 500, 5], [256, 255, 1], [100, 12, 400]]
    write_field_dump(path, field, ny_loc=layers, nz_loc=[3, 37, 60, 60])
    loaded, *axes = meshdump.read_Vintar_bin(str(path)[:-4], dict(zip(("nx", "ny", "nz"), shape)))
    assert same_bits(loaded, field)
    # The writer's default axes.
    for got, want in zip(axes, (0.5 * np.arange(256), 1.0 + np.arange(512), -2.0 + 0.25 * np.arange(160))):
        np.testing.assert_array_equal(got, want.astype(np.float32))
    flat = np.full(field.size + 2, -1.0, np.float32)
    meshdump.read_file(flat, *(np.empty(n, np.float32) for n in shape), bytes(path))
    assert same_bits(flat[:-2], field.ravel(order="F")) and (flat[-2:] == -1).all()


def test_large_phase_space_any_threads(tmp_path, threads):
    n = 3
    counts = [1, 0, 700_000, 5, -2, 3, 1_000_000, 2, 600_000, 1]  # about 74 MiB
    total = sum(c for c in counts if c > 0)
    parts = unique(total * (2 * n + 1)).reshape(total, 2 * n + 1)
    path = tmp_path / "big.bin"
    # The last entry's trailing word is left out, as a reader never needs it.
    path.write_bytes(phase_dump_bytes(parts, n, counts)[:-4])
    assert same_bits(beamdump.total_phase_space_read(str(path)[:-4], {"n_dimensions": n}), parts.T)
    flat = np.full(parts.size + 3, -1.0, np.float32)
    beamdump.beamdump(flat, n, bytes(path))
    assert same_bits(flat[:-3], parts.ravel()) and (flat[-3:] == -1).all()


# A getenv that ends the process when QUICKIO_READ_THREADS is read by a
# thread without the interpreter lock (os.environ changes the environment
# under the lock, so reading it without is a race).
GETENV_CHECK = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <string.h>
#include <unistd.h>

char *getenv(const char *name) {
    static char *(*real)(const char *);
    if (real == NULL) real = (char *(*)(const char *))dlsym(RTLD_NEXT, "getenv");
    if (strcmp(name, "QUICKIO_READ_THREADS") == 0) {
        int (*held)(void) = (int (*)(void))dlsym(RTLD_DEFAULT, "PyGILState_Check");
        if (held != NULL && !held()) {
            static const char said[] = "QUICKIO_READ_THREADS read without the interpreter lock\n";
            write(2, said, sizeof said - 1);
            _exit(3);
        }
    }
    return real(name);
}
"""


def test_thread_count_read_with_the_lock_held(tmp_path):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler")
    shim = tmp_path / "getenv_check.so"
    (tmp_path / "getenv_check.c").write_text(GETENV_CHECK)
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(shim), str(tmp_path / "getenv_check.c"), "-ldl"], check=True)
    field, phase = tmp_path / "f.bin", tmp_path / "p.bin"
    write_field_dump(field, unique(4 * 3 * 2).reshape((4, 3, 2), order="F"))
    write_phase_dump(phase, unique(5 * 3).reshape(5, 3), 1)
    code = f"""
import numpy as np
from dorvo.quickio import beamdump, meshdump, particles
meshdump.read_Vintar_bin({str(field)[:-4]!r}, {{"nx": 4, "ny": 3, "nz": 2}})
beamdump.total_phase_space_read({str(phase)[:-4]!r}, {{"n_dimensions": 1}})
particles.moments({str(phase)!r}, 1)
particles.histogram({str(phase)!r}, 1, 0)
particles.select({str(phase)!r}, 1, None)
"""
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))
    env = dict(os.environ, LD_PRELOAD=preload, QUICKIO_READ_THREADS="2", PYTHONPATH=str(TESTS_DIR))
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 0, proc.stderr
