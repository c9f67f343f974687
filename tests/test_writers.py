"""The public dump writers: round trips through the loaders, the rename
that keeps half a dump from ever being seen, and bounded memory."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from dorvo.quickio import load, write_field, write_phase_space
from dorvo.quickio._io import output as _output
from dorvo.quickio.header import read_field_header
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


@pytest.mark.parametrize("call, message", [
    (lambda p: write_field(p, np.zeros((2, 3)), [0, 1], [0, 1, 2], []), "3-D"),
    (lambda p: write_field(p, np.zeros((2, 3, 1)), [0, 1], [0, 1], [0]), "y: 3 values"),
    (lambda p: write_field(p, np.zeros((2, 3, 1)), [0, 1], [0, 1, 2], [0], blocks=([1, 1], [1])), "add up to 3"),
    (lambda p: write_phase_space(p, np.zeros((5, 3)), 3), r"a \(7, P\) array"),
    (lambda p: write_field(p, np.zeros((2, 0, 1)), [0, 1], [], [0]), r"d.bin: a field dump holds at least one point"),
])
def test_refusals_leave_no_file(tmp_path, call, message):
    path = tmp_path / "d.bin"
    with pytest.raises(ValueError, match=message):
        call(path)
    assert os.listdir(tmp_path) == []


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


@pytest.mark.skipif(under_sanitizer(), reason="AddressSanitizer's shadow memory is counted too")
def test_a_memory_mapped_field_is_not_kept_resident(tmp_path):
    # 64 MiB of field in a memory map, in the dump's order: the writer lets
    # its pages go as it writes them, so the process's peak resident set
    # grows by far less than the field.
    run_isolated(textwrap.dedent(f"""
        import numpy as np
        from dorvo.quickio import write_field

        n = 256
        with open({str(tmp_path / "f.raw")!r}, "wb") as fh:  # a plane at a time: no peak of our own
            for k in range(n):
                fh.write(np.full(n * n, k, np.float32).tobytes())
        field = np.memmap({str(tmp_path / "f.raw")!r}, np.float32, "r", shape=(n, n, n), order="F")
        def peak():
            return next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM"))
        before = peak()
        write_field({str(tmp_path / "f.bin")!r}, field, np.arange(n), np.arange(n), np.arange(n), blocks=(2, 2))
        grown = (peak() - before) >> 10
        assert grown < 24, f"the peak grew by {{grown}} MiB"
    """))
