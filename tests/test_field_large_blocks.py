"""Field dumps whose blocks are large enough to be read straight into the
result (tens of KiB and up), packed several to a read: uniform tilings, ones
whose extents change from block to block or layer to layer, and blocks
longer than one read call moves, read by several threads."""
import numpy as np
import pytest

from dorvo.quickio import meshdump
from helpers import NDIMENSION, NPROC_Y, NPROC_Z, NX, NY, NZ, fortran_records, write_field_dump

SENTINEL = -12345.0


def unique_field(shape):
    """A field whose every cell holds a different bit pattern (compared as
    uint32, so no value is lost to float rounding or NaN)."""
    n = int(np.prod(shape))
    return np.arange(1, n + 1, dtype=np.uint32).view(np.float32).reshape(shape, order="F")


def read_both(path, shape, pad=3):
    """Loads the dump with read_file (into padded buffers, checking that
    nothing past the data is written) and with read_Vintar_bin."""
    nx, ny, nz = shape
    bufs = [np.full(n + pad, SENTINEL, np.float32) for n in (nx * ny * nz, nx, ny, nz)]
    meshdump.read_file(*bufs, path)
    for buf, n in zip(bufs, (nx * ny * nz, nx, ny, nz)):
        assert (buf[n:] == SENTINEL).all(), "wrote past the data"
    stem = path[:-len(b".bin")].decode()
    field, x, y, z = meshdump.read_Vintar_bin(stem, {"nx": nx, "ny": ny, "nz": nz})
    return bufs[0][:nx * ny * nz].reshape(shape, order="F"), field, (x, y, z)


LARGE_TILINGS = {
    # (nx, ny, nz), layout keywords of write_field_dump
    "uniform 4x3": ((64, 64, 24), dict(nproc_y=4, nproc_z=3)),
    "whole planes 1x4": ((64, 64, 24), dict(nproc_z=4)),
    "one block": ((64, 64, 24), {}),
    # layer 1 starts with a narrower block than layer 0 ends with
    "rows change between layers": ((64, 64, 24), dict(ny_loc=[[32, 32], [16, 48], [48, 16]], nz_loc=[8, 8, 8])),
    "rows change within a layer": ((64, 64, 16), dict(ny_loc=[[16, 16, 32], [32, 16, 16]], nz_loc=[8, 8])),
    "heights change": ((64, 64, 24), dict(ny_loc=[32, 32], nz_loc=[4, 12, 8])),
    "empty layer": ((64, 64, 24), dict(ny_loc=[32, 32], nz_loc=[8, 0, 16])),
    "empty block": ((64, 64, 16), dict(ny_loc=[0, 64], nz_loc=[8, 8])),
    "small and large blocks mixed": ((64, 64, 24), dict(ny_loc=[2, 62], nz_loc=[8, 8, 8])),
    # 256 blocks of 16 KiB: more than one read call carries
    "many blocks": ((128, 256, 32), dict(nproc_y=16, nproc_z=16)),
    # 1100 planes per block: more plane runs than one read call carries
    "many planes per block": ((8, 2, 1100), dict(nproc_y=2)),
    # Blocks of 8 MiB - 4 bytes, a read task's budget less one word: the
    # records between two blocks must not be packed into the full task.
    "blocks a word under a task": ((337, 254, 49), dict(ny_loc=[127, 127], nz_loc=[49])),
    "three blocks a word under a task": ((337, 381, 49), dict(ny_loc=[127, 127, 127], nz_loc=[49])),
    "empty block between blocks under a task": ((337, 254, 49), dict(ny_loc=[127, 0, 127], nz_loc=[49])),
    "empty first column, blocks under a task": ((337, 254, 49), dict(ny_loc=[0, 127, 127], nz_loc=[49])),
}


@pytest.mark.parametrize("name", list(LARGE_TILINGS))
def test_large_blocks(tmp_path, name):
    shape, layout = LARGE_TILINGS[name]
    field = unique_field(shape)
    path = tmp_path / "large.bin"
    write_field_dump(path, field, **layout)
    buf, loaded, axes = read_both(bytes(path), shape)
    np.testing.assert_array_equal(buf.view(np.uint32), field.view(np.uint32))
    np.testing.assert_array_equal(loaded.view(np.uint32), field.view(np.uint32))
    want_axes = (0.5 * np.arange(shape[0]), 1.0 + np.arange(shape[1]), -2.0 + 0.25 * np.arange(shape[2]))
    for got, want in zip(axes, want_axes):
        np.testing.assert_array_equal(got, want.astype(np.float32))


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


def test_blocks_longer_than_one_read_call(tmp_path):
    # Two layers of whole-plane blocks of 72 MiB each: every read is split
    # into calls of at most 64 MiB, one of them ending inside a block and
    # the next going on from there across the records between blocks.
    nx, ny, nz = 1024, 1024, 36
    shape = (nx, ny, nz)
    field = unique_field(shape)
    ints = np.arange(1000, 1020, dtype="<i4")
    ints[[NPROC_Y, NPROC_Z, NX, NY, NZ, NDIMENSION]] = [1, 2, nx, ny, nz, 3]
    path = tmp_path / "big.bin"
    with open(path, "wb") as fh:
        fh.write(fortran_records([np.int32(20).tobytes(), ints.tobytes(),
                                  np.zeros(20, "<f4").tobytes()]))
        for z0 in (0, nz // 2):
            layer = field[:, :, z0:z0 + nz // 2]
            fh.write(fortran_records([np.array([nx, ny, nz // 2], "<i4").tobytes(),
                                      layer.ravel(order="F").tobytes()]))
        fh.write(fortran_records([np.zeros(n, "<f4").tobytes() for n in shape]))
    stem = bytes(path)[:-4].decode()
    loaded, *_ = meshdump.read_Vintar_bin(stem, {"nx": nx, "ny": ny, "nz": nz})
    assert np.array_equal(loaded.view(np.uint32), field.view(np.uint32))


# Even splits of natural sizes whose blocks fall a few bytes under a read
# task's budget (8 MiB - 8 bytes, 16 MiB - 16 bytes), read by several threads.
NATURAL_SPLITS = {
    "155x1845x68 in 3x3": ((155, 1845, 68), dict(nproc_y=3, nproc_z=3)),
    "93x1637x328 in 4x3": ((93, 1637, 328), dict(nproc_y=4, nproc_z=3)),
}


@pytest.mark.slow
@pytest.mark.parametrize("threads", ["1", "3"])
@pytest.mark.parametrize("name", list(NATURAL_SPLITS))
def test_natural_splits_under_a_task(tmp_path, monkeypatch, name, threads):
    monkeypatch.setenv("QUICKIO_READ_THREADS", threads)
    shape, layout = NATURAL_SPLITS[name]
    field = unique_field(shape)
    path = tmp_path / "split.bin"
    write_field_dump(path, field, **layout)
    stem = str(path)[:-4]
    loaded, *_ = meshdump.read_Vintar_bin(stem, dict(zip(("nx", "ny", "nz"), shape)))
    assert np.array_equal(loaded.view(np.uint32), field.view(np.uint32))
