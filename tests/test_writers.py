"""The public dump writers: round trips through the loaders, the rename
that keeps half a dump from ever being seen, and bounded memory."""
import io
import os
import re
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from dorvo.quickio import load, write_field, write_phase_space, writers
from dorvo.quickio._io import output as _output
from dorvo.quickio.header import read_field_header, read_phase_space_header
from helpers import DATA_DIR, grid_values, run_isolated, under_sanitizer, write_field_dump


class Lazy:
    """A field made slice by slice, as an HDF5 dataset or a memory map
    would hand it over; records the largest slice asked for."""

    def __init__(self, field):
        self.field, self.shape, self.ndim, self.largest = field, field.shape, 3, 0

    def __getitem__(self, key):
        part = self.field[key]
        self.largest = max(self.largest, part.size)
        return part


@pytest.mark.parametrize("shape, blocks", [
    ((5, 3, 2), (1, 1)),
    ((4, 8, 6), (2, 3)),
    ((4, 8, 6), ([3, 0, 5], [2, 4])),   # explicit extents, a block of no rows
    ((3, 1, 7), (1, 7)),
])
def test_field_round_trip(tmp_path, shape, blocks):
    field, x, y, z = grid_values(*shape)
    path = tmp_path / "f.bin"
    write_field(path, field.astype(np.float64), x, y, z, blocks=blocks, params={2: 77}, real_params={5: 2.5})
    f, *axes = load(path)
    np.testing.assert_array_equal(f, field)
    for got, want in zip(axes, (x, y, z)):
        np.testing.assert_array_equal(got, want)
    h = read_field_header(path)
    assert h.well_formed and h.int_params[2] == 77 and h.real_params[5] == 2.5
    assert len(h.blocks) == (len(blocks[0]) * len(blocks[1]) if np.ndim(blocks[0]) else blocks[0] * blocks[1])
    lazy = Lazy(field)
    write_field(path, lazy, x, y, z, blocks=blocks)
    np.testing.assert_array_equal(load(path)[0], field)
    assert lazy.largest <= field.shape[0] * field.shape[1]


def test_field_writer_matches_the_fortran_dump(tmp_path):
    # The same header values the Fortran fixture holds.
    data = write_field_dump(tmp_path / "f.bin", grid_values(4, 8, 6)[0], ny_loc=[3, 5], nz_loc=[2, 4])
    assert data == (DATA_DIR / "field_2x2.bin").read_bytes()


@pytest.mark.parametrize("n", [0, 1, 3])
def test_phase_space_round_trip(tmp_path, n):
    rng = np.random.default_rng(n)
    ps = rng.normal(size=(2 * n + 1, 50)).astype(np.float32)
    path = tmp_path / "p.bin"
    for blocks in (ps, [ps[:, :20], ps[:, 20:20], ps[:, 20:]], (ps[:, i:i + 7] for i in range(0, 50, 7))):
        write_phase_space(path, blocks, n)
        np.testing.assert_array_equal(load(path, n_dimensions=n), ps)
    write_phase_space(path, [], n)
    assert path.stat().st_size == 0 and load(path, n_dimensions=n).shape == (2 * n + 1, 0)


def test_phase_space_blocks_as_given_and_split_past_their_count(tmp_path, monkeypatch):
    """Every block given is a block of the dump, an empty one included,
    and one of more particles than a count holds becomes several."""
    ps = np.arange(3 * 30, dtype=np.float32).reshape(3, 30)
    path = tmp_path / "p.bin"
    monkeypatch.setattr(writers, "BLOCK_PARTICLES", 7)
    write_phase_space(path, [ps[:, :1], ps[:, 1:1], ps[:, 1:30]], 1)
    counts = [b.count for b in read_phase_space_header(path, 1).blocks]
    assert counts == [1, 0, 7, 7, 7, 7, 1]
    np.testing.assert_array_equal(load(path, n_dimensions=1), ps)


@pytest.mark.parametrize("subrecord", [1, 3, 8])
def test_records_are_framed_as_gfortran_frames_them(monkeypatch, subrecord):
    """Records of every length around a subrecord's size, written in pieces
    of every size, against the layout gfortran writes: subrecords of the
    most bytes and one of the rest, each between two markers, the opening
    one negative when another follows, the closing one when another came
    before. A payload longer or shorter than announced is refused."""

    def framed(payload):
        pieces = [payload[i : i + subrecord] for i in range(0, len(payload), subrecord)] or [b""]
        return b"".join(
            struct.pack("<i", -len(p) if i < len(pieces) - 1 else len(p)) + p
            + struct.pack("<i", -len(p) if i else len(p))
            for i, p in enumerate(pieces)
        )

    monkeypatch.setattr(writers, "SUBRECORD", subrecord)
    for length in range(3 * subrecord + 2):
        payload = bytes(range(1, length + 1))
        for piece in range(1, max(length, 1) + 1):
            f = io.BytesIO()
            record = writers._Record(f, length)
            for i in range(0, length, piece):
                record.write(payload[i : i + piece])
            record.close()
            assert f.getvalue() == framed(payload), (length, piece)
        record = writers._Record(io.BytesIO(), length)
        with pytest.raises(ValueError, match="^a record's payload is longer than announced$"):
            record.write(payload + b"+")
        record = writers._Record(io.BytesIO(), length + 1)
        record.write(payload)
        with pytest.raises(ValueError, match="^a record's payload is shorter than announced$"):
            record.close()


def test_the_owner_kept_as_far_as_allowed(tmp_path, monkeypatch):
    """Over another's file, a writer that may not give it away keeps at
    least its group (root keeps both: test_replacing_keeps_the_file_as_it_was)."""
    path = tmp_path / "p.bin"
    write_phase_space(path, [], 1)
    calls = []

    def chown(name, uid, gid):
        calls.append((uid, gid))
        if uid != -1:
            raise PermissionError(1, "Operation not permitted")

    monkeypatch.setattr(os, "chown", chown)
    st = path.stat()
    write_phase_space(path, [], 1)
    assert calls == [(st.st_uid, st.st_gid), (-1, st.st_gid)]


class Shaped:
    """A field of any shape that holds no values."""

    def __init__(self, shape):
        self.shape = shape

    def __getitem__(self, key):
        raise AssertionError("read")


def grid(shape, **kw):
    """write_field's call for a field of `shape` and fitting axes."""
    return lambda p: write_field(p, np.zeros(shape), *(np.arange(n) for n in shape), **kw)


BIG = (2**31 - 2) // 2  # the most dimensions a phase-space dump holds


@pytest.mark.parametrize("call, message", [
    (lambda p: write_field(p, np.zeros((2, 3)), [0, 1], [0, 1, 2], []),
     r"field: a 3-D \(nx, ny, nz\) array, got 2 dimensions"),
    (lambda p: write_field(p, np.zeros((2, 3, 1)), [0, 1], [0, 1], [0]), "y: 3 values for a field of shape"),
    *((grid(shape), ".*/" + re.escape(f"d.bin: a field dump holds at least one point along each axis; the field's shape is {shape}"))
      for shape in ((0, 3, 1), (2, 0, 1), (2, 3, 0))),
    (lambda p: write_field(p, Shaped((2**31, 1, 1)), [], [0], [0]),
     "field: a dump holds at most 2147483647 points along an axis"),
    (lambda p: write_field(p, Shaped((2**31 - 1, 1, 1)), [], [0], [0]), "x: 2147483647 values"),
    (grid((2, 3, 1), blocks=(1,)), r"blocks: \(nproc_y, nproc_z\) or \(y extents, z extents\), got \(1,\)"),
    (grid((2, 3, 1), blocks=(0, 1)), "blocks: at least one block along y, got 0"),
    (grid((2, 3, 1), blocks=(1, 0)), "blocks: at least one block along z, got 0"),
    (grid((2, 3, 1), blocks=([1, 1], [1])), r"blocks: the y extents \[1, 1\] must be >= 0 and add up to 3"),
    (grid((2, 3, 1), blocks=([], [1])), r"blocks: the y extents \[\] must be >= 0 and add up to 3"),
    (grid((2, 3, 1), blocks=([-1, 4], [1])), r"blocks: the y extents \[-1, 4\] must be >= 0 and add up to 3"),
    (grid((2, 3, 1), blocks=(1, [2])), r"blocks: the z extents \[2\] must be >= 0 and add up to 1"),
    (grid((2, 3, 1), params={20: 1}), "params: index 20 outside the header's 20 entries"),
    (grid((2, 3, 1), real_params={-1: 1.0}), "real_params: index -1 outside the header's 20 entries"),
    (grid((2, 3, 1), real_params=[1.0, 2.0]), r"real_params: 20 values, got shape \(2,\)"),
    (lambda p: write_phase_space(p, np.zeros((5, 3)), 3),
     r"a block of particles: a \(7, P\) array for n_dimensions=3, got shape \(5, 3\)"),
    (lambda p: write_phase_space(p, [], -1), "n_dimensions must be >= 0, got -1"),
    (lambda p: write_phase_space(p, [], BIG + 1), f"n_dimensions must be at most {BIG}, got {BIG + 1}"),
])
def test_refusals_leave_no_file(tmp_path, call, message):
    path = tmp_path / "d.bin"
    with pytest.raises(ValueError, match=f"^{message}"):
        call(path)
    assert os.listdir(tmp_path) == []


def test_header_entries_and_odd_inputs(tmp_path):
    """Header entries set by the caller override the writer's, or leave
    them be; a field may come as nested lists; a phase-space dump may have
    the most dimensions its counts hold."""
    path = tmp_path / "d.bin"

    def header():  # the two records after the count of entries, as they lie
        data = path.read_bytes()
        return np.frombuffer(data, "<i4", 20, 16), np.frombuffer(data, "<f4", 20, 104)

    field, x, y, z = grid_values(3, 2, 2)
    write_field(path, field.tolist(), x, y, z)
    np.testing.assert_array_equal(load(path)[0], field)
    write_field(path, field, x, y, z, params={0: 9, 2: 77}, real_params={0: 1.5, 19: 2.5})
    ints, reals = header()
    assert list(ints[[0, 1, 2, 3, 4, 6, 14]]) == [9, 1, 77, 3, 2, 2, 3] and (reals[0], reals[19]) == (1.5, 2.5)
    write_field(path, field, x, y, z, params=list(range(20)), real_params=np.arange(20.0))
    ints, reals = header()
    assert list(ints[[0, 1, 2, 3, 4, 6, 14]]) == [1, 1, 2, 3, 2, 2, 3] and list(reals) == list(range(20))
    write_phase_space(path, [], BIG)
    assert path.stat().st_size == 0


def test_a_failed_write_keeps_the_old_dump(tmp_path):
    path = tmp_path / "p.bin"
    write_phase_space(path, np.ones((3, 4), np.float32), 1)
    before = path.read_bytes()

    def blocks():
        yield np.zeros((3, 2), np.float32)
        raise RuntimeError("the simulation stopped")

    with pytest.raises(RuntimeError):
        write_phase_space(path, blocks(), 1)
    assert path.read_bytes() == before and os.listdir(tmp_path) == ["p.bin"]


@pytest.mark.skipif(under_sanitizer(), reason="AddressSanitizer maps its shadow memory into the address space, "
                    "so a limit on it measures nothing of ours")
def test_large_dumps_are_written_in_bounded_memory(tmp_path):
    # 64 MiB of field and 56 MiB of particles, written with 24 MiB of
    # address space to spare: a writer that built either file in memory
    # would fail with MemoryError.
    run_isolated(textwrap.dedent(f"""
        import resource
        import numpy as np
        from dorvo.quickio import load, write_field, write_phase_space
        from dorvo.quickio._io import output as _output

        field = np.arange(256**3, dtype=np.float32).reshape((256, 256, 256), order="F")
        axis = np.arange(256, dtype=np.float32)
        ps = np.arange(7 * 2_000_000, dtype=np.float32).reshape(7, -1)
        def vm():
            for line in open("/proc/self/status"):
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm() + (24 << 20), hard))
        write_field({str(tmp_path / "f.bin")!r}, field, axis, axis, axis, blocks=(2, 2))
        write_phase_space({str(tmp_path / "p.bin")!r}, ps, 3)
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        assert (load({str(tmp_path / "f.bin")!r})[0] == field).all()
        assert (load({str(tmp_path / "p.bin")!r}, n_dimensions=3) == ps).all()
    """))


def test_replacing_keeps_the_file_as_it_was(tmp_path, monkeypatch):
    """A dump written over another keeps its mode and owner, a symbolic link
    is written through to its target, a hard link keeps the previous dump
    (as documented), a new dump gets the mode every new file gets, the
    umask is never touched, and a dead writer's temporary is cleaned."""
    def umask(*args):
        raise AssertionError("the umask was touched")

    field, x, y, z = grid_values(3, 2, 2)
    probe = os.open(tmp_path / "probe", os.O_CREAT | os.O_WRONLY, 0o666)
    os.close(probe)
    monkeypatch.setattr(os, "umask", umask)
    write_field(tmp_path / "new.bin", field, x, y, z)
    assert os.stat(tmp_path / "new.bin").st_mode == os.stat(tmp_path / "probe").st_mode
    target = tmp_path / "target.bin"
    write_field(target, field, x, y, z)
    os.chmod(target, 0o600)
    if os.geteuid() == 0:
        os.chown(target, 1234, 5678)
    os.symlink(target.name, tmp_path / "link.bin")
    os.link(target, tmp_path / "hard.bin")
    dead = subprocess.Popen([sys.executable, "-c", ""])
    dead.wait()
    stale = tmp_path / f".target.bin.quickio-{_output._host()}-{dead.pid}-0000beef.part"
    stale.write_bytes(b"left by a killed writer")
    write_field(tmp_path / "link.bin", 2 * field, x, y, z)
    st = os.stat(target)
    assert os.path.islink(tmp_path / "link.bin") and (st.st_mode & 0o777) == 0o600
    assert os.geteuid() != 0 or (st.st_uid, st.st_gid) == (1234, 5678)
    np.testing.assert_array_equal(load(target)[0], 2 * field)
    np.testing.assert_array_equal(load(tmp_path / "hard.bin")[0], field)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["hard.bin", "link.bin", "new.bin", "probe", "target.bin"]


@pytest.mark.parametrize("offset", [0, 4096 + 12])
def test_a_memory_mapped_field_is_not_kept_resident(tmp_path, offset):
    """A field in a memory map in the dump's order has its pages let go as
    they are written: the map holds none of the field resident at the end
    (the file's bytes read again should they be needed), and the dump holds
    the values. A map in another order keeps its pages, as does the field's
    copy-on-write map."""

    def resident(raw):
        """Bytes of the map of `raw` that the process holds in memory."""
        with open("/proc/self/smaps") as smaps:
            lines = smaps.read().splitlines()
        at = [i for i, line in enumerate(lines) if line.endswith(" " + str(raw))]
        assert len(at) == 1, at
        return next(int(line.split()[1]) for line in lines[at[0] + 1 :] if line.startswith("Rss:")) << 10

    # 8 MiB in pieces of a block's rows of one plane (768 KiB and 1.25 MiB).
    # A page fault maps up to 15 neighbours already read (64 KiB): pages of
    # the piece before may come back, up to 60 KiB a piece. The system may
    # let go of more than was asked (a large folio of the cache, up to 2 MiB
    # at once), hence planes of many rows: letting go of the wrong rows
    # leaves MiB behind.
    nx, ny, nz = 32768, 16, 4
    values = np.arange(nx * ny * nz, dtype=np.float32).reshape((nx, ny, nz), order="F")
    axes = [np.arange(n, dtype=np.float32) for n in (nx, ny, nz)]
    for order, mode, kept in (("F", "r", False), ("F", "r+", False), ("C", "r", True), ("F", "c", True)):
        raw = tmp_path / f"{order}{mode}.raw"
        raw.write_bytes(b"\0" * offset + values.tobytes(order))
        field = np.memmap(raw, np.float32, mode, offset=offset, shape=(nx, ny, nz), order=order)
        write_field(tmp_path / "f.bin", field, *axes, blocks=([6, 10], [1, 3]))
        share = resident(raw) / values.nbytes
        assert (share > 0.9) if kept else (share < 0.05), (order, mode, share)
        np.testing.assert_array_equal(load(tmp_path / "f.bin")[0], values)
        del field
