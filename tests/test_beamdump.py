"""Module beamdump: total_phase_space_read and the beamdump entry."""
import array
import importlib
import os
import re
import struct
import sys
import traceback
import warnings

import numpy as np
import pytest

from dorvo.quickio import beamdump
from helpers import DATA_DIR, phase_dump_bytes, phase_values, run_isolated, AskOnly, ReadOnlyMapping, buffer_root, lines_in

load, fill = beamdump.total_phase_space_read, beamdump.beamdump
SOURCE = "dorvo\\quickio\\beamdump"
LOADER, ENTRY = "beamdump.total_phase_space_read", "beamdump.beamdump"
SENTINEL = -777.0
OUT_OF_BOUNDS = ("Out of bounds on buffer access (axis 0)",)
INVALID_0 = ("Invalid shape in axis 0: 0.",)

# The loader's file object is checked once, by
# test_loader_closes_without_resource_warning.
pytestmark = pytest.mark.filterwarnings("ignore::ResourceWarning")


def sentinel(n):
    return np.full(n, SENTINEL, np.float32)


def parse(data, n, cut=None):
    """Reads a dump the slow way: ("ok", particles (P, 2n+1)) or, for a block
    that the file cuts short, ("eof", offset, count, bytes remaining). The
    file may end without the last entry's trailing word, which no reader
    needs."""
    data = data[:cut]
    comp, at, rows = 2 * n + 1, 0, []
    while len(data) - at >= 4:
        (count,) = struct.unpack_from("<i", data, at)
        at += 4
        if count <= 0:
            continue
        if at + count * (comp + 1) * 4 - 4 > len(data):
            return ("eof", at - 4, count, len(data) - at)
        whole = data + bytes(4)  # the last trailing word, if the file lacks it
        words = np.frombuffer(whole, "<f4", count * (comp + 1), at).reshape(count, comp + 1)
        rows.append(words[:, :comp])
        at += count * (comp + 1) * 4
    return ("ok", np.concatenate(rows) if rows else np.zeros((0, comp), np.float32))


@pytest.fixture
def dump(tmp_path):
    """Factory: writes `data` as <name>.bin; returns the str path without suffix."""
    def make(data, name="run"):
        (tmp_path / (name + ".bin")).write_bytes(data)
        return str(tmp_path / name)
    return make


def check_loaded(ps, parts):
    comp = parts.shape[1]
    assert type(ps) is np.ndarray and ps.dtype == np.float32 and ps.shape == (comp, len(parts))
    assert ps.flags.f_contiguous and ps.flags.writeable
    np.testing.assert_array_equal(ps, parts.T)
    root = buffer_root(ps)
    assert type(root).__name__ == "ReceivingBuffer" and len(root) == parts.size
    assert ps.__array_interface__["data"][0] == np.asarray(memoryview(root)).__array_interface__["data"][0]


# ---- layouts -----------------------------------------------------------------


@pytest.mark.parametrize("n", [0, 1, 2, 3])
@pytest.mark.parametrize(
    "counts, stray",
    [([2], b""), ([3, 0, 2], b""), ([1, 0, 2], b"\x01"), ([-5, 2, -1, 0, 1], b"\xff\xff"),
     ([1], b"\x07\x00\x00"), ([0, 0, 4, -2147483648], b"")],
)
def test_layouts(dump, n, counts, stray):
    total = sum(c for c in counts if c > 0)
    parts = (phase_values(total, n) - 3 * np.arange(total)[:, None]).astype(np.float32)  # not a plain ramp
    data = phase_dump_bytes(parts, n, counts, extra=stray)
    assert parse(data, n)[0] == "ok" and len(data) == 4 * len(counts) + total * (8 * n + 8) + len(stray)
    path = dump(data)
    check_loaded(load(path, {"n_dimensions": n}), parts)
    # The entry, into a longer buffer whose tail must stay as it was; no suffix added.
    buf = sentinel(parts.size + 5)
    assert fill(buf, n, os.fsencode(path + ".bin")) is buf
    np.testing.assert_array_equal(buf[:parts.size], parts.ravel())
    assert (buf[parts.size:] == SENTINEL).all()


def test_68_byte_example(dump):
    words = [struct.pack("<7f", *(1.5 * k - 4 for k in range(7))), struct.pack("<i", -99),
             struct.pack("<7f", *(2.0 ** -k for k in range(7))), struct.pack("<f", np.nan)]
    data = struct.pack("<i", 2) + b"".join(words)
    assert len(data) == 68
    expected = np.frombuffer(data[4:32] + data[36:64], "<f4")
    ps = load(dump(data), {"n_dimensions": 3})
    assert ps.shape == (7, 2)
    np.testing.assert_array_equal(ps.ravel(order="F"), expected)
    np.testing.assert_array_equal(ps[:, 0], expected[:7])


def test_fortran_fixture():
    parts = phase_values(5, 3)
    check_loaded(load(str(DATA_DIR / "phase_n3"), {"n_dimensions": 3}), parts)
    buf = sentinel(40)
    fill(buf, 3, bytes(DATA_DIR / "phase_n3.bin"))
    np.testing.assert_array_equal(buf[:35], parts.ravel())
    assert (buf[35:] == SENTINEL).all()


@pytest.mark.parametrize(
    "make",
    [lambda n: sentinel(n), lambda n: array.array("f", [SENTINEL] * n),
     lambda n: memoryview(bytearray(sentinel(n).tobytes())).cast("f"), lambda n: sentinel(2 * n)[n:]],
    ids=["numpy", "array", "memoryview", "offset-view"],
)
@pytest.mark.parametrize("path_kind", [bytes, bytearray, type("P", (bytes,), {})], ids=["bytes", "bytearray", "subclass"])
def test_entry_buffer_and_path_kinds(make, path_kind):
    buf = make(35)
    assert fill(buf, 3, path_kind(bytes(DATA_DIR / "phase_n3.bin"))) is buf
    np.testing.assert_array_equal(np.frombuffer(buf, np.float32), phase_values(5, 3).ravel())


@pytest.mark.parametrize("data", [b"", b"\0\0\0", phase_dump_bytes(np.zeros((0, 5)), 2, [0, -3, 0], extra=b"ab")],
                         ids=["empty", "stray-only", "empty-blocks"])
def test_no_particles(dump, data):
    path = dump(data)
    with pytest.raises(ValueError) as e:
        load(path, {"n_dimensions": 2})
    assert e.value.args == INVALID_0 and lines_in(e.value, LOADER) == [(SOURCE, 30)]
    buf = sentinel(4)
    assert fill(buf, 2, os.fsencode(path + ".bin")) is buf
    assert (buf == SENTINEL).all()


def test_results_independent(dump):
    path = dump(phase_dump_bytes(phase_values(5, 2), 2, [3, 0, 2]))
    first, second = load(path, {"n_dimensions": 2}), load(path, {"n_dimensions": 2})
    assert not np.shares_memory(first, second)
    first[...] = 0
    check_loaded(second, phase_values(5, 2))
    del second
    assert (first == 0).all()


class Overriding(dict):
    def __getitem__(self, key):
        return 2


@pytest.mark.parametrize(
    "params",
    [{"n_dimensions": 2, "nx": "x", 0: None}, {"n_dimensions": 2.9}, {"n_dimensions": np.int16(2)},
     ReadOnlyMapping({"n_dimensions": 2}), Overriding(n_dimensions=-1), AskOnly({"n_dimensions": 2})],
    ids=["extra-keys", "float", "numpy", "Mapping", "dict-subclass", "item-access"],
)
def test_params_kinds(dump, params):
    check_loaded(load(dump(phase_dump_bytes(phase_values(3, 2), 2)), params), phase_values(3, 2))
    if isinstance(params, AskOnly):
        assert params.asked == ["n_dimensions"]


def test_replacement_entry_is_called(dump, monkeypatch):
    path = dump(phase_dump_bytes(phase_values(5, 1), 1, [3, 0, 2]))
    calls, real = [], fill

    def spy(*args, **kwargs):
        calls.append((args, kwargs))
        return real(*args)

    monkeypatch.setattr(beamdump, "beamdump", spy)
    check_loaded(load(path, {"n_dimensions": True}), phase_values(5, 1))
    [((ps, n, f_path), kwargs)] = calls
    assert kwargs == {} and type(ps).__name__ == "ReceivingBuffer" and len(ps) == 15
    assert type(n) is int and n == 1 and type(f_path) is bytes and f_path == os.fsencode(path + ".bin")

    def boom(*args):
        raise LookupError("replaced")

    monkeypatch.setattr(beamdump, "beamdump", boom)
    with pytest.raises(LookupError, match="^replaced$") as e:
        load(path, {"n_dimensions": 1})
    assert lines_in(e.value, LOADER) == [(SOURCE, 32)]


@pytest.mark.parametrize("name, line", [("np", 34), ("beamdump", 32)])
def test_names_looked_up_at_call(dump, monkeypatch, name, line):
    path = dump(phase_dump_bytes(phase_values(2, 0), 0))
    monkeypatch.delattr(beamdump, name)
    with pytest.raises(NameError) as e:
        load(path, {"n_dimensions": 0})
    assert str(e.value) == f"name '{name}' is not defined" and lines_in(e.value, LOADER) == [(SOURCE, line)]
    monkeypatch.undo()
    check_loaded(load(path, {"n_dimensions": 0}), phase_values(2, 0))


def test_loader_closes_without_resource_warning(dump):
    path = dump(phase_dump_bytes(phase_values(2, 0), 0))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        load(path, {"n_dimensions": 0})
        with pytest.raises(KeyError):
            load(path, {})
    assert [str(w.message) for w in caught if issubclass(w.category, ResourceWarning)] == []


# ---- module ------------------------------------------------------------------


def test_module_identity_and_namespace():
    assert sys.modules["dorvo.quickio.beamdump"] is beamdump and sys.modules["beamdump"] is beamdump
    ns = vars(beamdump)
    assert "struct" not in ns and ns["np"] is np and ns["__test__"] == {}
    for f, name in ((load, "total_phase_space_read"), (fill, "beamdump")):
        assert f.__name__ == name and f.__module__ == "beamdump" and f.__doc__ is None
    del sys.modules["dorvo.quickio.beamdump"]
    try:
        again = importlib.import_module("dorvo.quickio.beamdump")
    finally:
        sys.modules["dorvo.quickio.beamdump"] = beamdump
    assert again is beamdump and again.beamdump is fill


@pytest.mark.parametrize(
    "func, args, kwargs, message, name, line",
    [
        (fill, (None, 3), {}, "beamdump() takes exactly 3 positional arguments (2 given)", ENTRY, 39),
        (fill, (None, 3, b"p", 4), {}, "beamdump() takes exactly 3 positional arguments (4 given)", ENTRY, 39),
        (fill, (None,), {"n_dimensions": 3, "path": b"p"}, "beamdump() takes exactly 3 positional arguments (2 given)",
         ENTRY, 39),
        (fill, (None, 3, b"p"), {"ps": None}, "beamdump() got multiple values for keyword argument 'ps'", ENTRY, 39),
        (load, ("p",), {}, "total_phase_space_read() takes exactly 2 positional arguments (1 given)", LOADER, 14),
        (load, (), {"file_path": "p", "params": {}, "n": 1},
         "total_phase_space_read() got an unexpected keyword argument 'n'", LOADER, 14),
    ],
)
def test_binding(func, args, kwargs, message, name, line):
    with pytest.raises(TypeError) as e:
        func(*args, **kwargs)
    assert str(e.value) == message and lines_in(e.value, name) == [(SOURCE, line)]


def test_binding_by_keyword(dump):
    path = dump(phase_dump_bytes(phase_values(2, 1), 1))
    buf = sentinel(6)
    assert fill(f_path=os.fsencode(path + ".bin"), ps=buf, n_dimensions=1) is buf
    check_loaded(load(params={"n_dimensions": 1}, file_path=path), phase_values(2, 1))


# ---- failures ----------------------------------------------------------------


class BadInt:
    def __int__(self):
        return "3"


MISSING = b"/nonexistent-dir/phase.bin"


@pytest.mark.parametrize(
    "ps, n, f_path, exc, args",
    [
        (None, 3, MISSING, IndexError, OUT_OF_BOUNDS),
        (np.zeros(0, np.float32), None, "str path", IndexError, OUT_OF_BOUNDS),
        (array.array("f"), -2, MISSING, IndexError, OUT_OF_BOUNDS),
        (sentinel(8), None, MISSING, TypeError, ("an integer is required",)),
        (sentinel(8), BadInt(), MISSING, TypeError, ("__int__ returned non-int (type str)",)),
        (sentinel(8), 2**31, MISSING, OverflowError, None),
        (sentinel(8), -1, MISSING, ValueError, ("n_dimensions must be >= 0, got -1",)),
        (sentinel(8), -2, MISSING, ValueError, ("n_dimensions must be >= 0, got -2",)),
        (sentinel(8), -2**31, MISSING, ValueError, ("n_dimensions must be >= 0, got -2147483648",)),
        (sentinel(8), 3, MISSING.decode(), TypeError, None),
        (sentinel(8), 3, None, TypeError, None),
        (sentinel(8), 3, bytes(DATA_DIR / "phase_n3.bin") + b"\0x", ValueError, ("embedded null byte",)),
        (sentinel(8), 3, MISSING, FileNotFoundError, None),
        (sentinel(8), 3, b"/", IsADirectoryError, None),
    ],
)
def test_entry_failures(ps, n, f_path, exc, args):
    # Each check comes before the file is touched: the path does not exist.
    with pytest.raises(exc) as e:
        fill(ps, n, f_path)
    assert type(e.value) is exc
    if args is not None:
        assert e.value.args == args
    if isinstance(e.value, OSError):
        assert os.fsencode(e.value.filename) == f_path
    assert lines_in(e.value, ENTRY) == [(SOURCE, 43)]
    if isinstance(ps, np.ndarray) and ps.size:
        assert (ps == SENTINEL).all()


def test_entry_refuses_float64_buffer():
    with pytest.raises(ValueError, match="^Buffer dtype mismatch, expected 'float' but got 'double'$") as e:
        fill(np.zeros(8), 3, MISSING)
    assert lines_in(e.value, ENTRY) == [(SOURCE, 41)]


@pytest.mark.parametrize(
    "params, exc, args",
    [
        ({}, KeyError, ("n_dimensions",)),
        ({"n_dimension": 1}, KeyError, ("n_dimensions",)),
        ({"n_dimensions": "3"}, TypeError, ("an integer is required",)),
        ({"n_dimensions": 2**31}, OverflowError, None),
        ({"n_dimensions": -1}, ValueError, ("n_dimensions must be >= 0, got -1",)),
        ({"n_dimensions": -2.5}, ValueError, ("n_dimensions must be >= 0, got -2",)),
        (None, TypeError, None),
    ],
)
def test_loader_param_failures(dump, params, exc, args):
    path = dump(phase_dump_bytes(phase_values(2, 3), 3))
    with pytest.raises(exc) as e:
        load(path, params)
    assert type(e.value) is exc and (args is None or e.value.args == args)
    assert lines_in(e.value, LOADER) == [(SOURCE, 23)]


@pytest.mark.parametrize("file_path", [b"run", None, DATA_DIR / "phase_n3"], ids=["bytes", "None", "Path"])
def test_loader_file_path_not_str(file_path):
    with pytest.raises(TypeError) as e:
        load(file_path, {"n_dimensions": 3})
    assert lines_in(e.value, LOADER) == [(SOURCE, 18)]


def test_loader_missing_file_and_bad_name(tmp_path):
    with pytest.raises(FileNotFoundError) as e:
        load(str(tmp_path / "none"), None)  # params not looked at
    assert e.value.filename == str(tmp_path / "none.bin") and lines_in(e.value, LOADER) == [(SOURCE, 19)]
    (tmp_path / os.fsdecode(b"\xff.bin")).write_bytes(b"")
    with pytest.raises(UnicodeEncodeError) as e:
        load(os.fsdecode(bytes(tmp_path) + b"/\xff"), {"n_dimensions": 3})
    assert lines_in(e.value, LOADER) == [(SOURCE, 20)]


# ---- where a faulty reader could crash, hang or end the process ----------


def check_cuts(data, n, base):
    """Loads every prefix of `data` with both functions: a cut inside a block
    is EOFError naming the dump, the block's offset, its count and the bytes
    left; any other cut loads the blocks before it. Run in a subprocess."""
    full = parse(data, n)[1].size
    for cut in range(len(data) + 1):
        path = f"{base}{cut}"
        with open(path + ".bin", "wb") as out:
            out.write(data[:cut])
        want = parse(data, n, cut)
        buf = sentinel(full + 3)
        if want[0] == "ok":
            parts = want[1]
            if parts.size:
                check_loaded(load(path, {"n_dimensions": n}), parts)
            else:
                try:
                    load(path, {"n_dimensions": n})
                except ValueError as e:
                    assert e.args == INVALID_0 and lines_in(e, LOADER) == [(SOURCE, 30)], (cut, e)
                else:
                    raise AssertionError(f"no particles but no ValueError for a cut at {cut}")
            assert fill(buf, n, os.fsencode(path + ".bin")) is buf
            np.testing.assert_array_equal(buf[:parts.size], parts.ravel())
            assert (buf[parts.size:] == SENTINEL).all()
            continue
        _, at, count, left = want
        for call, name, line in ((lambda: load(path, {"n_dimensions": n}), LOADER, 25),
                                 (lambda: fill(buf, n, os.fsencode(path + ".bin")), ENTRY, 43)):
            try:
                call()
            except EOFError as e:
                msg = str(e)
                assert lines_in(e, name) == [(SOURCE, line)], (cut, lines_in(e, name))
                assert path + ".bin" in msg and re.search(rf"\boffset {at}\b", msg), (cut, msg)
                assert re.search(rf"\b{count}\b", msg) and re.search(rf"\b{left}\b", msg), (cut, msg)
            else:
                raise AssertionError(f"{name}: no EOFError for a cut at {cut} of {len(data)} bytes")
        assert (buf[full:] == SENTINEL).all()


@pytest.mark.parametrize("n, counts", [(2, [3, 0, 2]), (0, [1, -4, 2, 1]), (3, [2])])
def test_truncated_everywhere(tmp_path, n, counts):
    total = sum(c for c in counts if c > 0)
    data = phase_dump_bytes(phase_values(total, n), n, counts)
    run_isolated(f"import test_beamdump as t; t.check_cuts({data!r}, {n}, {str(tmp_path / 'cut')!r})")


def check_hostile(base):
    """Counts and dimensions whose byte sizes overflow 32 bits, negative n and
    buffers too short: all must raise. Run in a subprocess."""
    def raises(exc, call, name, line, pattern=""):
        try:
            call()
        except exc as e:
            assert lines_in(e, name) == [(SOURCE, line)], (repr(e), lines_in(e, name))
            assert re.search(pattern, str(e)), str(e)
        else:
            raise AssertionError(f"{name} did not raise {exc.__name__}")

    one = phase_dump_bytes(phase_values(2, 3), 3)  # the 68-byte example
    cases = {
        "huge-count": (struct.pack("<i", 2**31 - 1) + one[4:], 3),   # 2**31-1 entries of 32 bytes
        "wrap-count": (struct.pack("<i", 2**29) + one[4:], 3),       # 2**29 * 32 bytes wraps to 0
        "huge-n": (one, 2**31 - 1),                                  # 2n+1 and 8n+8 overflow 32 bits
        "big-n": (one, 2**28 - 1),                                   # entries of 2**31 bytes
    }
    for key, (data, n) in cases.items():
        path = f"{base}-{key}"
        with open(path + ".bin", "wb") as out:
            out.write(data)
        raises(EOFError, lambda: load(path, {"n_dimensions": n}), LOADER, 25, r"\b2\b|2147483647|536870912")
        raises(EOFError, lambda: fill(sentinel(64), n, os.fsencode(path + ".bin")), ENTRY, 43)
    # Negative n stops before any file is opened, even a well-formed one.
    path = f"{base}-one"
    with open(path + ".bin", "wb") as out:
        out.write(one)
    for n in (-1, -2, -2**31):
        raises(ValueError, lambda: load(path, {"n_dimensions": n}), LOADER, 23, f"^n_dimensions must be >= 0, got {n}$")
        raises(ValueError, lambda: fill(sentinel(64), n, os.fsencode(path + ".bin")), ENTRY, 43,
               f"^n_dimensions must be >= 0, got {n}$")
    # Buffers too short: nothing is written past them, and both lengths are named.
    data = phase_dump_bytes(phase_values(5, 2), 2, [3, 0, 2])
    with open(path + ".bin", "wb") as out:
        out.write(data)
    for length in range(1, 25):
        big = sentinel(40)
        raises(ValueError, lambda: fill(big[:length], 2, os.fsencode(path + ".bin")), ENTRY, 43,
               rf"\b{length}\b.*\b(15|25)\b")
        assert (big[length:] == SENTINEL).all(), length


def test_hostile_dumps_and_buffers(tmp_path):
    run_isolated(f"import test_beamdump as t; t.check_hostile({str(tmp_path / 'h')!r})")


def test_count_pass_cannot_open(dump):
    # The loader's open succeeds; the path's encode step (a str subclass)
    # then removes the file before the count pass opens it.
    path = dump(phase_dump_bytes(phase_values(2, 3), 3))
    target = path + ".bin"
    proc = run_isolated(f"""
import os, sys, traceback
from dorvo.quickio import beamdump
class Gone(str):
    def encode(self, *a):
        os.remove(self)
        return str.encode(self, *a)
class Name(str):
    def __add__(self, other):
        return Gone(str(self) + other)
try:
    beamdump.total_phase_space_read(Name({path!r}), {{"n_dimensions": 3}})
except FileNotFoundError as e:
    assert os.fsdecode(e.filename) == {target!r}, e.filename
    entries = [(t.name, t.filename, t.lineno) for t in traceback.extract_tb(e.__traceback__)]
    assert entries[-1] == ({LOADER!r}, {SOURCE!r}, 25), entries
    sys.stderr.write("raised")
""")
    assert proc.stderr == "raised"
