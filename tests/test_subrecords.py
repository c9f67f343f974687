"""Field records longer than one subrecord holds, as gfortran writes them:
subrecords of at most 2 GiB - 9 bytes, the markers between them signed.

The everyday tests lower the limit through QUICKIO_MAX_SUBRECORD_BYTES (the
walk's own parameter, read by every entry point) and put block data and
axes at and around one and two subrecords (a word and a marker either side)
through every driver: the loaders at 1 to 3 threads, selections across a
split, dask chunks, HTTP, the scan's segments and HDF5 views read back by
h5py; gfortran itself, where it is installed, writes dumps with the same
lowered limit and reads back what our writer writes. The slow group does
it at the real limit, with records over 2 GiB. Before, a split record was
called well-formed and loaded shifted by the markers between subrecords.
"""
import os
import shutil
import subprocess

import numpy as np
import pytest

from dorvo.quickio import _scan, header as headers, load, writers
from helpers import fortran_records, grid_values
from sweep_layouts import FieldLayout, grid, records, reference_field, write_field
from test_size_sweep import served, server, sweep_field  # noqa: F401 - the server fixture

FORTRAN = os.path.join(os.path.dirname(__file__), "fortran")
GFORTRAN = shutil.which("gfortran")
needs_gfortran = pytest.mark.skipif(GFORTRAN is None, reason="gfortran is not installed")
MAX_SUBRECORD = _scan.MAX_SUBRECORD

# Lowered limits: one that leaves 3 bytes over a multiple of 4 as the real
# one does (so that a value is cut in two, and S + 1 leaves a subrecord of
# one byte), and a multiple of 4.
LIMITS = (1023, 1024)


def around_splits(limit):
    """Values per block whose data sits at and around one and two
    subrecords: the nearest whole values, a word and a marker either side."""
    return sorted({k * limit // 4 + d for k in (1, 2) for d in (-2, -1, 0, 1, 2)})


def layouts(limit):
    """A block per row (whole-block runs; the x axis as long as a block),
    and a block of rows over two planes (a run of that many values per
    plane) beside a small one (the y axis as long as a run)."""
    out = []
    for v in around_splits(limit):
        out.append(FieldLayout(v, ((1, 1), (1, 1)), (1, 1), sub=limit, label=f"S={limit} rows of {4 * v} bytes"))
        out.append(FieldLayout(1, ((v, 3),), (2,), sub=limit, label=f"S={limit} runs of {4 * v} bytes"))
    return out


CASES = [(lay, limit == LIMITS[0]) for limit in LIMITS for lay in layouts(limit)]


@pytest.fixture
def limit(monkeypatch):
    def set_limit(value):
        monkeypatch.setenv("QUICKIO_MAX_SUBRECORD_BYTES", str(value))
    return set_limit


def split_segments(path):
    """(record, start, offset, length) of every subrecord of the records
    split into several, found by following the markers."""
    out = []
    for at, _, pieces in records(path):
        start = 0
        for offset, length in pieces if len(pieces) > 1 else ():
            out.append((at, start, offset, length))
            start += length
    return out


@pytest.mark.parametrize("layout, full", CASES, ids=[str(lay) for lay, _ in CASES])
def test_split_records_read_exactly_by_every_driver(server, limit, tmp_path, layout, full):
    limit(layout.sub)
    path, url = served(server, "split.bin")
    write_field(path, layout)
    sweep = sweep_field(path, layout, full=full, url=url)
    header = headers.read_field_header(path)
    sweep.check("scan's segments", lambda: header.segments[:] == split_segments(path), lambda same: same)
    sweep.check("expected size", lambda: header.expected_size == path.stat().st_size, lambda same: same)
    if full:
        h5py = pytest.importorskip("h5py")
        from dorvo.quickio import views

        f, x, y, z = reference_field(path, split=True)

        def view():
            views.virtualize(path, tmp_path / "v.h5")
            with h5py.File(tmp_path / "v.h5", "r") as h:
                return h["field"][...].T, h["x"][...], h["y"][...], h["z"][...]
        sweep.check("HDF5 view", view, (f, x, y, z))
    sweep.done()


def test_spans_of_long_split_rows_read_exactly(limit, tmp_path, monkeypatch):
    """Rows longer than a subrecord, read by the span of x a selection
    covers (once what it leaves out of a row costs more than a gap): spans
    across markers, stepped along x, from every row and plane of several
    blocks, NumPy's values."""
    from dorvo.quickio import open as qopen
    from dorvo.quickio._dump import planner

    limit(LIMITS[0])
    layout = FieldLayout(300, ((2, 3), (2, 3)), (2, 3), sub=LIMITS[0])  # rows of 1200 bytes
    write_field(tmp_path / "f.bin", layout)
    field = grid(layout)
    monkeypatch.setattr(planner, "MAX_GAP", 0)
    with qopen(tmp_path / "f.bin") as dump:
        for key in [(slice(1, 299, 7), slice(None), slice(None)), (slice(250, 290), slice(1, 5, 2), 1),
                    (slice(200, 300), 3, slice(1, None)), (0, slice(None), slice(None))]:
            np.testing.assert_array_equal(dump.read(*key), field[key], err_msg=str(key))


def test_several_threads_read_split_blocks_straight_into_place(server, limit):
    # Blocks of 32 and 36 MiB in subrecords of a task's bytes less one, in
    # a field large enough for threads; every value of a cut lands whole.
    task = _scan.FIELD_TASK_BYTES
    layout = FieldLayout(1024, ((1024,), (1024,)), (8, 9), sub=task - 1, label="threads")
    assert 4 * layout.cells >= _scan.FIELD_MIN_PARALLEL
    limit(layout.sub)
    path, _ = served(server, "threads.bin")
    write_field(path, layout)
    try:
        sweep_field(path, layout, full=False).done()
    finally:
        path.unlink()


def test_records_our_writer_once_wrote_whole_read_exactly(limit, tmp_path):
    # Past 2**31 - 1 bytes it marked a record -1 on both sides; between the
    # limit and that, with its length. Both are read as one run.
    limit(1023)
    field, x, y, z = grid_values(300, 2, 1)
    for marker in (-1, None):
        def whole(payload):
            m = np.int32(len(payload) if marker is None else marker).tobytes()
            return m + payload + m
        ints = np.array([1, 1, 0, 300, 2, 0, 1] + [3] * 13, "<i4")
        data = (fortran_records([np.int32(20).tobytes(), ints.tobytes(), np.zeros(20, "<f4").tobytes(),
                                 np.array([300, 2, 1], "<i4").tobytes()])
                + whole(field.ravel(order="F").tobytes()) + whole(x.tobytes())
                + fortran_records([y.tobytes(), z.tobytes()]))
        (tmp_path / "old.bin").write_bytes(data)
        got = load(tmp_path / "old.bin")
        assert all(np.array_equal(a, b) for a, b in zip(got, (field, x, y, z)))
        assert len(headers.read_field_header(tmp_path / "old.bin").segments) == 0


def test_a_split_record_whose_markers_disagree_is_refused(limit, tmp_path):
    limit(1023)
    layout = FieldLayout(600, ((1,),), (1,), sub=1023)
    write_field(tmp_path / "f.bin", layout)
    data = bytearray((tmp_path / "f.bin").read_bytes())
    # Subrecords of 1023, 1023 and 354 bytes: the closing marker of the
    # first, the opening ones of the second and of the last.
    first, second = (offset + length for _, _, offset, length in split_segments(tmp_path / "f.bin")[:2])
    for where, value, due in ((first, -1023, 1023), (first + 4, 1023, -1023), (second + 4, -354, 354)):
        bad = data.copy()
        bad[where:where + 4] = np.int32(value).tobytes()
        (tmp_path / "bad.bin").write_bytes(bad)
        h = headers.read_field_header(tmp_path / "bad.bin")
        assert not h.well_formed and h.reason == (
            f"the data of block (layer 0, column 0) is 2400 bytes, longer than one record holds whole; its marker "
            f"at offset {where} holds {value} where {due} was due")
        with pytest.raises(ValueError, match="longer than one record holds whole"):
            load(tmp_path / "bad.bin")


def test_one_limit_everywhere_and_xdmf_refuses_splits(limit, tmp_path):
    from dorvo.quickio._views import xdmf

    assert writers.SUBRECORD == MAX_SUBRECORD == 2**31 - 9
    limit(1023)
    write_field(tmp_path / "f.bin", FieldLayout(600, ((1,),), (1,), sub=1023))
    with pytest.raises(xdmf.XdmfError, match="split into subrecords, which an XDMF data item cannot read"):
        xdmf.write_field_xdmf(headers.read_field_header(tmp_path / "f.bin"), tmp_path / "f.xmf")
    assert not (tmp_path / "f.xmf").exists()


# ---------------------------------------------------------------- gfortran


def compile_fortran(tmp_path, source, *flags):
    exe = tmp_path / source.replace(".f90", "")
    subprocess.run([GFORTRAN, "-std=f2008", "-O2", *flags, "-o", str(exe), os.path.join(FORTRAN, source)],
                   check=True)
    return exe


@needs_gfortran
def test_gfortran_splits_read_exactly(limit, tmp_path):
    # The fixtures' writer, built with a lower limit (above the header's
    # 80-byte records, which the walk takes whole), splits three of its four
    # blocks; they load as the committed fixtures do.
    exe = compile_fortran(tmp_path, "write_fixtures.f90", "-fmax-subrecord-length=100")
    subprocess.run([str(exe)], cwd=tmp_path, check=True)
    limit(100)
    for name, shape in (("field_2x2.bin", (4, 8, 6)), ("field_1x1.bin", (5, 3, 2))):
        assert len(headers.read_field_header(tmp_path / name).segments) > 0
        assert all(np.array_equal(a, b) for a, b in zip(load(tmp_path / name), grid_values(*shape)))


def fortran_copy(tmp_path, dump):
    """What a Fortran program reads from the field dump `dump`, as
    read_dump.f90 copies it: per block its extents and values, then the
    axes."""
    exe = compile_fortran(tmp_path, "read_dump.f90")
    subprocess.run([str(exe), str(dump), str(tmp_path / "copy.bin")], check=True)
    return tmp_path / "copy.bin"


def expected_copy(layout):
    f, x, y, z = (np.asarray(a, "<f4") for a in (grid(layout), *reference_axes(layout)))
    out, z0 = bytearray(), 0
    for rows, height in zip(layout.rows, layout.heights):
        y0 = 0
        for width in rows:
            out += np.array([layout.nx, width, height], "<i4").tobytes()
            out += f[:, y0:y0 + width, z0:z0 + height].tobytes(order="F")
            y0 += width
        z0 += height
    return bytes(out + x.tobytes() + y.tobytes() + z.tobytes())


def reference_axes(layout):
    nx, ny, nz = layout.shape
    return 0.5 * np.arange(nx), 1.0 + np.arange(ny), -2.0 + 0.25 * np.arange(nz)


@needs_gfortran
@pytest.mark.parametrize("sub", [1023, 1024])
def test_gfortran_reads_back_what_our_writer_splits(monkeypatch, tmp_path, sub):
    monkeypatch.setattr(writers, "SUBRECORD", sub)
    layout = FieldLayout(260, ((1, 3),), (2,), label="writer")  # blocks of 2080 and 6240 bytes, a long x axis
    writers.write_field(tmp_path / "ours.bin", grid(layout), *reference_axes(layout), blocks=([1, 3], [2]))
    assert [len(p) for _, _, p in records(tmp_path / "ours.bin")] == [1, 1, 1, 1, 3, 1, 7, 2, 1, 1]
    assert fortran_copy(tmp_path, tmp_path / "ours.bin").read_bytes() == expected_copy(layout)
    # Byte for byte what the sweep's writer (gfortran's layout) writes.
    write_field(tmp_path / "sweep.bin", FieldLayout(260, ((1, 3),), (2,), sub=sub))
    ours, theirs = (tmp_path / "ours.bin").read_bytes(), (tmp_path / "sweep.bin").read_bytes()
    assert ours[188:] == theirs[188:]


# ---------------------------------------------------------------- at 2 GiB

# Point p of write_large.f90's grid holds p mod 16777213.
CYCLE = 16777213


class LazyField:
    """write_large.f90's field, made a few MiB at a time as the writer asks
    for it: shape and [:, j0:j1, k]."""

    def __init__(self, shape):
        self.shape = shape

    def __getitem__(self, key):
        nx, ny, _ = self.shape
        _, rows, k = key
        j = np.arange(rows.start, rows.stop, dtype=np.int64)
        p = np.arange(nx, dtype=np.int64)[:, None] + nx * (j[None, :] + ny * k)
        return (p % CYCLE).astype(np.float32)


def same_file(a, b, chunk=64 << 20):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(chunk), fb.read(chunk)
            if x != y:
                return False
            if not x:
                return True


@pytest.mark.slow
@needs_gfortran
def test_gfortran_records_over_2_gib(tmp_path):
    # Two blocks of 1024 x 1024 x (511, 513) points: 2,143,289,344 bytes,
    # whole, and 2,151,677,952, which gfortran splits after 2,147,483,639.
    nx, ny, heights = 1024, 1024, (511, 513)
    shape = (nx, ny, sum(heights))
    theirs = tmp_path / "theirs.bin"
    subprocess.run([str(compile_fortran(tmp_path, "write_large.f90")), str(theirs), str(nx), str(ny),
                    *map(str, heights)], check=True)
    h = headers.read_field_header(theirs)
    assert h.well_formed, h.reason
    assert [(s.start, s.length) for s in h.segments] == [(0, MAX_SUBRECORD), (MAX_SUBRECORD, 4194313)]
    f, x, y, z = load(theirs)
    for k in range(0, shape[2], 64):
        want = np.stack([LazyField(shape)[:, slice(0, ny), kk] for kk in range(k, min(k + 64, shape[2]))], axis=2)
        assert np.array_equal(f[:, :, k:k + 64], want), f"planes {k} to {k + 63} differ"
    assert all(np.array_equal(a, b) for a, b in zip((x, y, z), reference_axes(FieldLayout(nx, ((ny,),) * 2,
                                                                                           heights))))
    del f
    # Our writer writes the same dump byte for byte, and gfortran reads it
    # back value for value.
    ours = tmp_path / "ours.bin"
    writers.write_field(ours, LazyField(shape), x, y, z, blocks=([ny], list(heights)),
                        params={i: 1000 + i for i in (2, 5, *range(7, 14), *range(15, 20))},
                        real_params=0.5 * np.arange(20))
    assert same_file(ours, theirs)
    theirs.unlink()
    copy = fortran_copy(tmp_path, ours)
    ours.unlink()
    with open(copy, "rb") as fh:
        for height, z0 in zip(heights, (0, heights[0])):
            assert np.array_equal(np.frombuffer(fh.read(12), "<i4"), [nx, ny, height])
            for k in range(z0, z0 + height):
                plane = np.frombuffer(fh.read(4 * nx * ny), "<f4").reshape((nx, ny), order="F")
                assert np.array_equal(plane, LazyField(shape)[:, slice(0, ny), k]), f"plane {k} differs"
        assert np.array_equal(np.frombuffer(fh.read(), "<f4"), np.concatenate([x, y, z]))


@pytest.mark.slow
def test_phase_space_block_over_2_gib(tmp_path):
    # Phase-space dumps are a stream without records: a block of more than
    # 2**31 bytes of entries (2**28 + 1 particles of 8 bytes) is one count
    # and its entries, and loads exactly.
    count = 2**28 + 1
    ps = (np.arange(count, dtype=np.int64) % CYCLE).astype(np.float32)[None, :]
    path = tmp_path / "ph.bin"
    writers.write_phase_space(path, ps, 0)
    assert path.stat().st_size == 4 + 8 * count
    h = headers.read_phase_space_header(path, 0)
    assert h.well_formed and h.blocks.count.tolist() == [count]
    assert np.array_equal(load(path, n_dimensions=0), ps)
    from dorvo.quickio import open as open_dump
    with open_dump(path, n_dimensions=0) as d:
        assert np.array_equal(d.read(particles=slice(count - 7, count)), ps[:, -7:])
