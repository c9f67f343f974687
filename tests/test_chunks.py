"""Dask chunks of about 128 MiB for every tiling: the chunks of huge sparse
dumps from their scans alone, and the values of merged chunks against
NumPy around every chunk boundary (the shapes' rules: test_planner.py)."""
import itertools

import numpy as np
import pytest

import dorvo.quickio as qio

xr = pytest.importorskip("xarray")
dask = pytest.importorskip("dask")

from dorvo.quickio._dump import planner as _planner  # noqa: E402
from dorvo.quickio._io.local import LocalFile  # noqa: E402
from helpers import NPROC_Y, NPROC_Z, NX, NY, NZ, grid_values, write_field_dump  # noqa: E402


def sparse_field(path, nx, ny_loc, nz_loc):
    """A field dump whose data are holes: only its records' markers, the
    header and the blocks' extents are written."""
    ints = np.arange(1000, 1020, dtype="<i4")
    ints[[NPROC_Y, NPROC_Z, NX, NY, NZ]] = len(ny_loc), len(nz_loc), nx, sum(ny_loc), sum(nz_loc)
    with open(path, "wb") as f:
        def record(size, payload=None):
            f.write(np.int32(size).tobytes())
            f.write(payload) if payload is not None else f.seek(size, 1)
            f.write(np.int32(size).tobytes())

        record(4, np.int32(20).tobytes()), record(80, ints.tobytes()), record(80, bytes(80))
        for h, w in itertools.product(nz_loc, ny_loc):
            record(12, np.array([nx, w, h], "<i4").tobytes()), record(4 * nx * w * h)
        for n in (nx, sum(ny_loc), sum(nz_loc)):
            record(4 * n)


@pytest.mark.parametrize("nx, ny_loc, nz_loc, want", [
    # 65,536 blocks of 64 KiB: whole layers of blocks, 64 planes (8 layers) a chunk.
    (256, [8] * 256, [8] * 256, ((256,), (2048,), (64,) * 32)),
    # Rows of 1 GiB: cut along x into chunks of 128 MiB, one row each.
    (1 << 28, [1, 1], [1, 1], ((1 << 25,) * 8, (1, 1), (1, 1))),
])
def test_chunks_of_huge_dumps_come_from_the_scan_alone(tmp_path, monkeypatch, nx, ny_loc, nz_loc, want):
    sparse_field(tmp_path / "f.bin", nx, ny_loc, nz_loc)
    monkeypatch.setattr(LocalFile, "fetch", None)  # no data is read
    monkeypatch.setattr(LocalFile, "reading", None)
    with qio.open(tmp_path / "f.bin") as d:
        assert d.chunks() == want
    assert max(4 * a * b * c for a, b, c in itertools.product(*want)) == _planner.CHUNK_BYTES
    if nx < 1 << 20:  # (an x axis of 1 GiB makes an index of 2 GiB)
        with xr.open_dataset(tmp_path / "f.bin", engine="vintar", chunks={}) as ds:
            assert ds.field.chunks == want
        with xr.open_dataset(tmp_path / "f.bin", engine="vintar", chunks={"z": -1}) as ds:
            assert ds.field.chunks == (*want[:2], (sum(nz_loc),))  # the user's chunks win


@pytest.mark.parametrize("threads", [1, 3])
def test_merged_chunks_read_as_numpy(tmp_path, monkeypatch, threads):
    # Columns of blocks 2, 3, 2, 1 wide in layers 2, 1, 3, 2 high, rows of
    # 16 bytes; targets at merged groups of blocks, a row and a word either side.
    row, field = 16, grid_values(4, 8, 8)[0]
    write_field_dump(tmp_path / "f.bin", field, ny_loc=[2, 3, 2, 1], nz_loc=[2, 1, 3, 2])
    with dask.config.set(scheduler="threads", num_workers=threads):
        for target in sorted({row * t + d for t in (1, 2, 5, 7, 8, 16, 40, 56) for d in (-row, -4, 0, 4, row)} - {0}):
            monkeypatch.setattr(_planner, "CHUNK_BYTES", target)
            with xr.open_dataset(tmp_path / "f.bin", engine="vintar", chunks={}) as ds:
                np.testing.assert_array_equal(ds.field.values, field, err_msg=str((target, ds.field.chunks)))
                np.testing.assert_array_equal(ds.field[1:, 1:-1, 2:7].values, field[1:, 1:-1, 2:7])


@pytest.mark.parametrize("threads", [1, 3])
def test_rows_copied_in_batches_read_as_numpy(tmp_path, monkeypatch, threads):
    """Chunks of whole rows are copied into place COPY_BATCH_BYTES at a
    time: batches of one to three planes of blocks of 1, 2 and 3 rows of
    16 bytes, a word either side, and of less than one plane."""
    field = grid_values(4, 8, 8)[0]
    write_field_dump(tmp_path / "f.bin", field, ny_loc=[2, 3, 2, 1], nz_loc=[2, 1, 3, 2])
    monkeypatch.setattr(_planner, "CHUNK_BYTES", 16 * 8 * 3)
    with dask.config.set(scheduler="threads", num_workers=threads):
        for batch in sorted({16 * rows * k + d for rows in (1, 2, 3) for k in (1, 2, 3) for d in (-4, 0, 4)}):
            monkeypatch.setattr(_planner, "COPY_BATCH_BYTES", batch)
            with xr.open_dataset(tmp_path / "f.bin", engine="vintar", chunks={}) as ds:
                assert len(ds.field.chunks[2]) > 1
                np.testing.assert_array_equal(ds.field.values, field, err_msg=str(batch))
                np.testing.assert_array_equal(ds.field[:, 1:-1, 1:7].values, field[:, 1:-1, 1:7])


@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("skipped", [-4, 0, 4])
def test_long_rows_cut_along_x_read_only_their_span(tmp_path, monkeypatch, threads, skipped):
    """A chunk of a row cut along x reads its span of the row once what it
    leaves out exceeds MAX_GAP (a word under it); at MAX_GAP and a word
    over it, whole rows."""
    nx, piece = 48, 16
    field = grid_values(nx, 3, 4)[0]
    write_field_dump(tmp_path / "f.bin", field, ny_loc=[1, 2], nz_loc=[3, 1])
    monkeypatch.setattr(_planner, "CHUNK_BYTES", 4 * piece)
    monkeypatch.setattr(_planner, "MAX_GAP", 4 * (nx - piece) + skipped)
    runs, real = [], _planner.coalesce
    monkeypatch.setattr(_planner, "coalesce", lambda r, *a: runs.extend(r) or real(r, *a))
    with dask.config.set(scheduler="threads", num_workers=threads), \
            xr.open_dataset(tmp_path / "f.bin", engine="vintar", chunks={}) as ds:
        assert ds.field.chunks == ((piece,) * 3, (1,) * 3, (1,) * 4)
        np.testing.assert_array_equal(ds.field.values, field)
    assert sum(stop - start for start, stop, *_ in runs) == field.nbytes * (1 if skipped < 0 else nx // piece)
