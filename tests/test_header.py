"""The header API: its block tables and axes against the loaders' results,
and its verdict against the loaders over many broken dumps."""
import io
import os
import pickle
import struct
from importlib import resources
from pathlib import Path

import numpy as np
import pytest

from dorvo.quickio import _scan, beamdump, load, meshdump
from dorvo.quickio.header import (FieldBlock, PhaseBlock, is_field_dump, read_field_header,
                                  read_phase_space_header)
from helpers import (DATA_DIR, MAX_SUBRECORD, field_dump_bytes, field_dump_size, grid_values, phase_dump_bytes,
                     phase_values, subrecords, write_field_dump, write_phase_dump)

SAMPLES = str(resources.files("dorvo.quickio").joinpath("samples"))
P = pytest.param


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
    assert h.well_formed and h.reason == "" and h.stopped_at is None
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


def test_field_table_larger_than_a_first_pass_keeps(tmp_path):
    ny = 70000
    h = read_field_header(_field(tmp_path, (1, ny, 1), ny_loc=[1] * ny))
    assert h.well_formed and len(h.blocks) == ny
    assert h.blocks.y0.tolist() == list(range(ny))
    assert h.blocks.offset.tolist() == (212 + 32 * np.arange(ny)).tolist()


def test_block_table_is_a_sequence_with_columns(tmp_path):
    blocks = read_field_header(_field(tmp_path, ny_loc=[3, 5], nz_loc=[2, 4])).blocks
    rows = list(blocks)
    assert len(blocks) == 4 and all(type(b) is FieldBlock for b in rows)
    assert blocks[-1] == rows[3] and blocks[1:3] == rows[1:3] and blocks[::-2] == rows[::-2]
    assert all(type(v) is int for v in blocks[0])
    for name in FieldBlock._fields:
        column = getattr(blocks, name)
        assert column.dtype == np.int64 and not column.flags.writeable
        assert column.tolist() == [getattr(b, name) for b in rows]
    with pytest.raises(IndexError):
        blocks[4]
    with pytest.raises(AttributeError, match="no column 'count'"):
        blocks.count
    back = pickle.loads(pickle.dumps(blocks))
    assert back == blocks and list(back) == rows


# ------------------------------------------------- the verdict against the loaders


def _loads(path, n):
    """Whether load() returns for the dump, and whether the loader itself
    does (with the header's own sizes for a field dump); both must agree."""
    try:
        result = load(path, n_dimensions=n)
    except Exception:
        result = None
    if n is None:
        try:
            ints = struct.unpack_from("<7i", path.read_bytes(), 16)
            meshdump.read_Vintar_bin(str(path)[:-4], {"nx": ints[3], "ny": ints[4], "nz": ints[6]})
            raw = True
        except Exception:
            raw = False
    else:
        try:
            beamdump.total_phase_space_read(str(path)[:-4], {"n_dimensions": n})
            raw = True
        except ValueError as e:
            raw = str(e) == "Invalid shape in axis 0: 0."  # a dump of no particles: load() gives an empty array
        except Exception:
            raw = False
    assert raw == (result is not None), path.read_bytes()
    return result


def _verdict(path, n):
    try:
        return read_field_header(path) if n is None else read_phase_space_header(path, n)
    except (EOFError, ValueError):
        return None  # a field header that is not even one


def _disagreements(tmp_path, dumps, n):
    """The dumps for which the header's verdict and load() disagree."""
    path = tmp_path / "m.bin"
    bad = []
    for label, data in dumps:
        path.write_bytes(data)
        h = _verdict(path, n)
        result = _loads(path, n)
        well = h is not None and h.well_formed
        if well != (result is not None):
            bad.append((label, well, h.reason if h else "header raised"))
        elif well and n is None:
            f, x, y, z = result
            assert f.shape == h.shape and z.tobytes() == h.z.tobytes(), label
        elif well:
            assert result.shape == (h.components, h.particles), label
    return bad


def _truncations(data):
    return [(f"cut at {i}", data[:i]) for i in range(len(data))]


def _word_edits(data, values=lambda w: (0, -1, 1, w + 1, w - 1, 2**31 - 1, -2**31)):
    out = []
    for i in range(0, len(data) - 3, 4):
        (w,) = struct.unpack_from("<i", data, i)
        for v in values(w):
            if -2**31 <= v < 2**31 and v != w:
                out.append((f"word {i // 4} = {v}", data[:i] + struct.pack("<i", v) + data[i + 4:]))
    return out


def _extras(data):
    return [(f"{k} more bytes", data + bytes(range(1, k + 1))) for k in range(1, 10)]


FIELD_BASES = {
    "4-blocks": field_dump_bytes(grid_values(3, 4, 5)[0], ny_loc=[1, 3], nz_loc=[2, 3]),
    "nparam-15": field_dump_bytes(grid_values(2, 2, 2)[0], nparam=15),
    "empty-column": field_dump_bytes(grid_values(2, 3, 2)[0], ny_loc=[[3, 0], [1, 2]], nz_loc=[1, 1]),
    "bad-markers": field_dump_bytes(grid_values(3, 4, 5)[0], ny_loc=[1, 3], nz_loc=[2, 3], bad_markers=True),
}
PHASE_BASES = {
    "n1-mixed": (phase_dump_bytes(phase_values(3, 1), 1, [2, 0, -3, 1], extra=b"\7\7\7"), 1),
    "n0": (phase_dump_bytes(phase_values(3, 0), 0, [1, 2]), 0),
    "n3-one-block": (phase_dump_bytes(phase_values(2, 3), 3, [2]), 3),
}


@pytest.mark.parametrize("mutate", [_truncations, _word_edits, _extras], ids=["cut", "word", "extra"])
@pytest.mark.parametrize("base", FIELD_BASES)
def test_field_verdict_agrees_with_load(tmp_path, base, mutate):
    data = FIELD_BASES[base]
    assert _disagreements(tmp_path, [("as written", data)] + mutate(data), None) == []


@pytest.mark.parametrize("mutate", [_truncations, _word_edits, _extras], ids=["cut", "word", "extra"])
@pytest.mark.parametrize("base", PHASE_BASES)
def test_phase_verdict_agrees_with_load(tmp_path, base, mutate):
    data, n = PHASE_BASES[base]
    for read_n in (n, n + 1, 0):
        assert _disagreements(tmp_path, [("as written", data)] + mutate(data), read_n) == []


def test_field_dumps_of_every_kind_of_fault_agree(tmp_path):
    g = grid_values(4, 8, 6)[0]
    dumps = [
        ("narrow layer", field_dump_bytes(g, ny_loc=[3, 4], nz_loc=[2, 4])),
        ("low layers", field_dump_bytes(g, ny_loc=[3, 5], nz_loc=[2, 3])),
        ("ragged layer", field_dump_bytes(grid_values(4, 2, 2)[0], nproc_y=2,
                                          blocks=[((4, 1, 2), None), ((4, 1, 1), None)])),
        ("short rows", field_dump_bytes(grid_values(4, 2, 2)[0], blocks=[((3, 2, 2), None)])),
        ("negative extent", field_dump_bytes(grid_values(4, 2, 2)[0], blocks=[((4, -2, 2), None)])),
        ("nparam 10", field_dump_bytes(grid_values(2, 2, 2)[0], nparam=10)),
        ("nparam 6", field_dump_bytes(grid_values(2, 2, 2)[0], nparam=6)),
        ("no points", field_dump_bytes(np.zeros((0, 2, 2)), blocks=[((0, 2, 2), None)])),
        ("a phase-space dump", phase_dump_bytes(phase_values(3, 1), 1)),
        ("empty file", b""),
    ]
    assert _disagreements(tmp_path, dumps, None) == []


# ------------------------------------------------------------- broken dumps


FULL = field_dump_bytes(grid_values(4, 8, 6)[0], ny_loc=[3, 5], nz_loc=[2, 4])


@pytest.mark.parametrize("data, blocks_read, stopped_at, reason", [
    P(FULL[:400], 1, 336, "file ends inside the data of block (layer 0, column 1): 160 bytes needed at offset 336",
      id="cut-in-data"),
    P(FULL[:318], 1, 316, "file ends inside the extents of block (layer 0, column 1)", id="cut-in-extents"),
    P(FULL[:-5], 4, len(FULL) - 28, "file ends inside the z axis: 24 bytes needed", id="cut-in-axis"),
    P(field_dump_bytes(grid_values(4, 8, 6)[0], ny_loc=[3, 4], nz_loc=[2, 4]), 2, None,
      "the blocks of layer 0 leave y rows 7 to 7 of the grid (4, 8, 6) uncovered", id="narrow-layer"),
    P(field_dump_bytes(grid_values(2, 2, 2)[0], nparam=10), 1, None,
      "the header gives Nparam = 10, but the field loader needs at least 15", id="nparam-10"),
])
def test_broken_field_dump_says_why_and_where(tmp_path, data, blocks_read, stopped_at, reason):
    path = tmp_path / "bad.bin"
    path.write_bytes(data)
    h = read_field_header(path)
    assert not h.well_formed and reason in h.reason
    assert len(h.blocks) == blocks_read
    if stopped_at is not None:
        assert h.stopped_at == stopped_at
    assert h.x is None or h.reason.startswith("the header gives Nparam")


def test_cut_off_dump_expects_full_size(tmp_path):
    path = tmp_path / "cut.bin"
    path.write_bytes(FULL[:700])
    h = read_field_header(path)
    assert (h.file_size, h.expected_size) == (700, len(FULL))
    assert h.x is h.y is h.z is None


def test_huge_block_count_stops_at_end_of_file(tmp_path):
    # Zero-sized blocks are 28 bytes each: a corrupt nproc walks no further than the file.
    path = tmp_path / "huge.bin"
    path.write_bytes(field_dump_bytes(grid_values(4, 2, 2)[0], blocks=[((4, 0, 0), None)] * 50,
                                      int_params={0: 2**31 - 1, 1: 2**31 - 1}))
    h = read_field_header(path)
    assert not h.well_formed and len(h.blocks) < 60 and h.stopped_at < h.file_size


def _header_bytes(nparam, payload_words):
    return struct.pack("<3i", 4, nparam, 4) + struct.pack("<I", 4 * nparam & 0xFFFFFFFF) + bytes(4 * payload_words)


@pytest.mark.parametrize("data, exc, message", [
    P(b"", EOFError, "file ends inside the parameter count", id="empty"),
    P(FULL[:100], EOFError, "file ends inside the real parameters: 80 bytes needed at offset 104, 0 left",
      id="cut-header"),
    P(_header_bytes(2**28, 10), EOFError, "file ends inside the integer parameters", id="huge-nparam"),
    P(_header_bytes(-3, 10), ValueError, "the header gives Nparam = -3, but the reader needs at least 7",
      id="negative-nparam"),
])
def test_unreadable_field_header_raises(tmp_path, data, exc, message):
    path = tmp_path / "bad.bin"
    path.write_bytes(data)
    with pytest.raises(exc, match=message.replace("(", r"\(").replace(")", r"\)")) as info:
        read_field_header(path)
    assert str(path) in str(info.value)


@pytest.mark.parametrize("reader", [read_field_header, lambda p: read_phase_space_header(p, 3), is_field_dump])
def test_missing_file(tmp_path, reader):
    with pytest.raises(FileNotFoundError):
        reader(tmp_path / "none.bin")


# ------------------------------------------------------------ phase space


@pytest.mark.parametrize("n, counts, extra", [
    (3, [3, 0, 2], b""),
    (0, [1, 2], b""),
    (1, [0, 0, 4, -5, 1], b"\1\2\3"),
    (2, [0] * 5000 + [2], b""),
    (1, [0] * 70000 + [3, -1, 2], b"\1"),  # more blocks than a first pass keeps: a second fills the table
])
def test_phase_header_matches_loader(tmp_path, n, counts, extra):
    particles = sum(c for c in counts if c > 0)
    path = tmp_path / "ph.bin"
    write_phase_dump(path, phase_values(particles, n), n, counts, extra=extra)
    h = read_phase_space_header(path, n)
    ps = beamdump.total_phase_space_read(str(path)[:-4], {"n_dimensions": n})
    assert h.particles == ps.shape[1] == particles
    assert [b.count for b in h.blocks] == counts and h.blocks.count.tolist() == counts
    offsets = np.cumsum([0] + [4 + max(c, 0) * 4 * (2 * n + 2) for c in counts[:-1]])
    assert h.blocks.offset.tolist() == offsets.tolist()
    assert h.trailing_bytes == len(extra)
    assert h.well_formed and h.stopped_at is None


def test_phase_cut_short(tmp_path):
    path = tmp_path / "ph.bin"
    path.write_bytes(phase_dump_bytes(phase_values(4, 1), 1, [1, 3])[:-20])
    h = read_phase_space_header(path, 1)
    assert not h.well_formed and (h.particles, len(h.blocks), h.stopped_at) == (1, 1, 20)
    assert h.reason == "block at offset 20 announces 3 particles of 16 bytes each but only 28 bytes remain"


def test_negative_dimension_count(tmp_path):
    path = tmp_path / "ph.bin"
    path.write_bytes(b"")
    with pytest.raises(ValueError, match="n_dimensions must be >= 0, got -1"):
        read_phase_space_header(path, -1)


def test_is_field_dump(tmp_path):
    bad = _field(tmp_path, name="bad.bin", bad_markers=True)
    cut = tmp_path / "cut.bin"
    cut.write_bytes(FULL[:300])
    for path, expected in [(DATA_DIR / "field_2x2.bin", True), (DATA_DIR / "phase_n3.bin", False),
                           (bad, True), (cut, True)]:
        assert is_field_dump(path) is expected, path
    # Markers are never read: a dump with wrong ones is the same dump.
    assert read_field_header(bad).blocks == read_field_header(_field(tmp_path, name="good.bin")).blocks


# ---------------------------------------------------------- 64-bit sizes


def _sparse(path, size, pieces):
    """A file of `size` bytes, all zero (and unallocated on disk) but for
    `pieces`: {offset: bytes}."""
    with open(path, "wb") as f:
        f.truncate(size)
        for offset, data in pieces.items():
            f.seek(offset)
            f.write(data)


def test_sizes_beyond_32_bits(tmp_path):
    # A phase-space block of 2**31 - 1 particles of 8 bytes (n = 0): 16 GiB.
    _sparse(tmp_path / "ph.bin", 4 + 8 * (2**31 - 1), {0: struct.pack("<i", 2**31 - 1)})
    h = read_phase_space_header(tmp_path / "ph.bin", 0)
    assert h.well_formed and h.particles == 2**31 - 1
    # A field of 2048 x 1024 x 1025 points (more than 2**31) in one block of
    # 8 GiB: a record of five subrecords, as gfortran writes it.
    nx, ny, nz = 2048, 1024, 1025
    head = field_dump_bytes(np.zeros((1, 1, 1)), int_params={3: nx, 4: ny, 6: nz})[:188]
    data_at = 188 + 20 + 4
    parts, at = {0: head + struct.pack("<5i", 12, nx, ny, nz, 12)}, data_at - 4
    for _, length, opening, closing in subrecords(4 * nx * ny * nz):
        parts[at], parts[at + 4 + length] = struct.pack("<i", opening), struct.pack("<i", closing)
        at += length + 8
    z_at = at + 4 + 4 * nx + 8 + 4 * ny + 8  # past the x and y records
    parts[z_at] = np.arange(nz, dtype="<f4").tobytes()
    _sparse(tmp_path / "f.bin", z_at + 4 * nz + 4, parts)
    h = read_field_header(tmp_path / "f.bin")
    assert h.well_formed, h.reason
    assert h.blocks[0].offset == data_at and h.blocks.nz_loc.tolist() == [nz]
    assert h.segments.offset.tolist() == [data_at + k * (MAX_SUBRECORD + 8) for k in range(5)]
    assert h.segments.length.tolist() == [MAX_SUBRECORD] * 4 + [4 * nx * ny * nz - 4 * MAX_SUBRECORD]
    np.testing.assert_array_equal(h.z, np.arange(nz))


# ------------------------------------------------------ file objects


def test_scan_reads_a_file_object_as_it_reads_the_file():
    for path in (os.path.join(SAMPLES, "field.bin"), str(DATA_DIR / "field_2x2.bin")):
        from_path, from_object = _scan.field(path), _scan.field(io.BytesIO(Path(path).read_bytes()))
        assert str(from_object) == str(from_path)
    path = os.path.join(SAMPLES, "phase_space.bin")
    with open(path, "rb") as f:
        assert str(_scan.phase(f, 3)) == str(_scan.phase(path, 3))


class _Failing(io.BytesIO):
    def read(self, n=-1):
        raise RuntimeError("the network is down")


@pytest.mark.parametrize("source, exc, match", [
    P(_Failing(FULL), RuntimeError, "the network is down", id="read-raises"),
    P(42, TypeError, "expected a path .* or a binary file object with seek\\(\\) and read\\(\\), not int", id="int"),
])
def test_scan_source_errors(source, exc, match):
    with pytest.raises(exc, match=match):
        _scan.field(source)
