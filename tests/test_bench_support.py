"""The bench's own parts: its streamed dump writers write what the test
writers write, its stand-in readers return what the loaders return, and one
small run of the whole bench checks every result and leaves no file behind.
(No timing is asserted: the bench reports, it does not judge.)"""
import importlib.util
import json
import os
import sys
from pathlib import Path

import numpy as np
import pytest

from dorvo.quickio import beamdump, meshdump
from helpers import field_dump_bytes, phase_dump_bytes

BENCH = Path(__file__).resolve().parent.parent / "bench"


def load(name):
    spec = importlib.util.spec_from_file_location(f"quickio_bench_{name}", BENCH / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    sys.path.insert(0, str(BENCH))
    try:
        spec.loader.exec_module(module)
    finally:
        sys.path.remove(str(BENCH))
    return module


dumps = load("dumps")
readers = load("readers")

FIELD_TILINGS = [
    ((5, 3, 2), 1, 1),
    ((4, 8, 6), 3, 2),
    ((7, 9, 5), 4, 3),  # uneven splits
    ((3, 4, 6), 1, 3),  # whole planes per block
    ((600, 3, 2), 1, 1),  # more than one chunk of planes per block
]


@pytest.fixture(autouse=True)
def small_chunks(monkeypatch):
    # Chunks of a few hundred bytes, so that small dumps already take the
    # chunked paths of the writers.
    monkeypatch.setattr(dumps, "CHUNK_BYTES", 256)


@pytest.mark.parametrize("shape, nproc_y, nproc_z", FIELD_TILINGS)
def test_streamed_field_writer(tmp_path, shape, nproc_y, nproc_z):
    path = tmp_path / "f.bin"
    size = dumps.write_field(path, *shape, nproc_y, nproc_z)
    field = dumps.expected_field(*shape)
    want = field_dump_bytes(field, *dumps.axes_values(*shape), nproc_y=nproc_y, nproc_z=nproc_z)
    assert path.read_bytes() == want
    assert size == len(want)


@pytest.mark.parametrize("shape, nproc_y, nproc_z", FIELD_TILINGS)
def test_field_readers_agree_with_loader(tmp_path, shape, nproc_y, nproc_z):
    path = tmp_path / "f.bin"
    dumps.write_field(path, *shape, nproc_y, nproc_z)
    nx, ny, nz = shape
    want = meshdump.read_Vintar_bin(str(tmp_path / "f"), {"nx": nx, "ny": ny, "nz": nz})
    np.testing.assert_array_equal(want[0], dumps.expected_field(*shape))
    candidates = [readers.numpy_field]
    if importlib.util.find_spec("scipy") is not None:
        candidates.append(readers.fortranfile_field)
    for reader in candidates:
        got = reader(str(path))
        assert got[0].shape == shape and got[0].flags.f_contiguous, reader.__name__
        for g, w in zip(got, want):
            np.testing.assert_array_equal(g, w, err_msg=reader.__name__)


PHASE_LAYOUTS = [
    (3, [5, 0, 7, -2, 1]),
    (0, [3, 3, 3]),
    (2, [1] * 40 + [9, 2, 2, 2, 300]),  # runs of equal blocks, and a chunked one
    (3, [-1]),  # no particles at all
]


@pytest.mark.parametrize("n, counts", PHASE_LAYOUTS)
def test_streamed_phase_writer(tmp_path, n, counts):
    path = tmp_path / "p.bin"
    size = dumps.write_phase(path, n, counts)
    total = sum(c for c in counts if c > 0)
    values = dumps.particle_values(0, total, n)
    want = phase_dump_bytes(values[:, :2 * n + 1], n, counts, trailing=np.arange(total, dtype=np.int32))
    assert path.read_bytes() == want
    assert size == len(want)


@pytest.mark.parametrize("n, counts", PHASE_LAYOUTS)
def test_phase_reader_agrees_with_loader(tmp_path, n, counts):
    path = tmp_path / "p.bin"
    dumps.write_phase(path, n, counts)
    got = readers.numpy_phase(str(path), n)
    total = sum(c for c in counts if c > 0)
    assert got.shape == (2 * n + 1, total) and got.dtype == np.float32
    np.testing.assert_array_equal(got, dumps.expected_particles(total, n))
    if total:
        np.testing.assert_array_equal(got, beamdump.total_phase_space_read(str(tmp_path / "p"), {"n_dimensions": n}))


def test_floor_reads_every_byte(tmp_path):
    path = tmp_path / "any.bin"
    data = bytes(range(256)) * 3
    path.write_bytes(data)
    got = readers.floor(str(path))
    assert got.dtype == np.uint8 and got.tobytes() == data


# Older matplotlib releases warn about deprecated parts of their own parser
# dependency while drawing the chart; that is not the bench's concern.
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_small_run_checks_results_and_cleans_up(tmp_path, capsys):
    run = load("run")
    folder = tmp_path / "scratch"
    folder.mkdir()
    out = tmp_path / "results.json"
    results = run.main(["--size-gib", "0.005", "--repeat", "1", "--out", str(out), "--tmp", str(folder),
                        "--cases", "field-32,phase-tiny", "--cold"])
    assert list(folder.iterdir()) == [], "the bench left files behind"
    saved = json.loads(out.read_text())
    assert set(saved["cases"]) == {"field-32", "phase-tiny"}
    for name, case in saved["cases"].items():
        ratios = case["warm"]["ratio_to_floor"]
        assert ratios["floor"] == 1.0
        assert {"quickio", "quickio 1 thread", "numpy", "sequential", "memcpy"} <= set(ratios), name
        assert set(case["cold"]["ratio_to_floor"]) == set(ratios), name
        assert all(np.isfinite(v) and v > 0 for v in ratios.values()), name
        for label, mem in saved["memory"][name].items():
            assert mem["growth_bytes"] > 0 and mem["result_bytes"] > 0, (name, label)
    gil = saved["gil"]["field-32"]
    assert set(gil) == {"load", "lock released", "lock held"}
    assert all(len(g["ratios"]) == 3 and g["ratio"] >= 0 for g in gil.values())
    assert {t["key"] for t in results["targets"]} >= {"cold_field_32", "warm_field_memcpy", "memory", "gil"}
    assert "targets:" in capsys.readouterr().out
    assert os.path.exists(out.with_suffix(".png")) or importlib.util.find_spec("matplotlib") is None


def test_builds_compares_two_interpreters_and_cleans_up(tmp_path):
    builds = load("builds")
    folder = tmp_path / "scratch"
    folder.mkdir()
    rows = builds.main(["--base", sys.executable, "--other", sys.executable, "--size-gib", "0.005",
                        "--repeat", "2", "--cold", "--cases", "field-32,phase-64", "--tmp", str(folder)])
    assert list(folder.iterdir()) == [], "the bench left files behind"
    assert [(r[0], r[1]) for r in rows] == [("field-32", "warm"), ("field-32", "cold"),
                                             ("phase-64", "warm"), ("phase-64", "cold")]
    assert all(r[2] > 0 and r[3] > 0 and r[4] > 0 for r in rows)
