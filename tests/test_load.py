"""load(): either kind of dump by any form of its name, as the loaders give it."""
import os
from importlib import resources
from pathlib import Path

import numpy as np
import pytest

from dorvo.quickio import beamdump, load, meshdump
from helpers import phase_dump_bytes, phase_values

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
    (lambda p: p.write_bytes(phase_dump_bytes(phase_values(3, 1), 1)), None, ValueError,
     r"p.bin: not a field dump \(.*\); to load a phase-space dump, pass n_dimensions=N"),
    (lambda p: None, None, FileNotFoundError, "p.bin"),
    (lambda p: None, 3, FileNotFoundError, "p.bin"),
    (lambda p: p.write_bytes(phase_dump_bytes(phase_values(3, 1), 1)[:-9]), 1, EOFError, "announces 3 particles"),
    (lambda p: p.write_bytes(b""), -1, ValueError, "n_dimensions must be >= 0, got -1"),
], ids=["phase-without-n", "missing-field", "missing-phase", "cut-phase", "negative-n"])
def test_errors(tmp_path, make, n, exc, match):
    make(tmp_path / "p.bin")
    with pytest.raises(exc, match=match):
        load(os.path.join(tmp_path, "p"), n_dimensions=n)
