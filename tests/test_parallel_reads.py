"""The number of threads a read uses, taken from QUICKIO_READ_THREADS while
the interpreter lock is held. (Dumps read by several threads are swept in
test_size_sweep.py.)"""
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

from helpers import TESTS_DIR, write_field_dump, write_phase_dump


def unique(count):
    """`count` float32 values of distinct bit patterns."""
    return np.arange(1, count + 1, dtype=np.uint32).view(np.float32)


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
