"""Field dumps of blocks large enough to be read straight into the result,
cut short: the read fails cleanly. (Such dumps read whole, at every size
and tiling, are swept in test_size_sweep.py.)"""
import numpy as np
import pytest

from dorvo.quickio import meshdump
from helpers import write_field_dump

SENTINEL = -12345.0


def unique_field(shape):
    """A field whose every cell holds a different bit pattern (compared as
    uint32, so no value is lost to float rounding or NaN)."""
    n = int(np.prod(shape))
    return np.arange(1, n + 1, dtype=np.uint32).view(np.float32).reshape(shape, order="F")


@pytest.mark.parametrize("cut_from_end", [4 * 64 * 32 * 8 + 100, 20000, 300])
def test_large_blocks_cut_short(tmp_path, cut_from_end):
    # A dump cut inside a large block's data or inside the axes fails
    # cleanly, writing nothing past the grid into read_file's buffers.
    shape = (64, 64, 24)
    path = tmp_path / "cut.bin"
    data = write_field_dump(path, unique_field(shape), nproc_y=2, nproc_z=3)
    path.write_bytes(data[:len(data) - cut_from_end])
    sizes = (64 * 64 * 24, 64, 64, 24)
    bufs = [np.full(n + 3, SENTINEL, np.float32) for n in sizes]
    with pytest.raises(EOFError, match="file ends inside"):
        meshdump.read_file(*bufs, bytes(path))
    assert all((b[n:] == SENTINEL).all() for b, n in zip(bufs, sizes))
    with pytest.raises(EOFError, match="file ends inside"):
        meshdump.read_Vintar_bin(str(path)[:-4], dict(zip(("nx", "ny", "nz"), shape)))
