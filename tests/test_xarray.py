"""The xarray backend and time series against the loaders: values,
coordinates, which bytes a selection reads, pickling, dask and a two-process
dask.distributed cluster."""
import os
import pickle
from importlib import resources

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
da = pytest.importorskip("dask.array")

from dorvo.quickio import beamdump, meshdump  # noqa: E402
from dorvo.quickio import xarray as qx  # noqa: E402
from dorvo.quickio.components import default_labels  # noqa: E402
from dorvo.quickio.header import read_field_header, read_phase_space_header  # noqa: E402
from helpers import (DATA_DIR, field_dump_bytes, grid_values, phase_values,  # noqa: E402
                     write_field_dump, write_phase_dump)

P = pytest.param
SAMPLES = resources.files("dorvo.quickio").joinpath("samples")
ALL = slice(None)

# Grid (6, 9, 10) in three layers of heights 3, 3, 4, three blocks a layer,
# with y widths that change from layer to layer and an empty block.
TILED = dict(shape=(6, 9, 10), ny_loc=[[2, 3, 4], [4, 0, 5], [3, 3, 3]], nz_loc=[3, 3, 4])


def _field(tmp_path, shape, name="f.bin", **kw):
    field, x, y, z = grid_values(*shape)
    path = tmp_path / name
    write_field_dump(path, field, x, y, z, **kw)
    return str(path), field


@pytest.fixture
def reads(monkeypatch):
    """Records (offset, bytes) of every run the read planner plans."""
    return _spied(monkeypatch, copies=False)


@pytest.fixture
def placed(monkeypatch):
    """Records (offset, bytes) of every run the read planner plans; of a
    run of whole rows of several blocks, of each copy it places."""
    return _spied(monkeypatch, copies=True)


def _spied(monkeypatch, copies):
    from dorvo.quickio._dump import planner as _planner

    log = []
    real = _planner.coalesce

    def spy(runs, *args, **kwargs):
        for start, stop, place, *_ in runs:
            if copies and getattr(place, "func", None) is _planner._copies:
                src, _, words = place.args
                log.extend((start + 4 * s, 4 * n) for s, n in zip(src.tolist(), words.tolist()))
            else:
                log.append((start, stop - start))
        return real(runs, *args, **kwargs)

    monkeypatch.setattr(_planner, "coalesce", spy)
    return log


def _blocks_touched(reads, blocks, data_start, data_bytes):
    """The blocks whose data the reads fall in; each read lies in one block."""
    touched = set()
    for offset, n in reads:
        owners = [i for i, b in enumerate(blocks)
                  if data_start(b) <= offset and offset + n <= data_start(b) + data_bytes(b)]
        assert len(owners) == 1, f"read of {n} bytes at {offset} is not inside one block's data"
        touched.add(owners[0])
    return touched


# ---------------------------------------------------------------- field dumps


@pytest.mark.parametrize("source", [
    P("data:field_2x2.bin", id="fortran-2x2"), P("data:field_1x1.bin", id="fortran-1x1"),
    P("sample:field.bin", id="sample"), P(TILED, id="tiled"),
    P(dict(shape=(3, 4, 5), ny_loc=[1, 1, 1, 1], nz_loc=[1] * 5), id="tiny-blocks"),
    P(dict(shape=(1, 1, 1)), id="one-point"),
])
def test_field_dataset_matches_loader(tmp_path, source):
    if isinstance(source, str):
        where, name = source.split(":")
        path = str((DATA_DIR if where == "data" else SAMPLES) / name)
    else:
        source = dict(source)
        path, _ = _field(tmp_path, source.pop("shape"), **source)
    h = read_field_header(path)
    f, x, y, z = meshdump.read_Vintar_bin(path[:-4], h.params)
    ds = xr.open_dataset(path, engine="vintar")
    assert ds.field.dims == ("x", "y", "z") and ds.field.dtype == np.float32
    for name, axis in zip("xyz", (x, y, z)):
        assert ds[name].dtype == np.float32
        np.testing.assert_array_equal(ds[name].values, axis)
    assert {k: v for k, v in ds.attrs.items() if not k.endswith("params")} == {
        "name": os.path.basename(path)[:-4], "nparam": h.nparam, "nproc_y": h.nproc_y, "nproc_z": h.nproc_z}
    assert tuple(ds.attrs["integer_params"]) == h.int_params
    assert tuple(ds.attrs["real_params"]) == h.real_params
    values = ds.field.values
    assert values.dtype == np.float32
    np.testing.assert_array_equal(values, f)


def test_opening_reads_no_data(tmp_path, reads):
    path, field = _field(tmp_path, (4, 8, 6), ny_loc=[3, 5], nz_loc=[2, 4])
    ds = xr.open_dataset(path, engine="vintar")
    assert reads == []
    np.testing.assert_array_equal(ds.field[:, :, 1:3].values, field[:, :, 1:3])


@pytest.mark.parametrize("sel", [
    P((ALL, ALL, slice(3, 6)), id="one-layer"),
    P((ALL, ALL, slice(2, 4)), id="two-layers"),
    P((ALL, ALL, slice(6, 10)), id="last-layer"),
    P((ALL, slice(2, 5), ALL), id="y-range"),
    P((ALL, slice(0, 2), slice(7, 9)), id="one-block"),
    P((ALL, 6, ALL), id="y-index"),
    P((slice(1, 4), slice(None, None, 2), slice(1, 9, 3)), id="strided"),
    P((ALL, slice(3, 6), slice(None, None, 2)), id="z-strided-in-one-column"),
    P((slice(2, 3), ALL, slice(4, 5)), id="x-range"),
    P((3, 4, 5), id="point"),
    P((slice(None, None, -1), slice(8, 0, -3), slice(None, None, -2)), id="reversed"),
    P((ALL, ALL, slice(5, 5)), id="empty"),
])
def test_selection_reads_only_the_blocks_that_hold_it(tmp_path, placed, sel):
    reads = placed
    layout = dict(TILED)
    path, field = _field(tmp_path, layout.pop("shape"), **layout)
    ds = xr.open_dataset(path, engine="vintar")
    got = ds.field[sel].values
    assert got.dtype == np.float32
    np.testing.assert_array_equal(got, field[sel])

    blocks = read_field_header(path).blocks
    nx, ny, nz = field.shape
    ys, zs = np.arange(ny)[sel[1]], np.arange(nz)[sel[2]]
    needed = {i for i, b in enumerate(blocks)
              if np.any((ys >= b.y0) & (ys < b.y0 + b.ny_loc)) and np.any((zs >= b.z0) & (zs < b.z0 + b.nz_loc))}
    touched = _blocks_touched(reads, blocks, lambda b: b.offset, lambda b: 4 * b.size)
    assert touched == needed
    if sel[0] == ALL and (isinstance(sel[1], int) or sel[1].step is None):
        # Whole rows of consecutive y: exactly the selected values are read.
        assert sum(n for _, n in reads) == 4 * got.size


@pytest.mark.parametrize("name", ["f.bin", "f.dat"])
def test_whole_field_read(tmp_path, reads, name):
    layout = dict(TILED)
    path, field = _field(tmp_path, layout.pop("shape"), name=name, **layout)
    values = xr.open_dataset(path, engine="vintar").field.values
    np.testing.assert_array_equal(values, field)
    # The whole field goes through the native loader, whatever the name.
    assert reads == []


@pytest.mark.parametrize("heights", [[3, 3, 3], [4, 4, 2], [10], [2, 0, 7], [2, 4]])
def test_dask_chunks_follow_layers(tmp_path, reads, heights, monkeypatch):
    from dorvo.quickio._dump import planner as _planner

    # A chunk of the largest layer's size: no two layers fit in one.
    monkeypatch.setattr(_planner, "CHUNK_BYTES", 4 * 3 * 4 * max(heights))
    path, field = _field(tmp_path, (3, 4, sum(heights)), ny_loc=[4], nz_loc=heights)
    ds = xr.open_dataset(path, engine="vintar", chunks={})
    assert ds.field.chunks == ((3,), (4,), tuple(h for h in heights if h))
    np.testing.assert_array_equal(ds.field.values, field)
    if len([h for h in heights if h]) > 1:
        # One read per chunk: each layer's block lands whole in its chunk.
        assert sorted(n for _, n in reads) == sorted(4 * 3 * 4 * h for h in heights if h)


@pytest.mark.parametrize("make, match", [
    P(lambda p: p.write_bytes(field_dump_bytes(grid_values(4, 8, 6)[0], ny_loc=[3, 5], nz_loc=[2, 4])[:400]),
      "not a well-formed field dump: file ends inside the data of block \\(layer 0, column 1\\)", id="cut-off"),
    P(lambda p: p.write_bytes(field_dump_bytes(grid_values(4, 8, 6)[0], ny_loc=[3, 4], nz_loc=[2, 4])),
      "not a well-formed field dump: the blocks of layer 0 leave y rows 7 to 7", id="bad-tiling"),
    P(lambda p: write_phase_dump(p, phase_values(3, 1), 1),
      "not a field dump .*pass n_dimensions=N", id="phase-without-n"),
    P(lambda p: p.write_bytes(b""), "not a field dump", id="empty"),
])
def test_open_errors(tmp_path, make, match):
    path = tmp_path / "d.bin"
    make(path)
    with pytest.raises(ValueError, match=match) as info:
        xr.open_dataset(path, engine="vintar")
    assert str(path) in str(info.value)


@pytest.mark.parametrize("opener, exc, match", [
    P(lambda p: xr.open_dataset(p / "none.bin", engine="vintar"), FileNotFoundError, "none.bin", id="missing"),
    P(lambda p: qx.VintarBackendEntrypoint().open_dataset(3), TypeError, "a binary file object, not from int",
      id="not-a-dump"),
    P(lambda p: xr.open_dataset(DATA_DIR / "phase_n3.bin", engine="vintar", n_dimensions=-1),
      ValueError, "n_dimensions must be >= 0, got -1", id="negative-n"),
])
def test_argument_errors(tmp_path, opener, exc, match):
    with pytest.raises(exc, match=match):
        opener(tmp_path)


def test_guess_can_open(tmp_path):
    entry = qx.VintarBackendEntrypoint()
    write_phase_dump(tmp_path / "p.bin", phase_values(2, 3), 3)
    assert entry.guess_can_open(DATA_DIR / "field_2x2.bin")
    assert entry.guess_can_open(str(DATA_DIR / "field_2x2.bin"))
    for other in (tmp_path / "p.bin", tmp_path / "none.bin", tmp_path, b"\4\0\0\0", 42):
        assert not entry.guess_can_open(other)
    assert "vintar" in xr.backends.list_engines()


def test_relative_path_resolved_at_opening(tmp_path, monkeypatch):
    _, field = _field(tmp_path, (3, 4, 5))
    monkeypatch.chdir(tmp_path)
    ds = xr.open_dataset("f.bin", engine="vintar")
    monkeypatch.chdir(tmp_path.parent)
    np.testing.assert_array_equal(ds.field[:, :, 1:].values, field[:, :, 1:])


@pytest.mark.parametrize("chunks", [None, {}])
def test_pickled_dataset_holds_paths_not_data(tmp_path, chunks):
    path, field = _field(tmp_path, (16, 16, 16), nproc_y=2, nproc_z=2)
    ds = xr.open_dataset(path, engine="vintar", chunks=chunks).isel(z=slice(2, 12))
    data = pickle.dumps(ds)
    assert len(data) < field.nbytes // 2
    back = pickle.loads(data)
    np.testing.assert_array_equal(back.field.values, field[:, :, 2:12])


# ---------------------------------------------------------------- phase space


@pytest.mark.parametrize("n, counts, extra", [
    (3, [3, 0, 2], b""),
    (0, [1, 2], b""),
    (1, [0, 0, 4, -5, 1], b"\1\2\3"),
    (2, [0], b""),
])
@pytest.mark.parametrize("name", ["ps.bin", "ps.dat"])
def test_phase_dataset_matches_loader(tmp_path, reads, n, counts, extra, name):
    particles = sum(c for c in counts if c > 0)
    values = phase_values(particles, n)
    write_phase_dump(tmp_path / "ps.bin", values, n, counts, extra=extra)
    os.replace(tmp_path / "ps.bin", tmp_path / name)
    ds = xr.open_dataset(tmp_path / name, engine="vintar", n_dimensions=n)
    assert dict(ds.attrs) == {"name": "ps" if name == "ps.bin" else name, "n_dimensions": n, "blocks": len(counts)}
    got = ds.phase_space.values
    assert ds.phase_space.dims == ("component", "particle") and got.dtype == np.float32
    np.testing.assert_array_equal(got, values.T)
    assert reads == []  # the whole array through the native loader, whatever the name


def test_phase_fixture_and_sample_match_loader():
    for path in (DATA_DIR / "phase_n3.bin", SAMPLES / "phase_space.bin"):
        want = beamdump.total_phase_space_read(str(path)[:-4], {"n_dimensions": 3})
        np.testing.assert_array_equal(xr.open_dataset(path, engine="vintar", n_dimensions=3).phase_space, want)


@pytest.mark.parametrize("sel", [
    P((ALL, slice(4, 6)), id="inside-block"),
    P((ALL, slice(2, 12)), id="across-blocks"),
    P((slice(1, 4), slice(13, 20)), id="last-block"),
    P((ALL, slice(1, 19, 4)), id="strided"),
    P((2, 7), id="point"),
    P((ALL, slice(None, None, -3)), id="reversed"),
])
def test_particle_range_reads_only_its_blocks(tmp_path, reads, sel):
    n, counts = 2, [5, 0, 6, -1, 1, 8]
    values = phase_values(20, n)
    write_phase_dump(tmp_path / "ps.bin", values, n, counts)
    ds = xr.open_dataset(tmp_path / "ps.bin", engine="vintar", n_dimensions=n)
    got = ds.phase_space[sel].values
    np.testing.assert_array_equal(got, values.T[sel])

    h = read_phase_space_header(tmp_path / "ps.bin", n)
    held = h.blocks.count > 0
    starts = np.cumsum(h.blocks.count[held]) - h.blocks.count[held]
    ps = np.arange(20)[sel[1]]
    first, last = (np.searchsorted(starts, p, side="right") - 1 for p in (ps.min(), ps.max()))
    lo = h.blocks.offset[held][first] + 4
    hi = h.blocks.offset[held][last] + 4 + h.blocks.count[held][last] * h.entry_bytes
    # Reads stay inside the stretch of the blocks that hold the selection,
    assert reads and all(lo <= offset and offset + size <= hi for offset, size in reads)


def test_phase_cut_short_refused(tmp_path):
    write_phase_dump(tmp_path / "ps.bin", phase_values(3, 1), 1, [3], extra=b"")
    with open(tmp_path / "ps.bin", "r+b") as f:
        f.truncate(40)
    with pytest.raises(ValueError, match="not a whole phase-space dump when read with n_dimensions=1: block at offset 0 announces 3 particles"):
        xr.open_dataset(tmp_path / "ps.bin", engine="vintar", n_dimensions=1)


def test_phase_space_chunks_are_groups_of_blocks(tmp_path, reads, monkeypatch):
    from dorvo.quickio._dump import planner as _planner

    monkeypatch.setattr(_planner, "CHUNK_BYTES", 4 * 5 * 6)  # about 6 particles of n = 2 a chunk
    counts = [5, 0, 2, 2, 9, -1, 3, 20]
    values = phase_values(41, 2)
    write_phase_dump(tmp_path / "ps.bin", values, 2, counts)
    ds = xr.open_dataset(tmp_path / "ps.bin", engine="vintar", n_dimensions=2, chunks={})
    # Cuts at the starts of blocks 3 and 6 (particles 7 and 18); the last
    # block, over twice a chunk, is cut into pieces of about one chunk.
    assert ds.phase_space.chunks == ((5,), (7, 11, 6, 6, 11))
    hist, edges = da.histogram(ds.phase_space.data[3], bins=7, range=(0, 420))
    np.testing.assert_array_equal(hist.compute(), np.histogram(values[:, 3], bins=7, range=(0, 420))[0])
    np.testing.assert_allclose(ds.phase_space.mean("particle").values, values.mean(axis=0), rtol=1e-6)
    # Each computation read each of the 5 chunks in one read of its own
    assert len(reads) == 2 * 5 and len(set(reads)) == 5


@pytest.mark.parametrize("n, labels", [(1, None), (3, None), (4, None), (1, ["u", "pu", "weight"]),
                                       (1, ("u", "pu", "weight"))])
@pytest.mark.parametrize("series", [False, True])
def test_components_are_named(tmp_path, n, labels, series):
    # The default labels, or the given ones, in one dump and in a series,
    # with and without dask: sel() by name picks what isel() by position does.
    write_phase_dump(tmp_path / "p0.bin", phase_values(4, n), n, [1, 3])
    names = list(labels) if labels else default_labels(n)
    if series:
        ds = qx.open_series(str(tmp_path / "p*.bin"), n_dimensions=n, labels=labels).isel(dump=0)
    else:
        ds = xr.open_dataset(tmp_path / "p0.bin", engine="vintar", n_dimensions=n, labels=labels, chunks={})
    assert list(ds.component.values) == names
    for k, name in enumerate(names):
        np.testing.assert_array_equal(ds.phase_space.sel(component=name).values, phase_values(4, n)[:, k])
        np.testing.assert_array_equal(ds.phase_space.isel(component=k).values, phase_values(4, n)[:, k])


@pytest.mark.parametrize("n, labels, exc, match", [
    (1, ["x", "px"], ValueError, r"^labels= names 2 components; a dump with n = 1 has 3$"),
    (1, ["x", " ", "w"], ValueError, r"^labels=: a component name is empty$"),
    (1, ["x", "x", "w"], ValueError, r"^labels=: a component name is repeated$"),
    (1, "x,px,w", TypeError, r"^labels= takes a list or tuple of str, one name per component, not 'x,px,w'$"),
    (1, ["x", 1, "w"], TypeError, r"^labels= takes a list or tuple of str"),
    (None, ["x"], ValueError, r"^labels= names the components of a phase-space dump; give n_dimensions"),
])
@pytest.mark.parametrize("opener", [
    lambda p, n, labels: xr.open_dataset(p, engine="vintar", n_dimensions=n, labels=labels),
    lambda p, n, labels: qx.open_series([p], n_dimensions=n, labels=labels),
], ids=["open_dataset", "open_series"])
def test_labels_refused(tmp_path, opener, n, labels, exc, match):
    write_phase_dump(tmp_path / "p.bin", phase_values(2, 1), 1)
    with pytest.raises(exc, match=match):
        opener(tmp_path / "p.bin", n, labels)


@pytest.mark.parametrize("chunks", [None, {}])
@pytest.mark.parametrize("name", ["d.bin", "d.dat"])
def test_integer_index_drops_its_axis_on_every_path(tmp_path, name, chunks):
    # An index that selects the whole extent of its axis (the only plane,
    # the only particle) must still drop that axis, also when the whole
    # variable is read by the loader.
    field, x, y, z = grid_values(3, 4, 1)
    write_field_dump(tmp_path / name, field, x, y, z)
    plane = xr.open_dataset(tmp_path / name, engine="vintar", chunks=chunks).field.isel(z=0)
    assert plane.shape == (3, 4) and float(plane.mean()) == pytest.approx(float(field.mean()))
    np.testing.assert_array_equal(plane.values, field[:, :, 0])

    write_phase_dump(tmp_path / name, phase_values(1, 2), 2)
    one = xr.open_dataset(tmp_path / name, engine="vintar", n_dimensions=2, chunks=chunks).phase_space
    assert one.isel(particle=0).shape == (5,) and float(one.isel(component=4, particle=0)) == 4.5
    np.testing.assert_array_equal(one.isel(particle=0).values, phase_values(1, 2)[0])


# ---------------------------------------------------------------- time series


def _series(tmp_path, names, shape=(4, 6, 8), moving=False, **kw):
    fields = {}
    for i, name in enumerate(names):
        field, x, y, z = grid_values(*shape)
        fields[name] = field * (i + 1)
        write_field_dump(tmp_path / name, fields[name], x, y, z + i if moving else z, **kw)
    return fields


@pytest.mark.parametrize("how", ["glob", "list"])
def test_series_ordered_and_labelled_by_step(tmp_path, how):
    names = ["Ex_10.bin", "Ex_2.bin", "Ex_1.bin", "Ex_9.bin"]
    fields = _series(tmp_path, names, nproc_y=2, nz_loc=[3, 3, 2])
    paths = str(tmp_path / "Ex_*.bin") if how == "glob" else [tmp_path / n for n in names]
    s = qx.open_series(paths)
    order = ["Ex_1.bin", "Ex_2.bin", "Ex_9.bin", "Ex_10.bin"]
    assert list(s.dump.values) == [1, 2, 9, 10] and list(s.file.values) == order
    assert s.field.dims == ("dump", "x", "y", "z") and s.field.dtype == np.float32
    assert s.field.chunks == ((1,) * 4, (4,), (6,), (8,))  # its blocks merged: far under 128 MiB
    np.testing.assert_array_equal(s.field.values, np.stack([fields[n] for n in order]))
    np.testing.assert_array_equal(s.field.sel(dump=9).values, fields["Ex_9.bin"])
    np.testing.assert_array_equal(s.z.values, grid_values(4, 6, 8)[3])
    assert "name" not in s.attrs and s.attrs["nproc_y"] == 2


@pytest.mark.parametrize("names, steps, order", [
    # Steps order the dumps, whatever else the names hold.
    P(["b_100.bin", "a_0.bin", "c_50.bin"], [0, 50, 100], ["a_0.bin", "c_50.bin", "b_100.bin"], id="steps"),
    P(["run7/Ex_0020.bin", "run7/Ex_3.bin"], [3, 20], ["run7/Ex_3.bin", "run7/Ex_0020.bin"], id="zeros"),
    # Without a step for every dump, or with one step twice, the dumps are
    # all kept, in the order of their names, and labelled by position.
    P(["Ex_5.bin", "Ey_5.bin", "Ez_7.bin"], None, ["Ex_5.bin", "Ey_5.bin", "Ez_7.bin"], id="same-step"),
    P(["b.bin", "a.bin", "a_1.bin"], None, ["a.bin", "a_1.bin", "b.bin"], id="no-step"),
    P(["a_1.bin", "a_99999999999999999999.bin"], None, ["a_1.bin", "a_99999999999999999999.bin"], id="too-long"),
    P(["run2/Ex.bin", "run1/Ex.bin"], None, ["run1/Ex.bin", "run2/Ex.bin"], id="same-name"),
])
def test_series_labels_fall_back_to_positions(tmp_path, names, steps, order):
    for folder in {os.path.dirname(n) for n in names} - {""}:
        (tmp_path / folder).mkdir()
    fields = _series(tmp_path, names)
    s = qx.open_series([tmp_path / n for n in names])
    assert list(s.dump.values) == (list(range(len(names))) if steps is None else steps)
    assert s.dump.dtype == np.int64 and s.file.dims == ("dump",)
    # The file names tell the dumps apart; whole paths where names repeat.
    whole = len({os.path.basename(n) for n in names}) < len(names)
    assert list(s.file.values) == [str(tmp_path / n) if whole else os.path.basename(n) for n in order]
    np.testing.assert_array_equal(s.field.values, np.stack([fields[n] for n in order]))


def test_series_moving_window_keeps_each_dumps_axis(tmp_path):
    _series(tmp_path, ["a.bin", "b.bin", "c.bin"], moving=True)
    s = qx.open_series(str(tmp_path / "*.bin"))
    assert s.z.dims == ("dump", "z") and "z" not in s.indexes
    np.testing.assert_array_equal(s.z.values, grid_values(4, 6, 8)[3] + np.arange(3)[:, None])
    assert s.x.dims == ("x",) and "x" in s.indexes


@pytest.mark.parametrize("moving", [True, False], ids=["moving", "fixed"])
def test_select_position_against_numpy(tmp_path, moving):
    from dorvo.quickio import write_field

    rng = np.random.default_rng(7)
    y, z = np.arange(3, dtype=np.float32), 0.25 * np.arange(4, dtype=np.float32)
    fields, xs = [], []
    for i, step in enumerate((0, 50, 100, 150)):
        # x moves by 1.25 a dump: 2.5 points of 0.5, so the nearest point
        # moves by two or three points from dump to dump.
        x = (0.5 * np.arange(12) + (1.25 * i if moving else 0)).astype(np.float32)
        fields.append(rng.standard_normal((12, 3, 4)).astype(np.float32))
        xs.append(x)
        write_field(tmp_path / f"Ex_{step}.bin", fields[-1], x, y, z, blocks=(1, 2))
    s = qx.open_series(str(tmp_path / "Ex_*.bin"))
    assert s.x.dims == (("dump", "x") if moving else ("x",))
    # Before, within and past every window, and halfway between two points.
    for where in (-3.0, 0.1, 0.25, 1.5, 2.6, 4.9, 7.3, 100.0):
        picked = qx.select_position(s.field, x=where, z=0.5)
        # Nearest in each dump's own axis; of two as near, the upper one;
        # outside a dump's axis, NaN at the position asked for.
        at = [x.size - 1 - int(np.argmin(np.abs(x[::-1] - np.float64(where)))) for x in xs]
        inside = [x[0] <= where <= x[-1] for x in xs]
        assert picked.dims == ("dump", "y") and list(picked.dump.values) == [0, 50, 100, 150]
        want = np.stack([f[i, :, 2] if h else np.full(3, np.nan, np.float32) for f, i, h in zip(fields, at, inside)])
        assert picked.dtype == np.float32
        np.testing.assert_array_equal(picked.values, want)
        positions = [x[i] if h else where for x, i, h in zip(xs, at, inside)]
        np.testing.assert_array_equal(picked.x.values, positions if moving else positions[0])
        assert float(picked.z) == 0.5
        if not moving and inside[0]:  # a fixed axis selects as xarray does
            xr.testing.assert_identical(picked, s.field.sel(x=where, z=0.5, method="nearest"))
    with pytest.raises(KeyError, match="'t' is not an axis of the series"):
        qx.select_position(s, t=1.0)


def test_series_of_phase_space(tmp_path):
    for i in range(3):
        write_phase_dump(tmp_path / f"ps{i}.bin", phase_values(5, 1) + i, 1, [2, 3])
    s = qx.open_series(str(tmp_path / "ps*.bin"), n_dimensions=1)
    assert s.phase_space.dims == ("dump", "component", "particle")
    np.testing.assert_array_equal(s.phase_space.values, np.stack([phase_values(5, 1).T + i for i in range(3)]))
    assert list(s.dump.values) == [0, 1, 2] and list(s.file.values) == ["ps0.bin", "ps1.bin", "ps2.bin"]


def test_series_time_from_a_real_parameter(tmp_path):
    for step in (20, 3, 100):
        write_field_dump(tmp_path / f"Ex_{step}.bin", grid_values(4, 6, 8)[0], real_params=[7, step / 8] + [0] * 18)
    s = qx.open_series(str(tmp_path / "Ex_*.bin"), time=1)
    assert s.time.dims == ("dump",) and s.time.dtype == np.float64
    assert list(s.dump.values) == [3, 20, 100] and list(s.time.values) == [3 / 8, 20 / 8, 100 / 8]
    assert "time" not in qx.open_series(str(tmp_path / "Ex_*.bin")).coords
    with pytest.raises(ValueError, match="Ex_3.bin: has 20 real parameters, no parameter 20$"):
        qx.open_series(str(tmp_path / "Ex_*.bin"), time=20)
    write_phase_dump(tmp_path / "ps_1.bin", phase_values(3, 1), 1, [3])
    with pytest.raises(ValueError, match="ps_1.bin: a phase-space dump has no real parameters to take times from"):
        qx.open_series(str(tmp_path / "ps_*.bin"), n_dimensions=1, time=0)


def test_ragged_phase_series_against_per_dump_loads(tmp_path, monkeypatch):
    """Dumps of 0, 11, 4 and 7 particles in blocks of every kind: one lazy
    array chunked by the largest dump's blocks, across the others' ends;
    each dump as loaded followed by NaN, and NaN-skipping reductions per
    dump as NumPy's of its load."""
    from dorvo.quickio import load
    from dorvo.quickio._dump import planner as _planner

    monkeypatch.setattr(_planner, "CHUNK_BYTES", 4 * 3 * 4)  # about 4 particles of n = 1 a chunk
    layouts = {"ps_0.bin": [0], "ps_10.bin": [5, 0, 6], "ps_20.bin": [1, 3], "ps_30.bin": [2, -1, 5]}
    for i, (name, counts) in enumerate(layouts.items()):
        write_phase_dump(tmp_path / name, phase_values(sum(max(c, 0) for c in counts), 1) * (i + 1), 1, counts)
    loads = [load(tmp_path / name, n_dimensions=1) for name in layouts]
    s = qx.open_series(str(tmp_path / "ps_*.bin"), n_dimensions=1)
    assert list(s.dump.values) == [0, 10, 20, 30] and list(s.particles.values) == [0, 11, 4, 7]
    data = s.phase_space
    assert data.shape == (4, 3, 11) and data.chunks[2] == (5, 6) and data.dtype == np.float32
    values = data.values
    for i, ps in enumerate(loads):
        np.testing.assert_array_equal(values[i, :, :ps.shape[1]], ps)
        assert np.isnan(values[i, :, ps.shape[1]:]).all()
        np.testing.assert_array_equal(data.isel(dump=i, particle=slice(0, int(s.particles[i]))).values, ps)
    means = data.sel(component="px").mean("particle").values
    np.testing.assert_array_equal(means[1:], [np.float32(ps[1].mean()) for ps in loads[1:]])
    assert np.isnan(means[0])


@pytest.mark.parametrize("setup, paths, exc, match", [
    P(lambda p: None, "*.bin", FileNotFoundError, "no files match", id="no-match"),
    P(lambda p: None, [], ValueError, "needs at least one dump", id="empty-list"),
    P(lambda p: (_series(p, ["a.bin"]), _series(p, ["b.bin"], shape=(4, 6, 9))), "*.bin", ValueError,
      r"b.bin: its grid has 9 points along z where .*a.bin has 8; the dumps of a run share their grid sizes$",
      id="shapes-differ"),
])
def test_series_errors(tmp_path, setup, paths, exc, match):
    setup(tmp_path)
    with pytest.raises(exc, match=match):
        qx.open_series(str(tmp_path / paths) if isinstance(paths, str) else paths)


def test_series_on_two_worker_processes(tmp_path):
    distributed = pytest.importorskip("distributed")
    fields = _series(tmp_path, [f"Bz_{i}.bin" for i in range(4)], shape=(8, 6, 12), nproc_y=2, nz_loc=[4, 4, 4])
    s = qx.open_series(str(tmp_path / "Bz_*.bin"))
    stacked = np.stack([fields[f"Bz_{i}.bin"] for i in range(4)])
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        pids = set(client.run(os.getpid).values())
        means = s.field.mean(("x", "y", "z")).compute()
        peak = s.field.isel(z=slice(3, 9)).max(("y", "z")).compute()
    assert len(pids) == 2 and os.getpid() not in pids
    np.testing.assert_allclose(means.values, stacked.mean(axis=(1, 2, 3), dtype=np.float64), rtol=1e-6)
    np.testing.assert_array_equal(peak.values, stacked[:, :, :, 3:9].max(axis=(2, 3)))
    assert list(means.dump.values) == [0, 1, 2, 3] and list(means.file.values) == [f"Bz_{i}.bin" for i in range(4)]


def test_series_opens_from_the_scans_alone(tmp_path, reads):
    fields = _series(tmp_path, [f"d{i}.bin" for i in range(5)], nproc_y=2, nz_loc=[3, 5])
    s = qx.open_series(str(tmp_path / "d*.bin"), chunks={"z": 2})
    assert reads == [] and s.field.chunks == ((1,) * 5, (4,), (6,), (2, 2, 2, 2))
    assert all(name in s.indexes for name in "xyz")
    np.testing.assert_array_equal(s.field.isel(dump=3).values, fields["d3.bin"])


def test_phase_series_of_dumps_with_other_blocks(tmp_path, monkeypatch):
    from dorvo.quickio._dump import planner as _planner

    monkeypatch.setattr(_planner, "CHUNK_BYTES", 4 * 3 * 4)  # about 4 particles of n = 1 a chunk
    layouts = [[5, 0, 6], [11], [1] * 11, [2, -1, 9]]
    for i, counts in enumerate(layouts):
        write_phase_dump(tmp_path / f"ps{i}.bin", phase_values(11, 1) * (i + 1), 1, counts)
    s = qx.open_series(str(tmp_path / "ps*.bin"), n_dimensions=1)
    # The first dump's blocks set the chunks; the others are read by range.
    assert s.phase_space.chunks == ((1,) * 4, (3,), (5, 6))
    want = np.stack([phase_values(11, 1).T * (i + 1) for i in range(4)])
    np.testing.assert_array_equal(s.phase_space.values, want)
    np.testing.assert_array_equal(s.phase_space[:, 2, 3:9].values, want[:, 2, 3:9])
