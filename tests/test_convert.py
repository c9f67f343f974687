"""`quickio convert`: NetCDF-4 and Zarr round trips, chunking, attributes
and the guards around the output."""
import importlib
import importlib.util
import io
import json
import os

import numpy as np
import pytest

xr = pytest.importorskip("xarray", reason="xarray (in the 'test' extra) not installed")
pytest.importorskip("h5netcdf", reason="h5netcdf (in the 'test' extra) not installed")

from dorvo.quickio import convert  # noqa: E402
from dorvo.quickio.header import read_field_header  # noqa: E402
from helpers import grid_values, phase_values, write_field_dump, write_phase_dump  # noqa: E402
from test_cli import assert_error, quickio  # noqa: E402

HAVE_ZARR3 = importlib.util.find_spec("zarr") is not None and int(
    importlib.import_module("zarr").__version__.split(".")[0]) >= 3
FORMATS = [".nc", pytest.param(".zarr", marks=pytest.mark.skipif(not HAVE_ZARR3, reason="zarr 3 not installed"))]


def field_dump(path):
    field, x, y, z = grid_values(5, 8, 6)
    reals = 0.5 * np.arange(20)
    reals[[3, 4]] = np.nan, -np.inf
    write_field_dump(path, field, x, y, z, nproc_y=2, nproc_z=3, ny_loc=[3, 5], nz_loc=[1, 3, 2], real_params=reals)
    return path


def phase_dump(path):
    write_phase_dump(path, phase_values(11, 3), 3, [4, 0, 7], extra=b"\0\0")
    return path


def opened(path, n=None):
    return xr.open_dataset(path, engine="vintar", **({} if n is None else {"n_dimensions": n}))


def decoded(ds):
    """`ds` with real parameters read back from JSON (where non-finite
    numbers are strings) as the float32 array the backend gives, less the
    stamp that marks it as ours."""
    assert ds.attrs.pop("quickio_output") == "convert"
    if isinstance(ds.attrs.get("real_params"), list):
        ds.attrs["real_params"] = np.array([float(v) for v in ds.attrs["real_params"]], np.float32)
    return ds


@pytest.mark.parametrize("suffix", FORMATS)
@pytest.mark.parametrize("kind, limit", [("field", None), ("field", 100), ("field", 4 * 5 * 8 * 2),
                                          ("phase", None), ("phase", 100)])
def test_round_trip(tmp_path, monkeypatch, suffix, kind, limit):
    """The output opens as the dataset the backend gives, whether the dump
    is one chunk or many (down to parts of a plane)."""
    if limit is not None:
        monkeypatch.setattr(convert, "WRITE_CHUNK_BYTES", limit)
    dump, n = (field_dump(tmp_path / "d.bin"), None) if kind == "field" else (phase_dump(tmp_path / "d.bin"), 3)
    out = tmp_path / f"out{suffix}"
    convert.convert(dump, out, n, progress=True)
    with opened(dump, n) as expected, xr.open_dataset(out) as back:
        xr.testing.assert_identical(decoded(back.load()), expected.load())
        name = "field" if kind == "field" else "phase_space"
        chunks = back[name].encoding["preferred_chunks"]
        assert 4 * np.prod(list(chunks.values())) <= (limit or convert.WRITE_CHUNK_BYTES)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["d.bin", out.name])


@pytest.mark.parametrize("suffix", FORMATS)
def test_dump_without_particles(tmp_path, suffix):
    (tmp_path / "e.bin").write_bytes(b"")
    convert.convert(tmp_path / "e.bin", tmp_path / f"e{suffix}", 2)
    with xr.open_dataset(tmp_path / f"e{suffix}") as back:
        assert back.phase_space.shape == (5, 0)


def test_reads_chunk_by_chunk(tmp_path, monkeypatch):
    """A dump of many chunks is never loaded whole: the backend reads it
    chunk by chunk, the whole-dump loaders are never called, and the
    output holds every value."""
    from dorvo.quickio import beamdump, meshdump

    def refuse(*args):
        raise AssertionError("a whole-dump loader was called")

    for dump, n, limit in ((field_dump(tmp_path / "f.bin"), None, 4 * 5 * 8),
                           (phase_dump(tmp_path / "p.bin"), 3, 4 * 7 * 3)):
        with opened(dump, n) as ds:
            expected = ds.load()
        monkeypatch.setattr(meshdump, "read_Vintar_bin", refuse)
        monkeypatch.setattr(beamdump, "total_phase_space_read", refuse)
        monkeypatch.setattr(convert, "WRITE_CHUNK_BYTES", limit)
        convert.convert(dump, dump.with_suffix(".nc"), n)
        monkeypatch.undo()
        with xr.open_dataset(dump.with_suffix(".nc")) as back:
            xr.testing.assert_identical(decoded(back.load()), expected)


class Interrupt(KeyboardInterrupt):
    pass


@pytest.mark.parametrize("suffix", FORMATS)
def test_interrupted_conversion_leaves_nothing(tmp_path, monkeypatch, suffix):
    """A conversion that stops half-way leaves neither the output nor its
    temporary file; an existing output survives it."""
    class Failing:
        ticks = 0

        def add(self, nbytes):
            self.ticks += 1
            if self.ticks == 2:
                raise Interrupt

        def close(self):
            pass

    monkeypatch.setattr(convert, "_progress_bar", lambda total, label: Failing())
    monkeypatch.setattr(convert, "WRITE_CHUNK_BYTES", 4 * 5 * 8)
    dump = field_dump(tmp_path / "f.bin")
    out = tmp_path / f"f{suffix}"
    with pytest.raises(Interrupt):
        convert.convert(dump, out, progress=True)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f.bin"]
    convert.convert(phase_dump(tmp_path / "ph.bin"), out, 3)
    with pytest.raises(Interrupt):
        convert.convert(dump, out, progress=True, overwrite=True)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f.bin", out.name, "ph.bin"]
    with xr.open_dataset(out) as kept:
        assert "phase_space" in kept


@pytest.mark.skipif(not HAVE_ZARR3, reason="zarr 3 not installed")
def test_ctrl_c_waits_for_the_store_writes_under_way(tmp_path, monkeypatch):
    """zarr writes from a thread of its own, which Ctrl-C does not stop:
    the conversion ends, interrupted, only once that writing has stopped,
    so that nothing is put back into the store after it was removed."""
    import signal
    import threading
    import time

    class Job:
        def __init__(self, out):
            self.out = out

        def compute(self, **kwargs):
            os.makedirs(self.out)

            def late():  # as zarr's I/O thread finishing a write
                time.sleep(0.6)
                os.makedirs(os.path.join(self.out, "field", "c"))

            io_thread = threading.Thread(target=late)
            io_thread.start()
            threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()  # Ctrl-C meanwhile
            io_thread.join()

    monkeypatch.setattr(convert, "_zarr_job", lambda ds, name, chunks, out, bar: Job(out))
    dump = field_dump(tmp_path / "f.bin")
    with pytest.raises(KeyboardInterrupt):
        convert.convert(dump, tmp_path / "o.zarr")
    time.sleep(0.6)  # any write still under way has ended
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f.bin"]


@pytest.mark.parametrize("tiling, limit, chunks", [
    # Whole layers of one height fit: as many whole layers as fit.
    (dict(nx=4, ny=8, nz=12, heights=[3, 3, 3, 3]), 4 * 32 * 7, (4, 8, 6)),
    # A layer higher than fits: as many planes as fit.
    (dict(nx=4, ny=8, nz=12, heights=[6, 6]), 4 * 32 * 4, (4, 8, 4)),
    # Layers of different heights: as many planes as fit.
    (dict(nx=4, ny=8, nz=12, heights=[5, 7]), 4 * 32 * 3, (4, 8, 3)),
    # A plane larger than fits: the blocks' width, or as many rows as fit.
    (dict(nx=4, ny=8, nz=12, heights=[12], widths=[2, 2, 2, 2]), 4 * 4 * 5, (4, 2, 1)),
    (dict(nx=4, ny=8, nz=12, heights=[12], widths=[3, 5]), 4 * 4 * 5, (4, 5, 1)),
    # A row larger than fits: part of a row.
    (dict(nx=40, ny=2, nz=1, heights=[1]), 4 * 10, (10, 1, 1)),
])
def test_field_chunks(tmp_path, tiling, limit, chunks):
    widths = tiling.get("widths", [tiling["ny"]])
    write_field_dump(tmp_path / "f.bin", grid_values(tiling["nx"], tiling["ny"], tiling["nz"])[0],
                     ny_loc=widths, nz_loc=tiling["heights"])
    assert convert.field_chunks(read_field_header(tmp_path / "f.bin"), limit) == chunks


def test_netcdf_attrs():
    """What NetCDF cannot store is converted; what it can is kept as it is."""
    attrs = {"flag": True, "flags": np.array([True, False]), "gone": None, "nested": {"a": [1, 2], "b": None},
             "ints": np.array([1, 2], np.int64), "reals": np.array([0.5, np.nan], np.float32), "n": 3,
             "names": ["a", "b"], "text": "x", "odd": object}
    stored = convert.netcdf_attrs(attrs)
    assert set(stored) == set(attrs) - {"gone"}
    assert stored["flag"] == 1 and stored["flag"].dtype == np.int8
    assert stored["flags"].tolist() == [1, 0] and stored["flags"].dtype == np.int8
    assert json.loads(stored["nested"]) == {"a": [1, 2], "b": None}
    assert stored["odd"] == str(object)
    for key in ("ints", "reals", "n", "names", "text"):
        assert stored[key] is attrs[key]
    # ... and the converted attributes do go into a NetCDF file and back.
    data = xr.Dataset(attrs=stored).to_netcdf(engine="h5netcdf")
    with xr.open_dataset(io.BytesIO(bytes(data)), engine="h5netcdf") as reopened:
        assert reopened.attrs["flag"] == 1 and reopened.attrs["text"] == "x"


@pytest.fixture
def dumps(tmp_path):
    field_dump(tmp_path / "f.bin")
    phase_dump(tmp_path / "ph.bin")
    (tmp_path / "cut.bin").write_bytes((tmp_path / "f.bin").read_bytes()[:400])
    (tmp_path / "old.nc").write_text("keep")
    return tmp_path


@pytest.mark.parametrize("args, message", [
    (["f.bin", "f.h5"], "f.h5: name the output *.nc (NetCDF-4) or *.zarr (Zarr)"),
    (["missing.bin", "no/such/f.nc"], "no/such/f.nc: the folder no/such does not exist"),
    (["missing.bin", "old.nc"], "old.nc: exists; pass --overwrite to replace it"),
    (["missing.bin", "f.nc"], "missing.bin: no such file"),
    (["ph.bin", "f.nc"], "ph.bin: a phase-space dump, not a field dump ("),
    (["cut.bin", "f.nc"], "cut.bin: cannot load a dump that is not well-formed: file ends inside the extents of block (layer 1, column 0)"),
])
def test_cli_refusals(dumps, args, message):
    assert_error(quickio("convert", *args, cwd=dumps), message)
    assert (dumps / "old.nc").read_text() == "keep" and not (dumps / "f.nc").exists()


@pytest.mark.parametrize("suffix", FORMATS)
def test_cli_converts_and_overwrites(dumps, suffix):
    for args in (["ph.bin", f"ph{suffix}", "--n-dimensions", "3"], ["ph.bin", f"ph{suffix}", "--n-dimensions", "3",
                                                                      "--overwrite"]):
        proc = quickio("convert", *args, cwd=dumps)
        assert (proc.returncode, proc.stdout, proc.stderr) == (0, f"wrote ph{suffix}\n", "")
    with opened(dumps / "ph.bin", 3) as expected, xr.open_dataset(dumps / f"ph{suffix}") as back:
        xr.testing.assert_identical(decoded(back.load()), expected.load())


# ---------------------------------------------------------------- what an output may replace


def hidden(folder):
    """The temporaries left in `folder`."""
    return sorted(p.name for p in folder.iterdir() if p.name.startswith("."))


@pytest.mark.parametrize("suffix", FORMATS)
def test_output_that_is_or_holds_the_dump_refused(tmp_path, suffix):
    """Whatever overwrite allows, the dump survives: an output folder that
    holds it (even one that looks like a Zarr store), through a symbolic
    link, and another name of the dump itself."""
    run = tmp_path / f"run{suffix}"
    run.mkdir()
    dump = field_dump(run / "Ex.bin")
    (run / "zarr.json").write_text('{"zarr_format": 3, "node_type": "group"}')
    (tmp_path / f"link{suffix}").symlink_to(run)
    os.link(dump, tmp_path / f"hard{suffix}")
    before = dump.read_bytes()
    for out, reason in [(run, "holds the dump"), (tmp_path / f"link{suffix}", "holds the dump"),
                        (tmp_path / f"hard{suffix}", "is the dump itself")]:
        with pytest.raises(convert.OutputRefused, match=f"^{out}: {reason}"):
            convert.convert(dump, out, overwrite=True)
    proc = quickio("convert", f"run{suffix}/Ex.bin", f"run{suffix}", "--overwrite", cwd=tmp_path)
    assert proc.returncode != 0 and "Traceback" not in proc.stderr, proc.stderr
    assert dump.read_bytes() == before and hidden(tmp_path) == []


@pytest.mark.parametrize("suffix", FORMATS)
@pytest.mark.parametrize("when", ["before", "after"])
def test_interrupt_during_the_swap_puts_the_old_output_back(tmp_path, monkeypatch, suffix, when):
    """Ctrl-C once the old output is moved aside, just before or just after
    the new one is renamed in: the old one is back under its name, and no
    temporary is left."""
    out = tmp_path / f"o{suffix}"
    convert.convert(phase_dump(tmp_path / "ph.bin"), out, 3)
    dump = field_dump(tmp_path / "f.bin")  # written before os.rename is patched: the interrupt hits the swap
    rename = os.rename

    def interrupted(src, dst):
        if str(src).endswith(".part"):
            if when == "after":
                rename(src, dst)
            raise KeyboardInterrupt
        rename(src, dst)

    monkeypatch.setattr(os, "rename", interrupted)
    monkeypatch.setattr(os, "replace", interrupted)
    with pytest.raises(KeyboardInterrupt):
        convert.convert(dump, out, overwrite=True)
    monkeypatch.undo()
    with xr.open_dataset(out) as kept:
        assert list(kept.data_vars) == ["phase_space"]
    assert hidden(tmp_path) == []


KILLED = """
import os, signal, sys
from dorvo.quickio import convert
step, dump, out = sys.argv[1:]
if step == "write":
    # Killed once the first chunk is written to the temporary.
    def killed(*args):
        os.kill(os.getpid(), signal.SIGKILL)
    convert._write_one = killed
    convert.WRITE_CHUNK_BYTES = 4 * 5 * 8
else:
    # Killed between moving the previous output aside and renaming the new one in.
    rename = os.rename
    def killed(src, dst):
        if src.endswith(".part"):
            os.kill(os.getpid(), signal.SIGKILL)
        rename(src, dst)
    os.rename = killed
convert.convert(dump, out, overwrite=True)
"""


def test_killed_conversion_is_cleaned_up_by_the_next(tmp_path, request):
    """A killed process leaves its temporaries, named after the target and
    the process; the next conversion to the target removes them, and puts
    back a previous output the killed one had moved aside. A live
    process's temporary is left alone."""
    import subprocess
    import sys

    dump, out = field_dump(tmp_path / "f.bin"), tmp_path / "f.nc"
    # Another conversion at work: a process of ours that runs throughout,
    # and must still run at the end (asking whether it runs sends nothing).
    other = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(600)"])
    request.addfinalizer(lambda: (other.kill(), other.wait()))
    live = tmp_path / f".f.nc.quickio-{convert._output._host()}-{other.pid}-00000000.part"
    live.write_text("another process at work")

    def killed(step):
        proc = subprocess.run([sys.executable, "-c", KILLED, step, str(dump), str(out)], timeout=120)
        assert proc.returncode == -9
        return [name for name in hidden(tmp_path) if name != live.name]

    left = killed("write")
    assert len(left) == 1 and left[0].startswith(".f.nc.quickio-") and left[0].endswith(".part")
    convert.convert(dump, out)
    assert hidden(tmp_path) == [live.name]
    left = killed("swap")
    assert not out.exists() and {name.rsplit(".", 1)[1] for name in left} == {"old", "part"}
    # The previous output is put back, and then stands in the way as ever.
    with pytest.raises(convert.OutputExists):
        convert.convert(dump, out)
    assert hidden(tmp_path) == [live.name]
    with xr.open_dataset(out) as back:
        assert "field" in back
    assert other.poll() is None


def test_metadata_is_json_for_any_header_value(tmp_path):
    """NaN and infinities in the header go into a Zarr store's zarr.json and
    into a NetCDF attribute holding JSON as `info --json` writes them, and
    float() reads them back."""
    def strict(text):
        return json.loads(text, parse_constant=lambda c: pytest.fail(f"{c} is not JSON"))

    dump = field_dump(tmp_path / "f.bin")
    expected = read_field_header(dump).real_params
    if HAVE_ZARR3:
        convert.convert(dump, tmp_path / "f.zarr")
        documents = [strict(p.read_text()) for p in (tmp_path / "f.zarr").rglob("zarr.json")]
        assert len(documents) == 5  # the group and its four arrays
        stored = next(d["attributes"]["real_params"] for d in documents if "real_params" in d.get("attributes", {}))
        assert stored[3:5] == ["NaN", "-Infinity"]
        np.testing.assert_array_equal(np.array([float(v) for v in stored], np.float32), expected)
    nested = convert.netcdf_attrs({"nested": {"a": [np.nan, np.inf, 1.0], "b": np.float32(-np.inf)}})["nested"]
    assert strict(nested) == {"a": ["NaN", "Infinity", 1.0], "b": "-Infinity"}
