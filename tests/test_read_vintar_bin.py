"""meshdump.read_Vintar_bin: round trips, the arrays it returns, and its failures."""
import builtins
import os
import struct
import traceback
import warnings

import numpy as np
import pytest

from dorvo.quickio import meshdump
from helpers import DATA_DIR, NX, NY, NZ, field_dump_bytes, grid_values, run_isolated, AskOnly, ReadOnlyMapping, buffer_root, lines_in

load = meshdump.read_Vintar_bin
NAME, SOURCE = "meshdump.read_Vintar_bin", "dorvo/quickio/meshdump"
P432 = {"nx": 4, "ny": 3, "nz": 2}
GOOD = field_dump_bytes(grid_values(4, 3, 2)[0])

# Whether the loader's file object is closed before it is dropped is checked
# once, by test_file_closed_without_resource_warning; elsewhere the warning
# would only repeat that finding in every test.
pytestmark = pytest.mark.filterwarnings("ignore::ResourceWarning")


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def with_int(data, offset, value):
    return data[:offset] + struct.pack("<i", value) + data[offset + 4:]


@pytest.fixture
def dump(tmp_path):
    """Factory: writes `data` as <name>.bin and returns the str path without suffix."""
    def make(data, name="dump"):
        (tmp_path / (name + ".bin")).write_bytes(data)
        return str(tmp_path / name)
    return make


def check_result(result, field, x, y, z):
    assert type(result) is tuple and len(result) == 4
    for got, want in zip(result, (field, x, y, z)):
        assert type(got) is np.ndarray and got.dtype == np.float32 and got.shape == want.shape
        assert got.flags.f_contiguous and got.flags.writeable
        np.testing.assert_array_equal(got, want)
        # No copy: the data lie in the receiving buffer, at its very address.
        root = buffer_root(got)
        assert type(root).__name__ == "ReceivingBuffer" and len(root) == want.size
        assert got.__array_interface__["data"][0] == np.asarray(memoryview(root)).__array_interface__["data"][0]


# ---- round trips -------------------------------------------------------------


@pytest.mark.parametrize(
    "shape, layout",
    [
        ((4, 3, 2), {}),
        ((1, 1, 1), {}),
        ((4, 8, 6), dict(ny_loc=[3, 5], nz_loc=[2, 4])),
        ((4, 8, 6), dict(ny_loc=[[3, 5], [6, 2]], nz_loc=[2, 4], bad_markers=True)),
        ((4, 5, 1), dict(ny_loc=[1, 4])),
        ((2, 4, 3), dict(nproc_y=4, nproc_z=3)),
        ((3, 4, 6), dict(nparam=25, nproc_z=3)),
        ((64, 2, 3), dict(nparam=15, ny_loc=[1, 1])),
    ],
)
def test_round_trip(dump, shape, layout):
    field, x, y, z = grid_values(*shape)
    path = dump(field_dump_bytes(field, **layout))
    check_result(load(path, dict(zip(("nx", "ny", "nz"), shape))), field, x, y, z)


@pytest.mark.parametrize("name, shape", [("field_2x2", (4, 8, 6)), ("field_1x1", (5, 3, 2))])
def test_fortran_fixtures(name, shape):
    check_result(load(str(DATA_DIR / name), dict(zip(("nx", "ny", "nz"), shape))), *grid_values(*shape))


class Sized:
    def __init__(self, v):
        self.v = v

    def __int__(self):
        return self.v


class Overriding(dict):
    """Not exactly a dict: its own item access must be used, not its storage."""
    def __getitem__(self, key):
        return P432[key]


@pytest.mark.parametrize(
    "params",
    [
        {"nx": 4.0, "ny": 3.99, "nz": 2.5},
        {"nx": 4.9, "ny": np.int64(3), "nz": np.float32(2.7)},
        {"nx": Sized(4), "ny": np.uint8(3), "nz": 2, "nw": "ignored", 7: None},
        ReadOnlyMapping(P432),
        Overriding(nx=0, ny="bad"),
    ],
    ids=["floats", "numpy", "__int__+extra-keys", "Mapping", "dict-subclass"],
)
def test_params_kinds(dump, params):
    check_result(load(dump(GOOD), params), *grid_values(4, 3, 2))


def test_params_item_access_order_and_bool(dump):
    field, x, y, z = grid_values(4, 3, 1)
    params = AskOnly({"nx": 4, "ny": 3, "nz": True})
    check_result(load(dump(field_dump_bytes(field)), params), field, x, y, z)
    assert params.asked == ["nx", "ny", "nz"]


def test_keywords_and_second_suffix(dump):
    field, *axes = grid_values(4, 3, 2)
    path = dump(GOOD, "run.bin")  # run.bin.bin
    check_result(load(params=P432, file_path=path), field, *axes)
    with pytest.raises(FileNotFoundError) as e:
        load(path[:-4], P432)
    assert e.value.filename == path[:-4] + ".bin"


def test_arrays_independent_and_outlive_loader(dump):
    path = dump(GOOD)
    first = load(path, P432)
    second = load(path, P432)
    for i, a in enumerate(first + second):
        for b in (first + second)[i + 1:]:
            assert not np.shares_memory(a, b)
    for a in first:
        a[...] = -1
    check_result(second, *grid_values(4, 3, 2))
    third = load(path, P432)
    check_result(third, *grid_values(4, 3, 2))
    f = first[0]
    del first, second, third
    assert (f == -1).all()  # still backed by its own buffer


@pytest.mark.parametrize("params", [P432, {"nx": 4}, {**P432, "nx": 0}], ids=["loaded", "KeyError", "ValueError"])
def test_file_closed_without_resource_warning(dump, params):
    # Dropping an open file object closes it, but with a ResourceWarning
    # ("unclosed file") that a run with warnings as errors turns into a failure.
    path = dump(GOOD)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            load(path, params)
        except (KeyError, ValueError):
            pass
    assert [str(w.message) for w in caught if issubclass(w.category, ResourceWarning)] == []


def test_open_is_the_builtin_fetched_at_load(dump):
    path = dump(GOOD)
    real = builtins.open

    def refuse(*a, **k):
        raise AssertionError("the current builtins.open was used")

    builtins.open = refuse
    try:
        result = load(path, P432)
    finally:
        builtins.open = real
    check_result(result, *grid_values(4, 3, 2))


def test_replacement_read_file_is_called(dump, monkeypatch):
    path = dump(GOOD)
    calls, real = [], meshdump.read_file

    def spy(*args, **kwargs):
        calls.append((args, kwargs))
        return real(*args)

    monkeypatch.setattr(meshdump, "read_file", spy)
    check_result(load(path, P432), *grid_values(4, 3, 2))
    [(args, kwargs)] = calls
    assert kwargs == {} and len(args) == 5
    assert [len(a) for a in args[:4]] == [24, 4, 3, 2]
    assert {type(a).__name__ for a in args[:4]} == {"ReceivingBuffer"}
    assert type(args[4]) is bytes and args[4] == os.fsencode(path + ".bin")

    def boom(*args):
        raise LookupError("replaced")

    monkeypatch.setattr(meshdump, "read_file", boom)
    fds = open_fds()
    with pytest.raises(LookupError, match="^replaced$") as e:
        load(path, P432)
    assert lines_in(e.value, NAME) == [(SOURCE, 49)] and open_fds() == fds


@pytest.mark.parametrize("name, line", [("np", 51), ("struct", 29), ("read_file", 49)])
def test_module_names_looked_up_at_call(dump, monkeypatch, name, line):
    path = dump(GOOD)
    monkeypatch.delattr(meshdump, name)
    with pytest.raises(NameError) as e:
        load(path, P432)
    assert str(e.value) == f"name '{name}' is not defined"
    assert lines_in(e.value, NAME) == [(SOURCE, line)]
    monkeypatch.undo()
    check_result(load(path, P432), *grid_values(4, 3, 2))


# ---- failures ----------------------------------------------------------------


class BadInt:
    def __int__(self):
        return "4"


class Refusing(dict):
    def __getitem__(self, key):
        raise LookupError(f"no {key} here")


def nparam_dump(nparam):
    return field_dump_bytes(grid_values(4, 3, 2)[0], nparam=nparam)


# (id, file contents or None for no file, params, exception, its args or None, line)
FAILURES = [
    ("missing", None, {}, FileNotFoundError, None, 23),
    ("missing-None-params", None, None, FileNotFoundError, None, 23),
    ("empty", b"", P432, struct.error, None, 29),
    ("7-bytes", GOOD[:7], P432, struct.error, None, 29),
    ("short-int-params", GOOD[:95], P432, struct.error, None, 31),
    ("short-real-params", GOOD[:183], P432, struct.error, None, 31),
    ("Nparam-negative", with_int(GOOD, 4, -1), P432, ValueError, None, 31),
    ("Nparam-min", with_int(GOOD, 4, -2**31), P432, ValueError, None, 31),
    ("Nparam-huge", with_int(GOOD, 4, 2**31 - 1), P432, struct.error, None, 31),
    ("Nparam-0", nparam_dump(0), P432, IndexError, None, 35),
    ("Nparam-1", nparam_dump(1), P432, IndexError, None, 36),
    ("Nparam-10", nparam_dump(10), P432, IndexError, None, 37),
    ("no-nx", GOOD, {}, KeyError, ("nx",), 38),
    ("no-ny", GOOD, {"nx": 4, "nz": 2}, KeyError, ("ny",), 39),
    ("no-nz", GOOD, {"nx": 4, "ny": 3, "NZ": 2}, KeyError, ("nz",), 40),
    ("params-None", GOOD, None, TypeError, None, 38),
    ("mapping-error", GOOD, Refusing(P432), LookupError, ("no nx here",), 38),
    ("nx-str", GOOD, {**P432, "nx": "4"}, TypeError, ("an integer is required",), 38),
    ("ny-None", GOOD, {**P432, "ny": None}, TypeError, ("an integer is required",), 39),
    ("nz-__int__-str", GOOD, {**P432, "nz": BadInt()}, TypeError, ("__int__ returned non-int (type str)",), 40),
    ("nx-2**31", GOOD, {**P432, "nx": 2**31}, OverflowError, None, 38),
    ("nz-below-int32", GOOD, {**P432, "nz": -2**31 - 1}, OverflowError, None, 40),
    ("nz-larger", GOOD, {**P432, "nz": 3}, ValueError,
     ("params give grid (4, 3, 3) but the dump holds (4, 3, 2)",), 42),
    ("nx-smaller", GOOD, {**P432, "nx": 2}, ValueError,
     ("params give grid (2, 3, 2) but the dump holds (4, 3, 2)",), 42),
    ("nx-0", GOOD, {**P432, "nx": 0}, ValueError, ("Invalid shape in axis 0: 0.",), 44),
    ("nz-negative", GOOD, {**P432, "nz": -2}, ValueError, ("Invalid shape in axis 0: -24.",), 44),
    ("-1,-1,5", GOOD, {"nx": -1, "ny": -1, "nz": 5}, ValueError, ("Invalid shape in axis 0: -1.",), 45),
    ("1,-1,-1", GOOD, {"nx": 1, "ny": -1, "nz": -1}, ValueError, ("Invalid shape in axis 0: -1.",), 46),
]


@pytest.mark.parametrize("data, params, exc, args, line", [c[1:] for c in FAILURES], ids=[c[0] for c in FAILURES])
def test_failures(tmp_path, data, params, exc, args, line):
    path = str(tmp_path / "dump")
    if data is not None:
        (tmp_path / "dump.bin").write_bytes(data)
    fds = open_fds()
    with pytest.raises(exc) as e:
        load(path, params)
    assert type(e.value) is exc
    if args is not None:
        assert e.value.args == args
    assert lines_in(e.value, NAME) == [(SOURCE, line)]
    assert open_fds() == fds, "the dump was left open"
    if exc is FileNotFoundError:
        assert e.value.filename == path + ".bin"


@pytest.mark.parametrize(
    "file_path",
    [b"dump", None, DATA_DIR / "field_1x1"],
    ids=["bytes", "None", "Path"],
)
def test_file_path_not_str(file_path):
    with pytest.raises(TypeError) as e:
        load(file_path, P432)
    assert lines_in(e.value, NAME) == [(SOURCE, 22)]


def test_path_that_is_not_utf8(tmp_path):
    (tmp_path / os.fsdecode(b"\xff.bin")).write_bytes(GOOD)
    with pytest.raises(UnicodeEncodeError) as e:
        load(os.fsdecode(bytes(tmp_path) + b"/\xff"), P432)
    assert lines_in(e.value, NAME) == [(SOURCE, 24)]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "read_Vintar_bin() takes exactly 2 positional arguments (0 given)"),
        (("p",), {}, "read_Vintar_bin() takes exactly 2 positional arguments (1 given)"),
        (("p", P432, 1), {}, "read_Vintar_bin() takes exactly 2 positional arguments (3 given)"),
        (("p",), {"param": P432}, "read_Vintar_bin() takes exactly 2 positional arguments (1 given)"),
        (("p", P432), {"file_path": "p"}, "read_Vintar_bin() got multiple values for keyword argument 'file_path'"),
    ],
)
def test_binding(args, kwargs, message):
    with pytest.raises(TypeError) as e:
        load(*args, **kwargs)
    assert str(e.value) == message
    assert lines_in(e.value, NAME) == [(SOURCE, 15)]


def tilings():
    field = grid_values(4, 8, 6)[0]
    return [
        field_dump_bytes(field, ny_loc=[3, 4], nz_loc=[2, 4]),        # y rows left uncovered
        field_dump_bytes(field, ny_loc=[3, 5], nz_loc=[2, 3]),        # z planes left uncovered
        field_dump_bytes(field, blocks=[((3, 8, 6), None)], int_params={0: 1, 1: 1}),  # nx_loc != nx
        field_dump_bytes(field, blocks=[((4, 8, 7), None)], int_params={0: 1, 1: 1}),  # past the grid
        with_int(field_dump_bytes(field), 16 + 4 * NX, 3),           # header disagrees with the axes
    ]


@pytest.mark.parametrize("index", range(5))
def test_bad_tilings_raise_from_read_file(dump, index):
    data = tilings()[index]
    nx = struct.unpack_from("<i", data, 16 + 4 * NX)[0]
    ny, nz = (struct.unpack_from("<i", data, 16 + 4 * i)[0] for i in (NY, NZ))
    with pytest.raises(ValueError) as e:
        load(dump(data), {"nx": nx, "ny": ny, "nz": nz})
    assert lines_in(e.value, NAME) == [(SOURCE, 49)]
    assert lines_in(e.value, "meshdump.read_file") == [(SOURCE, 65)]


def test_truncated_everywhere(dump):
    # The header check needs the 188 bytes of the parameter records; every
    # later cut short of the z axis record's closing marker must surface as
    # EOFError from read_file.
    data = field_dump_bytes(grid_values(4, 3, 2)[0], ny_loc=[1, 2], nz_loc=[1, 1])
    for cut in range(188, len(data) - 4):
        with pytest.raises(EOFError) as e:
            load(dump(data[:cut]), P432)
        assert lines_in(e.value, NAME) == [(SOURCE, 49)], cut
    check_result(load(dump(data[:-4]), P432), *grid_values(4, 3, 2))


# ---- where a faulty loader could end or corrupt the process ---------------


def test_file_removed_between_opens(dump):
    # The path's encode step runs between the loader's open and the native
    # one: a str subclass removes the file there.
    path = dump(GOOD)
    assert run_isolated(f"""
import os, sys, traceback
from dorvo.quickio import meshdump
class Gone(str):
    def encode(self, *a):
        os.remove(self)
        return str.encode(self, *a)
class Name(str):
    def __add__(self, other):
        return Gone(str(self) + other)
try:
    meshdump.read_Vintar_bin(Name({path!r}), {P432!r})
except FileNotFoundError as e:
    assert os.fsdecode(e.filename) == {path + ".bin"!r}, e.filename
    entries = [(t.name, t.lineno) for t in traceback.extract_tb(e.__traceback__)]
    assert ({NAME!r}, 49) in entries, entries
    sys.stderr.write("raised")
""").stderr == "raised"


def test_grid_beyond_32_bits(dump):
    # 65537 * 65537 wraps to 131073 in 32 bits; 2**33 points wrap to 0.
    for nx, ny, nz in [(65537, 65537, 1), (2048, 2048, 2048)]:
        # A consistent header and block extents, but no room for the data.
        path = dump(field_dump_bytes(grid_values(1, 1, 1)[0], blocks=[((nx, ny, nz), [])],
                                     int_params={NX: nx, NY: ny, NZ: nz}))
        proc = run_isolated(f"""
import sys, traceback
from dorvo.quickio import meshdump
try:
    meshdump.read_Vintar_bin({path!r}, dict(nx={nx}, ny={ny}, nz={nz}))
except (MemoryError, EOFError) as e:
    line = [t.lineno for t in traceback.extract_tb(e.__traceback__) if t.name == {NAME!r}]
    assert (type(e), line) in [(MemoryError, [44]), (EOFError, [49])], (repr(e), line)
    assert type(e) is EOFError or str(e) == "unable to allocate array data.", repr(e)
    sys.stderr.write("raised")
""")
        assert proc.stderr == "raised"
