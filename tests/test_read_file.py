"""meshdump.read_file on well-formed and broken field dumps."""
import array
import ctypes
import os

import numpy as np
import pytest

from dorvo.quickio import meshdump
from helpers import DATA_DIR, NDIMENSION, NPROC_Y, NPROC_Z, NX, NY, NZ, field_dump_bytes, grid_values, run_isolated

SENTINEL = -12345.0


def buffers(shape, pad=0):
    nx, ny, nz = shape
    return [np.full(n + pad, SENTINEL, np.float32) for n in (nx * ny * nz, nx, ny, nz)]


def check_read(path, field, x, y, z, pad=0):
    bufs = buffers(field.shape, pad)
    result = meshdump.read_file(*bufs, path)
    assert type(result) is tuple and len(result) == 4
    assert all(r is b for r, b in zip(result, bufs))
    for buf, want in zip(bufs, (field.ravel(order="F"), x, y, z)):
        np.testing.assert_array_equal(buf[:want.size], want)
        assert (buf[want.size:] == SENTINEL).all(), "wrote past the data"


@pytest.mark.parametrize(
    "shape, layout",
    [
        ((5, 3, 2), {}),
        ((1, 1, 1), {}),
        ((4, 8, 6), dict(ny_loc=[3, 5], nz_loc=[2, 4])),
        ((1, 8, 6), dict(ny_loc=[3, 5], nz_loc=[2, 4])),
        ((3, 8, 6), dict(ny_loc=[3, 5], nz_loc=[2, 4])),
        ((5, 8, 6), dict(ny_loc=[3, 5], nz_loc=[2, 4])),
        ((4, 5, 1), dict(ny_loc=[1, 4])),
        ((4, 8, 6), dict(ny_loc=[3, 5], nz_loc=[2, 4], nparam=7)),
        ((4, 8, 6), dict(ny_loc=[3, 5], nz_loc=[2, 4], nparam=25)),
        ((4, 8, 6), dict(ny_loc=[[3, 5], [6, 2]], nz_loc=[2, 4])),
        ((5, 7, 5), dict(ny_loc=[[1, 2, 4], [3, 3, 1], [2, 2, 3]], nz_loc=[1, 3, 1])),
        ((2, 4, 3), dict(nproc_y=4, nproc_z=3)),
        ((3, 4, 6), dict(nproc_z=3)),  # whole planes per block
        ((3, 4, 6), dict(ny_loc=[[4], [4], [4]], nz_loc=[1, 0, 5])),  # a layer of height 0
        ((300, 4, 2), dict(ny_loc=[1, 3])),  # long and short row runs
        ((4, 8, 6), dict(ny_loc=[3, 5], nz_loc=[2, 4], bad_markers=True)),
    ],
)
@pytest.mark.parametrize("pad", [0, 3])
def test_tilings(field_dump, shape, layout, pad):
    check_read(*field_dump(shape, **layout), pad=pad)


def test_ignores_uninterpreted_header_entries(field_dump):
    odd = {2: -5, 5: 2**31 - 1, NDIMENSION: -1, 19: 0}
    path, *expected = field_dump((4, 8, 6), ny_loc=[3, 5], nz_loc=[2, 4], int_params=odd,
                                 real_params=np.full(20, np.nan))
    check_read(path, *expected)


@pytest.mark.parametrize("name, shape", [("field_2x2.bin", (4, 8, 6)), ("field_1x1.bin", (5, 3, 2))])
def test_fortran_fixtures(name, shape):
    check_read(bytes(DATA_DIR / name), *grid_values(*shape), pad=2)


@pytest.mark.parametrize(
    "make",
    [
        lambda n: np.zeros(n, "<f4"),
        lambda n: array.array("f", bytes(4 * n)),
        lambda n: memoryview(bytearray(4 * n)).cast("f"),
        lambda n: (ctypes.c_float * n)(),
        lambda n: np.zeros(2 * n, np.float32)[n:],
    ],
    ids=["numpy", "array", "memoryview", "ctypes", "offset-view"],
)
@pytest.mark.parametrize("to_path", [bytes, bytearray, type("P", (bytes,), {})], ids=["bytes", "bytearray", "subclass"])
def test_buffer_and_path_kinds(make, to_path):
    field, x, y, z = grid_values(4, 8, 6)
    bufs = [make(n) for n in (field.size, 4, 8, 6)]
    assert meshdump.read_file(*bufs, to_path(bytes(DATA_DIR / "field_2x2.bin")))[3] is bufs[3]
    for buf, want in zip(bufs, (field.ravel(order="F"), x, y, z)):
        np.testing.assert_array_equal(np.frombuffer(buf, np.float32), want)


def test_repeated_reads_are_independent(field_dump):
    first = field_dump((4, 8, 6), nproc_y=2, nproc_z=2)
    second = field_dump((4, 8, 6), nproc_y=4, nproc_z=3, int_params={7: 1})
    bufs = buffers((4, 8, 6))
    for path, field, *_ in (first, second, first):
        meshdump.read_file(*bufs, path)
        np.testing.assert_array_equal(bufs[0], field.ravel(order="F"))


# ---- broken dumps and buffers ---------------------------------------------
#
# Each case runs in its own interpreter: a reader that trusts the file could
# write past a buffer or end the process.

FAILING_READ = """
import re, traceback
import numpy as np
from dorvo.quickio import meshdump
bufs = [np.zeros(n, np.float32) for n in {sizes!r}]
try:
    meshdump.read_file(*bufs, {path!r})
except Exception as e:
    assert re.fullmatch({exc!r}, type(e).__name__), repr(e)
    assert re.search({match!r}, str(e)), repr(e)
    entry = traceback.extract_tb(e.__traceback__)[-1]
    assert (entry.name, entry.filename, entry.lineno) == ("meshdump.read_file", "dorvo/quickio/meshdump", 65), entry
    {extra}
else:
    raise AssertionError("read_file did not fail")
"""


def expect_failure(path, sizes, exc, match, extra="pass"):
    run_isolated(FAILING_READ.format(path=path, sizes=list(sizes), exc=exc, match=match, extra=extra))


SIZES = [192, 4, 8, 6]  # the (4, 8, 6) grid


@pytest.mark.parametrize(
    "kw, sizes, exc, match",
    [
        (dict(nparam=6), SIZES, "ValueError", r"Nparam = 6\b"),
        (dict(nparam=0), SIZES, "ValueError", r"Nparam = 0\b"),
        (dict(nparam=-3), SIZES, "ValueError", r"Nparam = -3\b"),
        (dict(int_params={NX: -4}), SIZES, "ValueError", r"nx = -4\b"),
        (dict(int_params={NY: -1}), SIZES, "ValueError", r"ny = -1\b"),
        (dict(int_params={NZ: -2**31}), SIZES, "ValueError", r"nz = -2147483648\b"),
        (dict(int_params={NPROC_Y: -1}), SIZES, "ValueError", r"nproc_y = -1\b"),
        (dict(int_params={NPROC_Z: -1}), SIZES, "ValueError", r"nproc_z = -1\b"),
        # buffers shorter than the dump needs, one at a time
        ({}, [191, 4, 8, 6], "ValueError", r"\b191\b.*\b192\b"),
        ({}, [192, 3, 8, 6], "ValueError", r"\b3\b.*\b4\b"),
        ({}, [192, 4, 7, 6], "ValueError", r"\b7\b.*\b8\b"),
        ({}, [192, 4, 8, 5], "ValueError", r"\b5\b.*\b6\b"),
        # a grid far larger than any buffer, and one whose size overflows 64 bits
        (dict(int_params={NX: 2**31 - 1, NY: 2**31 - 1, NZ: 2**31 - 1}), SIZES, "ValueError", ""),
        (dict(int_params={NX: 2**20, NY: 2**20, NZ: 2**20}), SIZES, "ValueError", ""),
        # extents that leave the grid or do not tile it
        (dict(blocks=[((3, 8, 6), None)]), SIZES, "ValueError", r"\(3, 8, 6\)"),
        (dict(blocks=[((5, 8, 6), None)]), SIZES, "ValueError", r"\(5, 8, 6\)"),
        (dict(blocks=[((4, 9, 6), None)], int_params={NPROC_Y: 1, NPROC_Z: 1}), SIZES, "ValueError", r"\(4, 9, 6\)"),
        (dict(blocks=[((4, 8, 7), None)], int_params={NPROC_Y: 1, NPROC_Z: 1}), SIZES, "ValueError", r"\(4, 8, 7\)"),
        (dict(blocks=[((4, -1, 6), None)], int_params={NPROC_Y: 1, NPROC_Z: 1}), SIZES, "ValueError", ""),
        (dict(blocks=[((4, 8, -6), None)], int_params={NPROC_Y: 1, NPROC_Z: 1}), SIZES, "ValueError", ""),
        (dict(blocks=[((4, 2**31 - 1, 2**31 - 1), None)], int_params={NPROC_Y: 1, NPROC_Z: 1}), SIZES, "ValueError", ""),
        (dict(blocks=[((4, 3, 6), None), ((4, 6, 6), None)], int_params={NPROC_Y: 2, NPROC_Z: 1}),
         SIZES, "ValueError", r"\(4, 6, 6\)"),
        (dict(blocks=[((4, 3, 2), None), ((4, 5, 3), None), ((4, 3, 4), None), ((4, 5, 4), None)],
              int_params={NPROC_Y: 2, NPROC_Z: 2}), SIZES, "ValueError", r"\(4, 5, 3\)"),
        (dict(blocks=[((4, 3, 6), None), ((4, 4, 6), None)], int_params={NPROC_Y: 2, NPROC_Z: 1}),
         SIZES, "ValueError", "uncovered"),
        (dict(blocks=[((4, 8, 5), None)], int_params={NPROC_Y: 1, NPROC_Z: 1}), SIZES, "ValueError", "uncovered"),
        (dict(nproc_y=2, nproc_z=2, int_params={NPROC_Y: 0}), SIZES, "ValueError", "uncovered"),
        (dict(nproc_y=2, nproc_z=2, int_params={NPROC_Z: 0}), SIZES, "ValueError", "uncovered"),
        # block counts that promise far more than the file holds: the axes
        # are then taken for extents, or the file runs out
        (dict(int_params={NPROC_Y: 2**31 - 1}), SIZES, "EOFError|ValueError", ""),
        (dict(int_params={NPROC_Y: 2**31 - 1, NPROC_Z: 2**31 - 1}), SIZES, "EOFError|ValueError", ""),
        (dict(blocks=[((4, 8, 6), None)] * 3, int_params={NPROC_Y: 1, NPROC_Z: 2**31 - 1}),
         SIZES, "ValueError", r"\(4, 8, 6\)"),
    ],
)
def test_broken_dump(tmp_path, kw, sizes, exc, match):
    path = tmp_path / "broken.bin"
    path.write_bytes(field_dump_bytes(grid_values(4, 8, 6)[0], **kw))
    expect_failure(bytes(path), sizes, exc, match)


@pytest.mark.parametrize("nparam", [2**31 - 1, 2**30, 300])
def test_huge_nparam(tmp_path, nparam):
    path = tmp_path / "huge.bin"
    data = field_dump_bytes(grid_values(4, 8, 6)[0])
    path.write_bytes(data[:4] + np.int32(nparam).tobytes() + data[8:])
    expect_failure(bytes(path), SIZES, "EOFError", "")


def test_missing_file_and_directory(tmp_path):
    missing = bytes(tmp_path / "no-such.bin")
    expect_failure(missing, SIZES, "FileNotFoundError", "",
                   extra=f"import os; assert os.fsencode(e.filename) == {missing!r}, e.filename")
    expect_failure(bytes(tmp_path), SIZES, "IsADirectoryError", "")


def test_truncated_everywhere(tmp_path):
    # Every cut short of the z axis record's closing marker must fail cleanly.
    # One interpreter walks all cuts of a small 2x2-block dump.
    whole = tmp_path / "whole.bin"
    data = field_dump_bytes(grid_values(2, 3, 2)[0], ny_loc=[1, 2], nz_loc=[1, 1], nparam=7)
    whole.write_bytes(data)
    run_isolated(f"""
import numpy as np
from dorvo.quickio import meshdump
data = open({bytes(whole)!r}, 'rb').read()
path = {bytes(tmp_path / 'cut.bin')!r}
bufs = [np.zeros(n, np.float32) for n in (12, 2, 3, 2)]
for cut in range(len(data) - 4):
    open(path, 'wb').write(data[:cut])
    try:
        meshdump.read_file(*bufs, path)
    except EOFError:
        continue
    raise AssertionError(f"no EOFError for a dump cut at {{cut}} of {{len(data)}} bytes")
open(path, 'wb').write(data)
meshdump.read_file(*bufs, path)
assert bufs[0].tolist() == [0, 1, 10, 11, 20, 21, 100, 101, 110, 111, 120, 121]
""")
