"""load(): either kind of dump by any form of its name, as the loaders give it."""
import io
import os
import re
from importlib import resources
from pathlib import Path

import numpy as np
import pytest

import dorvo.quickio as qio
from dorvo.quickio import beamdump, load, meshdump
from helpers import NX, DATA_DIR, field_dump_bytes, grid_values, phase_dump_bytes, phase_values, write_field_dump
from test_cli import assert_error, quickio

SAMPLES = Path(str(resources.files("dorvo.quickio").joinpath("samples")))


@pytest.mark.parametrize("form", [
    lambda p: str(p), lambda p: str(p)[:-4], lambda p: p, lambda p: Path(str(p)[:-4]),
], ids=["str", "str-without-bin", "pathlike", "pathlike-without-bin"])
def test_path_forms(form):
    f, x, y, z = load(form(SAMPLES / "field.bin"))
    want = meshdump.read_Vintar_bin(str(SAMPLES / "field"), {"nx": 48, "ny": 32, "nz": 24})
    for got, expected in zip((f, x, y, z), want):
        assert got.dtype == np.float32 and got.flags.f_contiguous
        np.testing.assert_array_equal(got, expected)
    ps = load(form(SAMPLES / "phase_space.bin"), n_dimensions=3)
    np.testing.assert_array_equal(ps, beamdump.total_phase_space_read(str(SAMPLES / "phase_space"),
                                                                      {"n_dimensions": 3}))
    assert ps.shape == (7, 3000) and ps.flags.f_contiguous


@pytest.mark.parametrize("data", [b"", phase_dump_bytes(np.zeros((0, 5)), 2, [0, -3, 0], extra=b"\1\2")],
                         ids=["empty-file", "empty-blocks"])
def test_phase_space_dump_of_no_particles_is_an_empty_array(tmp_path, data):
    (tmp_path / "p.bin").write_bytes(data)
    ps = load(tmp_path / "p.bin", n_dimensions=2)
    assert ps.shape == (5, 0) and ps.dtype == np.float32


@pytest.mark.parametrize("make, n, exc, match", [
    (lambda p: None, None, FileNotFoundError, "p.bin"),
    (lambda p: None, 3, FileNotFoundError, "p.bin"),
    (lambda p: p.write_bytes(phase_dump_bytes(phase_values(3, 1), 1)[:-9]), 1, EOFError, "announces 3 particles"),
    (lambda p: p.write_bytes(b""), -1, ValueError, "n_dimensions must be >= 0, got -1"),
], ids=["missing-field", "missing-phase", "cut-phase", "negative-n"])
def test_errors(tmp_path, make, n, exc, match):
    make(tmp_path / "p.bin")
    with pytest.raises(exc, match=match):
        load(os.path.join(tmp_path, "p"), n_dimensions=n)


# A file of the other kind, or of neither, named for what it is; the hint
# to give (or drop) the dimension count is each reader's own.
WRONG_KIND = {
    "field-with-n": ((DATA_DIR / "field_2x2.bin").read_bytes(), 3,
                     "a field dump, not a phase-space dump; a field dump is read without n_dimensions"),
    "phase-without-n": ((DATA_DIR / "phase_n3.bin").read_bytes(), None,
                        "a phase-space dump, not a field dump (file ends inside the integer parameters: "
                        "4227858432 bytes needed at offset 16, 156 left); the file does not record its "
                        "dimension count: "),
    "empty-without-n": (b"", None, "a phase-space dump, not a field dump (file ends inside the parameter count"),
    "text-without-n": (b"not a dump\n", None,
                       "neither a field dump (file ends inside the integer parameters: 7877984644 bytes needed "
                       "at offset 16, 0 left) nor a whole phase-space dump (its first block count, 544501614, "
                       "asks for more than its 11 bytes)"),
}


def _raised(call):
    with pytest.raises(ValueError) as info:
        call()
    return str(info.value)


ROUTES = {
    "load": lambda p, n: _raised(lambda: load(p, n_dimensions=n)),
    "load-file-object": lambda p, n: _raised(lambda: load(io.BytesIO(p.read_bytes()), n_dimensions=n)),
    "open": lambda p, n: _raised(lambda: qio.open(p, n_dimensions=n)),
    "header": lambda p, n: _raised(lambda: qio.header.read_phase_space_header(p, n)),
    "xarray": lambda p, n: _raised(lambda: pytest.importorskip("xarray").open_dataset(
        p, engine="vintar", n_dimensions=n)),
    "cli": lambda p, n: quickio("info", p),
}


# A BytesIO is pinned by nothing, which its dump says once.
@pytest.mark.filterwarnings("ignore::dorvo.quickio.UnpinnedWarning")
@pytest.mark.parametrize("kind, route", [
    (kind, route) for kind in WRONG_KIND for route in ROUTES
    # The command line reads a field dump as one, whatever --n-dimensions
    # says; read_field_header reports what it finds, phase-space or not.
    if not (route == "cli" and WRONG_KIND[kind][1] is not None)
    and not (route == "header" and WRONG_KIND[kind][1] is None)])
def test_the_wrong_kind_of_dump_is_named(tmp_path, kind, route):
    data, n, message = WRONG_KIND[kind]
    path = tmp_path / "d.bin"
    path.write_bytes(data)
    hint = {"cli": "give it with --n-dimensions N"}.get(route, "pass n_dimensions=N")
    if route == "cli":
        proc = ROUTES[route](path, n)
        assert_error(proc, f"{path}: {message}")
        text = proc.stderr.rstrip("\n")
    else:
        text = ROUTES[route](path, n)
        assert message in text and (route == "load-file-object" or text.startswith(f"{path}: "))
    # Only a phase-space dump is told how to give its dimension count.
    assert text.endswith(hint) == message.startswith("a phase-space dump")


def test_dimension_hint_only_where_another_count_walks_the_file_whole(tmp_path):
    """A dump written with n = 3 read with n = 2: every reader says which
    count walks it whole; the same dump cut short, read with its own
    count, gets no such hint (no count would help)."""
    import xarray as xr

    from dorvo.quickio import header, particles

    whole, cut = tmp_path / "ps.bin", tmp_path / "cut.bin"
    whole.write_bytes(phase_dump_bytes(phase_values(9, 3), 3, [4, 5]))
    cut.write_bytes(whole.read_bytes()[:-8])
    def read_one(path, n):
        with qio.open(path, n_dimensions=n) as d:
            return d.read(particles=0)

    readers = [lambda p, n: load(p, n_dimensions=n), read_one,
               lambda p, n: particles.moments(p, n),
               lambda p, n: xr.open_dataset(p, engine="vintar", n_dimensions=n).phase_space.values]
    for read in readers:
        with pytest.raises((EOFError, ValueError), match="bytes remain; read with n_dimensions=3 the file is whole$"):
            read(whole, 2)
        with pytest.raises((EOFError, ValueError), match="bytes remain$"):
            read(cut, 3)
    assert (header.whole_with(whole, 2), header.whole_with(whole, 3), header.whole_with(cut, 3)) == (3, None, None)


@pytest.mark.parametrize("name", ["f.bin", "f.dat", "f"])
@pytest.mark.parametrize("shape", [(5, 7, 4), (1, 1, 1)])
def test_a_field_dump_by_any_name(tmp_path, name, shape):
    """A name without ".bin" is read by the module's read_file rather than
    by the loader's own name rule: the same values in the same places."""
    f, x, y, z = grid_values(*shape)
    tiling = dict(nproc_y=2, nproc_z=3, ny_loc=[3, 4], nz_loc=[1, 2, 1]) if shape[1] > 1 else {}
    write_field_dump(tmp_path / name, f, x, y, z, **tiling)
    for got, expected in zip(load(tmp_path / name if name != "f" else str(tmp_path / name)), (f, x, y, z)):
        assert got.dtype == np.float32 and got.flags.f_contiguous
        np.testing.assert_array_equal(got, expected)


@pytest.mark.parametrize("shape, ints, reason", [
    ((2, 3, 2), {NX: -2}, "the header gives nx = -2"),
    *[(shape, {}, f"the grid {shape} has no points") for shape in ((0, 3, 2), (3, 0, 2), (3, 2, 0))],
])
def test_a_grid_of_no_points_under_another_name(tmp_path, shape, ints, reason):
    (tmp_path / "g.dat").write_bytes(field_dump_bytes(np.zeros(shape), int_params=ints))
    with pytest.raises(ValueError, match=f"^{tmp_path / 'g.dat'}: {re.escape(reason)}"):
        load(tmp_path / "g.dat")


@pytest.mark.filterwarnings("ignore::dorvo.quickio.UnpinnedWarning")
@pytest.mark.parametrize("cut, exc, reason", [
    (30, EOFError, "file ends inside the integer parameters: 80 bytes needed at offset 16, 14 left"),
    (400, ValueError, "file ends inside the data of block (layer 0, column 0): 192 bytes needed at offset 212, 188 left"),
])
def test_a_cut_field_dump_from_a_file_object(cut, exc, reason):
    """Read by ranges, a field dump cut in its parameters is an EOFError,
    one cut in its data a ValueError."""
    data = field_dump_bytes(grid_values(4, 8, 6)[0], nproc_y=2, nproc_z=2)[:cut]
    with pytest.raises(exc, match=f"^<BytesIO object>: {re.escape(reason)}$") as raised:
        load(io.BytesIO(data))
    assert type(raised.value) is exc
