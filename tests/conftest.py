import itertools
import os

import pytest

from helpers import grid_values, write_field_dump


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
