"""Module identity, argument binding and argument conversions of meshdump.read_file."""
import array
import builtins
import ctypes
import importlib
import struct
import sys
import traceback

import numpy as np
import pytest

from dorvo.quickio import meshdump
from helpers import DATA_DIR, run_isolated

read_file = meshdump.read_file
SOURCE = "dorvo/quickio/meshdump"
OUT_OF_BOUNDS = "Out of bounds on buffer access (axis 0)"
# A real dump: where a call must stop before the file is opened, the 1-element
# buffers would make a read fail with ValueError rather than end the process.
DUMP = bytes(DATA_DIR / "field_1x1.bin")


def one():
    return np.zeros(1, np.float32)


def last_entry(excinfo):
    entry = traceback.extract_tb(excinfo.value.__traceback__)[-1]
    return entry.name, entry.filename, entry.lineno


# ---- identity --------------------------------------------------------------


def test_registered_under_full_and_bare_name():
    assert sys.modules["dorvo.quickio.meshdump"] is meshdump
    assert sys.modules["meshdump"] is meshdump
    assert meshdump.__name__ == "dorvo.quickio.meshdump"


def test_reimport_and_reload_keep_module_and_functions():
    before = dict(vars(meshdump))
    del sys.modules["dorvo.quickio.meshdump"]
    try:
        again = importlib.import_module("dorvo.quickio.meshdump")
    finally:
        sys.modules["dorvo.quickio.meshdump"] = meshdump
    assert again is meshdump
    assert importlib.reload(meshdump) is meshdump
    assert sys.modules["meshdump"] is meshdump
    # The import system may set its own dunders afresh; what exec made stays.
    made = [k for k in before if not k.startswith("__")] + ["__test__", "__builtins__"]
    assert [k for k in made if vars(meshdump)[k] is not before[k]] == []


def test_namespace():
    ns = vars(meshdump)
    assert ns["np"] is np and ns["struct"] is struct
    assert ns["__test__"] == {} and ns["__builtins__"] is builtins
    assert ns["read_file"] is read_file
    assert meshdump.__doc__ is None


def test_read_file_attributes():
    assert (read_file.__name__, read_file.__module__) == ("read_file", "meshdump")
    assert read_file.__doc__ is None and read_file.__self__ is None
    assert read_file.__text_signature__ is None


def test_fresh_import_raises_no_warning_and_keeps_existing_bare_entry():
    run_isolated(
        "import sys, warnings\n"
        "warnings.simplefilter('error')\n"
        "import dorvo.quickio.meshdump as m\n"
        "assert sys.modules['meshdump'] is m\n"
    )
    run_isolated(
        "import sys\n"
        "sentinel = sys.modules['meshdump'] = object()\n"
        "import dorvo.quickio.meshdump\n"
        "assert sys.modules['meshdump'] is sentinel\n"
    )


# ---- binding ---------------------------------------------------------------

COUNT = "read_file() takes exactly 5 positional arguments ({} given)"
BUFS = [one(), one(), one(), one()]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (BUFS, {}, COUNT.format(4)),
        ([], {}, COUNT.format(0)),
        (BUFS + [DUMP, DUMP], {}, COUNT.format(6)),
        (BUFS + [DUMP, DUMP], {"f_path": DUMP}, COUNT.format(6)),
        (BUFS, {"path": DUMP}, COUNT.format(4)),
        # a missing parameter is reported as a count, not by name
        (BUFS[:2], {"z": one(), "f_path": DUMP}, COUNT.format(2)),
        ([], {"x": one()}, COUNT.format(0)),
        (BUFS + [DUMP], {"x": one()}, "read_file() got multiple values for keyword argument 'x'"),
        (BUFS + [DUMP], {"w": 1}, "read_file() got an unexpected keyword argument 'w'"),
        ([], dict(zip("fxyz", BUFS), f_path=DUMP, w=1), "read_file() got an unexpected keyword argument 'w'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        read_file(*args, **kwargs)
    assert str(excinfo.value) == message
    assert last_entry(excinfo) == ("meshdump.read_file", SOURCE, 58)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ([one(), np.zeros(0, np.float32), one(), one(), DUMP], {}),
        ([one(), np.zeros(0, np.float32), one(), one()], {"f_path": DUMP}),
        ([one()], {"x": np.zeros(0, np.float32), "y": one(), "z": one(), "f_path": DUMP}),
        ([], {"f_path": DUMP, "z": one(), "y": one(), "x": np.zeros(0, np.float32), "f": one()}),
    ],
)
def test_binding_by_keyword(args, kwargs):
    # Binding succeeds: the empty x is what stops the call, before any file access.
    with pytest.raises(IndexError, match=r"^Out of bounds on buffer access \(axis 0\)$"):
        read_file(*args, **kwargs)


def test_non_string_keyword():
    args = (one(), one(), one(), one(), DUMP)
    # Call syntax rejects such a dict before the function sees it ...
    with pytest.raises(TypeError, match="keywords must be strings"):
        read_file(*args, **{1: 2})
    # ... but a caller of the C API can hand it over unfiltered.
    call = ctypes.pythonapi.PyObject_Call
    call.restype, call.argtypes = ctypes.py_object, [ctypes.py_object] * 3
    with pytest.raises(TypeError) as excinfo:
        call(read_file, args, {1: 2})
    assert str(excinfo.value) == "read_file() keywords must be strings"


# ---- float-buffer conversion -------------------------------------------------


def readonly():
    a = np.zeros(3, np.float32)
    a.flags.writeable = False
    return a


MISMATCH = "Buffer dtype mismatch, expected 'float' but got {}"


@pytest.mark.parametrize(
    "make, exc, message",
    [
        (lambda: np.zeros(3), ValueError, MISMATCH.format("'double'")),
        (lambda: np.zeros(3, np.int64), ValueError, MISMATCH.format("'long'")),
        (lambda: np.zeros(3, np.uint64), ValueError, MISMATCH.format("'unsigned long'")),
        (lambda: np.zeros(3, np.int32), ValueError, MISMATCH.format("'int'")),
        (lambda: np.zeros(3, np.int16), ValueError, MISMATCH.format("'short'")),
        (lambda: np.zeros(3, np.uint8), ValueError, MISMATCH.format("'unsigned char'")),
        (lambda: np.zeros(3, np.complex64), ValueError, MISMATCH.format("'complex float'")),
        (lambda: np.zeros(3, np.complex128), ValueError, MISMATCH.format("'complex double'")),
        (lambda: np.zeros(3, object), ValueError, MISMATCH.format("Python object")),
        (lambda: bytearray(8), ValueError, MISMATCH.format("'unsigned char'")),
        (lambda: array.array("i", [0, 0]), ValueError, MISMATCH.format("'int'")),
        (lambda: np.zeros((2, 2), np.float32), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
        (lambda: np.zeros((), np.float32), ValueError, "Buffer has wrong number of dimensions (expected 1, got 0)"),
        (lambda: np.zeros(3, ">f4"), ValueError, "Big-endian buffer not supported on little-endian compiler"),
        (lambda: np.zeros(3, bool), ValueError, "Does not understand character buffer dtype format string ('?')"),
        (lambda: np.zeros(3, np.float16), ValueError, "Does not understand character buffer dtype format string ('e')"),
        # refused by the exporter itself; its own message is passed on
        (lambda: np.zeros(6, np.float32)[::2], (ValueError, BufferError), None),
        (readonly, (ValueError, BufferError), None),
        (lambda: b"\0\0\0\0", BufferError, None),
        (lambda: 1.5, TypeError, None),
        (lambda: np.zeros(3, [("a", "<f4"), ("b", "<f4")]), ValueError, None),
        (lambda: np.zeros(3, [("a", "<f4", (2,))]), ValueError, None),
    ],
)
@pytest.mark.parametrize("position", range(4), ids="fxyz")
def test_float_buffer_refused(make, exc, message, position):
    args = [one(), one(), one(), one(), DUMP]
    args[position] = make()
    with pytest.raises(exc) as excinfo:
        read_file(*args)
    if message is not None:
        assert str(excinfo.value) == message
    assert last_entry(excinfo) == ("meshdump.read_file", SOURCE, 60 + position)


@pytest.mark.parametrize("empty", [None, np.zeros(0, np.float32)], ids=["None", "empty"])
@pytest.mark.parametrize("position", range(4), ids="fxyz")
def test_empty_buffer(empty, position):
    args = [one(), one(), one(), one(), DUMP]
    args[position] = empty
    with pytest.raises(IndexError) as excinfo:
        read_file(*args)
    assert str(excinfo.value) == OUT_OF_BOUNDS
    assert last_entry(excinfo) == ("meshdump.read_file", SOURCE, 65)


@pytest.mark.parametrize(
    "args, exc, line",
    [
        # every conversion comes before any element check
        ([None, one(), one(), np.zeros(1), DUMP], ValueError, 63),
        # element checks come before the path conversion
        ([one(), None, one(), one(), "not bytes"], IndexError, 65),
        ([one(), one(), one(), one(), DUMP.decode()], TypeError, 65),
        ([one(), one(), one(), one(), None], TypeError, 65),
        ([one(), one(), one(), one(), DUMP + b"\0.bin"], ValueError, 65),
        ([one(), one(), one(), one(), bytearray(b"/tmp\0/x")], ValueError, 65),
    ],
)
def test_conversion_order_and_path(args, exc, line):
    with pytest.raises(exc) as excinfo:
        read_file(*args)
    if exc is ValueError and line == 65:
        assert str(excinfo.value) == "embedded null byte"
    assert type(excinfo.value) is exc
    assert last_entry(excinfo) == ("meshdump.read_file", SOURCE, line)


def test_failed_conversions_release_buffers():
    # A held export would make resizing fail with BufferError.
    held = [array.array("f", [0.0]), bytearray(4), array.array("f")]
    for args in ([held[0], held[1], one(), one(), DUMP], [held[0], one(), held[2], one(), DUMP],
                 [held[0], one(), one(), one(), "str path"]):
        with pytest.raises((ValueError, IndexError, TypeError)):
            read_file(*args)
    held[0].append(1.0)
    held[1].extend(b"1234")
    held[2].append(1.0)


def test_checks_precede_open():
    # Nothing is opened when a check fails: a missing file would otherwise
    # be reported as FileNotFoundError.
    run_isolated(
        "import numpy as np, pytest\n"
        "from dorvo.quickio.meshdump import read_file\n"
        "one = lambda: np.zeros(1, np.float32)\n"
        "with pytest.raises(IndexError): read_file(one(), np.zeros(0, np.float32), one(), one(), b'/nonexistent')\n"
        "with pytest.raises(TypeError): read_file(one(), one(), one(), one(), '/nonexistent')\n"
    )
