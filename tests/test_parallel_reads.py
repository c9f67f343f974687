"""Dumps large enough to be read by several threads (64 MiB and more), on
tilings and block sizes that mix every path of the readers: tiny blocks
through the read buffer, large ones split across tasks, layers of uneven
blocks. Whatever the number of threads, every value lands in its place."""
import numpy as np
import pytest

from dorvo.quickio import beamdump, meshdump
from helpers import phase_dump_bytes, write_field_dump


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
