"""The scan is the one description of the layout the Python layer uses:
every offset and size it reports against where the test writers put each
record, found in the file by following its markers as the Fortran runtime
does (sweep_layouts.records), and against the counts a phase-space writer
wrote."""
import numpy as np
import pytest

from dorvo.quickio import _scan, write_field
from dorvo.quickio.header import read_field_header, read_phase_space_header
from helpers import grid_values, write_phase_dump
from sweep_layouts import FieldLayout, records, write_field as write_layout

FIELDS = [
    FieldLayout(5, ((2, 0, 3), (1, 4, 0)), (2, 3), label="empty blocks"),
    FieldLayout(7, ((3, 4),), (5,), nparam=31, label="a longer header"),
    FieldLayout(6, ((2, 2), (2, 2)), (3, 4), sub=20, label="records split into subrecords"),
]


@pytest.mark.parametrize("layout", FIELDS, ids=str)
def test_field_offsets_are_where_the_writer_put_the_records(tmp_path, monkeypatch, layout):
    monkeypatch.setenv("QUICKIO_MAX_SUBRECORD_BYTES", str(layout.sub))
    path = tmp_path / "f.bin"
    write_layout(path, layout)
    found = records(path)
    data, axes = found[4:-3:2], found[-3:]  # nparam, ints, reals, then extents and data per block
    h = read_field_header(str(path))
    assert h.blocks.offset.tolist() == [at for at, _, _ in data]
    assert list(h.axis_offsets) == [at for at, _, _ in axes]
    split = [(at, piece, length) for at, nbytes, pieces in data + axes if len(pieces) > 1
             for piece, length in pieces]
    assert [(s.record, s.offset, s.length) for s in h.segments] == split
    assert h.expected_size == h.file_size == path.stat().st_size
    # The blocks a dump lacks count as well-formed ones, each record whole:
    # cut after its first block's data, the dump still expects its whole
    # length.
    if split:
        return
    cut = tmp_path / "cut.bin"
    first_data_end = data[0][2][-1][0] + data[0][2][-1][1]
    cut.write_bytes(path.read_bytes()[:first_data_end + 4])
    assert read_field_header(str(cut)).expected_size == path.stat().st_size


def test_the_product_writer_and_the_scan_agree(tmp_path):
    f, x, y, z = grid_values(4, 6, 3)
    write_field(tmp_path / "f.bin", f, x, y, z, blocks=([2, 4], [1, 2]))
    found = records(tmp_path / "f.bin")
    h = read_field_header(str(tmp_path / "f.bin"))
    assert h.blocks.offset.tolist() == [at for at, _, _ in found[4:-3:2]]
    assert (h.nproc_y, h.nproc_z, h.shape, h.expected_size) == (2, 2, (4, 6, 3), (tmp_path / "f.bin").stat().st_size)


@pytest.mark.parametrize("counts, stray", [([3, 0, 2], b""), ([0, 0], b"\x01\x02"), ([5], b"\x00")])
@pytest.mark.parametrize("n", [1, 3])
def test_phase_offsets_are_where_the_writer_put_the_blocks(tmp_path, counts, stray, n):
    path = tmp_path / "ph.bin"
    particles = np.arange(sum(counts) * (2 * n + 1), dtype=np.float32).reshape(-1, 2 * n + 1)
    write_phase_dump(path, particles, n, counts, extra=stray)
    # The writer's own account: a count word, then count entries of the
    # components and a trailing word.
    entry = 4 * (2 * n + 2)
    offsets = np.cumsum([0] + [4 + entry * max(c, 0) for c in counts])
    h = read_phase_space_header(str(path), n)
    assert h.blocks.offset.tolist() == offsets[:-1].tolist()
    assert h.blocks.entries.tolist() == (offsets[:-1] + 4).tolist()
    assert (h.entry_bytes, h.trailing_bytes, h.particles) == (entry, len(stray), sum(counts))


def test_the_first_word_tells_a_phase_space_dump_from_other_files(tmp_path):
    # With the shortest entries (n = 0, 8 bytes) a first count of 3 needs
    # 4 + 3 * 8 bytes, less the last trailing word.
    for size, holds in ((23, False), (24, True)):
        (tmp_path / "f.bin").write_bytes(np.int32(3).tobytes() + bytes(size - 4))
        s = _scan.field(str(tmp_path / "f.bin"))
        assert (s.first_count, s.holds_first_block) == (3, holds)
    (tmp_path / "f.bin").write_bytes(b"ab")
    assert _scan.field(str(tmp_path / "f.bin")).first_count is None
