import itertools
import os
import shutil
import subprocess

import pytest

from helpers import TESTS_DIR, grid_values, write_field_dump


@pytest.fixture(scope="session")
def shim(tmp_path_factory):
    """The storage fault library (faults/storage_faults.c), built once per
    session, to preload into a child interpreter."""
    cc = os.environ.get("CC", "cc").split()
    if shutil.which(cc[0]) is None:
        pytest.skip("no C compiler to build the fault-injection library")
    out = tmp_path_factory.mktemp("shim") / "storage_faults.so"
    subprocess.run([*cc, "-shared", "-fPIC", "-O1", "-o", str(out), str(TESTS_DIR / "faults" / "storage_faults.c"),
                    "-ldl"], check=True)
    return out


@pytest.fixture
def field_dump(tmp_path):
    """Factory: writes a field dump of the sample grid of the given shape
    under tmp_path (keywords as for write_field_dump) and returns
    (path as bytes, field, x, y, z)."""
    names = itertools.count()

    def make(shape=(4, 8, 6), **kw):
        field, x, y, z = grid_values(*shape)
        path = tmp_path / f"field{next(names)}.bin"
        write_field_dump(path, field, x, y, z, **kw)
        return os.fsencode(path), field, x, y, z

    return make
