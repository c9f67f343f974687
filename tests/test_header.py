"""The header API against the loaders' results and against broken dumps."""
import os
import struct
from importlib import resources

import numpy as np
import pytest

from dorvo.quickio import beamdump, meshdump
from dorvo.quickio.header import is_field_dump, read_field_header, read_phase_space_header
from helpers import (DATA_DIR, field_dump_bytes, field_dump_size, grid_values, phase_dump_bytes,
                     phase_values, write_field_dump, write_phase_dump)

SAMPLES = str(resources.files("dorvo.quickio").joinpath("samples"))


def _field(tmp_path, shape=(4, 8, 6), name="f.bin", **kw):
    path = tmp_path / name
    write_field_dump(path, grid_values(*shape)[0], **kw)
    return path


@pytest.fixture(params=[
    "data:field_2x2.bin", "data:field_1x1.bin", "sample:field.bin",
    ((5, 7, 9), dict(ny_loc=[[1, 6], [4, 3], [7, 0]], nz_loc=[2, 0, 7])),
    ((3, 4, 5), dict(ny_loc=[1, 1, 1, 1], nz_loc=[1, 1, 1, 1, 1])),
    ((1, 1, 1), {}),
], ids=lambda p: p if isinstance(p, str) else "x".join(map(str, p[0])))
def field_path(request, tmp_path):
    p = request.param
    if isinstance(p, str):
        where, name = p.split(":")
        return os.path.join(DATA_DIR if where == "data" else SAMPLES, name)
    return str(_field(tmp_path, p[0], **p[1]))


def test_field_header_matches_loader(field_path):
    h = read_field_header(field_path)
    f, x, y, z = meshdump.read_Vintar_bin(field_path[:-4], h.params)
    assert h.well_formed and h.reason == ""
    assert h.shape == f.shape and h.file_size == h.expected_size == os.path.getsize(field_path)
    assert len(h.blocks) == h.nproc_y * h.nproc_z
    for got, want in zip((h.x, h.y, h.z), (x, y, z)):
        np.testing.assert_array_equal(got, want)
    # Each block's data, read at its offset, is the part of the loaded grid
    # that its y0, z0 and extents name.
    raw = np.fromfile(field_path, dtype="<f4")
    for b in h.blocks:
        assert b.offset % 4 == 0
        data = raw[b.offset // 4: b.offset // 4 + b.size]
        part = f[:, b.y0:b.y0 + b.ny_loc, b.z0:b.z0 + b.nz_loc]
        np.testing.assert_array_equal(data, part.ravel(order="F"))


def test_field_header_fields(tmp_path):
    path = _field(tmp_path, ny_loc=[3, 5], nz_loc=[2, 4], real_params=np.arange(20) * 0.25)
    h = read_field_header(path)
    assert (h.nparam, h.nproc_y, h.nproc_z, h.ndimension) == (20, 2, 2, 3)
    assert h.int_params[:7] == (2, 2, 1002, 4, 8, 1005, 6)
    assert h.real_params[:3] == (0.0, 0.25, 0.5)
    assert [(b.layer, b.column, b.y0, b.z0, b.ny_loc, b.nz_loc) for b in h.blocks] == [
        (0, 0, 0, 0, 3, 2), (0, 1, 3, 0, 5, 2), (1, 0, 0, 2, 3, 4), (1, 1, 3, 2, 5, 4)]
    assert h.blocks[0].offset == 212
    assert h.file_size == field_dump_size(4, 8, 6, blocks=4)


def test_markers_are_not_read(tmp_path):
    good, bad = _field(tmp_path, name="good.bin"), _field(tmp_path, name="bad.bin", bad_markers=True)
    a, b = read_field_header(good), read_field_header(bad)
    assert b.well_formed and a.blocks == b.blocks
    assert is_field_dump(good) and not is_field_dump(bad)


FULL = field_dump_bytes(grid_values(4, 8, 6)[0], ny_loc=[3, 5], nz_loc=[2, 4])


P = pytest.param


@pytest.mark.parametrize("data, blocks_read, reason", [
    P(FULL[:400], 1, "file ends inside the data of block 1 (layer 0, column 1) at byte 312", id="cut-in-data"),
    P(FULL[:318], 1, "file ends before the extents of block 1", id="cut-in-extents"),
    P(FULL[:-5], 4, "file ends inside the z axis record", id="cut-in-axis"),
    P(FULL + b"\0" * 4, 4, "4 bytes after the z axis record", id="trailing"),
    P(field_dump_bytes(grid_values(4, 8, 6)[0], ny_loc=[3, 4], nz_loc=[2, 4]), 4,
      "ny_loc of layer 0 add up to 7, not ny = 8", id="narrow-layer"),
    P(field_dump_bytes(grid_values(4, 8, 6)[0], ny_loc=[3, 5], nz_loc=[2, 3]), 4,
      "layer heights add up to 5, not nz = 6", id="low-layers"),
    P(field_dump_bytes(grid_values(4, 2, 2)[0], nproc_y=2, blocks=[((4, 1, 2), None), ((4, 1, 1), None)]), 2,
      "blocks of layer 0 differ in nz_loc: [2, 1]", id="ragged-layer"),
    P(field_dump_bytes(grid_values(4, 2, 2)[0], blocks=[((3, 2, 2), None)]), 1,
      "block 0,0 has nx_loc 3, not nx = 4", id="short-rows"),
    P(field_dump_bytes(grid_values(4, 2, 2)[0], blocks=[((4, -2, 2), None)]), 0,
      "block 0 (layer 0, column 0) at byte 188 has negative extents 4 x -2 x 2", id="negative-extent"),
    P(field_dump_bytes(grid_values(2, 2, 2)[0], nparam=10), 1,
      "Nparam is 10; the field loader needs at least 15", id="nparam-10"),
    P(field_dump_bytes(grid_values(2, 2, 2)[0], int_params={3: 0}), 1, "nx is 0", id="nx-0"),
])
def test_field_dump_not_well_formed(tmp_path, data, blocks_read, reason):
    path = tmp_path / "bad.bin"
    path.write_bytes(data)
    h = read_field_header(path)
    assert not h.well_formed
    assert reason in h.reason
    assert len(h.blocks) == blocks_read


def test_cut_off_dump_expects_full_size(tmp_path):
    path = tmp_path / "cut.bin"
    path.write_bytes(FULL[:700])
    h = read_field_header(path)
    assert (h.file_size, h.expected_size) == (700, len(FULL))
    assert h.x is h.y is h.z is None


@pytest.mark.parametrize("nproc", [(2**31 - 1, 2**31 - 1), (1, 2**31 - 1)])
def test_huge_block_count_stops_at_end_of_file(tmp_path, nproc):
    # Zero-sized blocks are 28 bytes each: a corrupt nproc walks no further than the file.
    blocks = [((4, 0, 0), None)] * 50
    path = tmp_path / "huge.bin"
    path.write_bytes(field_dump_bytes(grid_values(4, 2, 2)[0], blocks=blocks,
                                      int_params={0: nproc[0], 1: nproc[1]}))
    h = read_field_header(path)
    assert not h.well_formed and "file ends" in h.reason
    assert len(h.blocks) < 60


def _header_bytes(nparam, payload_words):
    return struct.pack("<3i", 4, nparam, 4) + struct.pack("<I", 4 * nparam & 0xFFFFFFFF) + bytes(4 * payload_words)


@pytest.mark.parametrize("data, exc, message", [
    P(b"", EOFError, "0 bytes is too short for a field dump header", id="empty"),
    P(b"\4\0\0\0\x14\0", EOFError, "6 bytes is too short", id="6-bytes"),
    P(FULL[:100], EOFError, "Nparam is 20, so the header needs 188 bytes, but the file has 100", id="cut-header"),
    P(_header_bytes(2**28, 10), EOFError, f"Nparam is {2**28}, so the header needs", id="huge-nparam"),
    P(_header_bytes(-3, 10), ValueError, "Nparam is -3; a field dump has at least 7 integer parameters",
      id="negative-nparam"),
    P(_header_bytes(6, 20), ValueError, "Nparam is 6;", id="nparam-6"),
])
def test_unreadable_field_header_raises(tmp_path, data, exc, message):
    path = tmp_path / "bad.bin"
    path.write_bytes(data)
    with pytest.raises(exc, match=message.replace("(", r"\(").replace(")", r"\)")) as info:
        read_field_header(path)
    assert str(path) in str(info.value)


@pytest.mark.parametrize("reader", [read_field_header, lambda p: read_phase_space_header(p, 3)])
def test_missing_file(tmp_path, reader):
    with pytest.raises(FileNotFoundError):
        reader(tmp_path / "none.bin")


@pytest.mark.parametrize("n, counts, extra", [
    (3, [3, 0, 2], b""),
    (0, [1, 2], b""),
    (1, [0, 0, 4, -5, 1], b"\1\2\3"),
    (2, [0] * 5000 + [2], b""),
])
def test_phase_header_matches_loader(tmp_path, n, counts, extra):
    particles = sum(c for c in counts if c > 0)
    path = tmp_path / "ph.bin"
    write_phase_dump(path, phase_values(particles, n), n, counts, extra=extra)
    h = read_phase_space_header(path, n)
    ps = beamdump.total_phase_space_read(str(path)[:-4], {"n_dimensions": n})
    assert h.particles == ps.shape[1] == particles
    assert [b.count for b in h.blocks] == counts
    offsets = np.cumsum([0] + [4 + max(c, 0) * 4 * (2 * n + 2) for c in counts[:-1]])
    assert [b.offset for b in h.blocks] == list(offsets)
    assert h.trailing_bytes == len(extra)
    assert h.well_formed == all(c >= 0 for c in counts)


@pytest.mark.parametrize("data, n, particles, reason", [
    P(b"", 3, 0, "", id="empty"),
    P(phase_dump_bytes(phase_values(3, 1), 1, [3])[:-10], 1, 3,
      "last block (block 0 at byte 0) claims 3 particles, but the file holds only 2 of them whole", id="cut"),
    P(struct.pack("<i", 2**31 - 1), 3, 2**31 - 1, "more than the loader's limit", id="huge-count"),
    P(phase_dump_bytes(phase_values(1, 1), 1, [-4, 1]), 1, 1, "block 0 at byte 0 has a negative count -4",
      id="negative-count"),
])
def test_phase_header_problems(tmp_path, data, n, particles, reason):
    path = tmp_path / "ph.bin"
    path.write_bytes(data)
    h = read_phase_space_header(path, n)
    assert h.particles == particles
    assert h.well_formed == (reason == "")
    assert reason in h.reason


def test_negative_dimension_count(tmp_path):
    path = tmp_path / "ph.bin"
    path.write_bytes(b"")
    with pytest.raises(ValueError, match="n_dimensions must be 0 or more, not -1"):
        read_phase_space_header(path, -1)


@pytest.mark.parametrize("name, expected", [
    ("field_2x2.bin", True), ("field_1x1.bin", True), ("phase_n3.bin", False),
])
def test_is_field_dump(name, expected):
    assert is_field_dump(DATA_DIR / name) is expected
