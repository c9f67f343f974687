"""Benchmark of the HDF5 views of `quickio virtualize` against loads of the
same dumps, measured in the same run.

    python bench/views.py [--size-gib 1] [--repeat 3] [--particles 4000000] [--out bench/views.json] [--tmp DIR]

Writes into a temporary folder (removed at the end, also on failure):
- a field dump of about --size-gib (512 x 512 x nz in 4 x 8 blocks): the
  view's size against its target (64 KiB + 2 KiB per block), and a whole
  read of the view's "field" through h5py against `load()`, both with the
  page cache warm (median of --repeat runs; target at most 2 loads);
- a field dump of 4,096 small blocks (64 x 64): the time to write its view
  (target at most 1 s) and a whole read through it against a load;
- a phase-space dump of --particles particles (n = 3, in 64 blocks): a
  whole read of "phase_space" through h5py, VTK's XDMF reader over the
  view's point cloud, VTK's reader over the per-block XDMF written without
  h5py, `virtualize --copy` and VTK's reader over its point cloud, and
  `quickio convert` to NetCDF-4, each against a load.
- openPMD series (`virtualize --openpmd`): a field of --openpmd-mib
  (256 MiB) read whole through openpmd-api and through openPMD-viewer's two
  backends (target: openpmd-api at most 1.5 loads), and --openpmd-particles
  (1 M, n = 3, 64 blocks) read whole, every component, through openpmd-api
  and the viewer, in each particle layout (in place, copied), each against
  a load.
Prints one line per measure with its ratio to its baseline, and writes them
as JSON. Needs h5py and, for the point clouds, vtk; openpmd-api and
openPMD-viewer for the series (all in the 'test' extra). --only openpmd runs
the series alone.
"""
import argparse
import json
import os
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

import dumps  # noqa: E402


def median_time(call, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        call()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def read_view(view, name):
    import h5py

    with h5py.File(view, "r") as f:
        return f[name][...]


def vtk_points(xmf):
    from vtkmodules.vtkIOXdmf2 import vtkXdmfReader

    reader = vtkXdmfReader()
    reader.SetFileName(str(xmf))
    reader.Update()
    return reader.GetOutputDataObject(0)


def field_case(folder, size_gib, repeat, results):
    from dorvo.quickio import load, virtualize

    nz = max(8, int(size_gib * (1 << 30)) // (4 * 512 * 512))
    path = folder / "big.bin"
    dumps.write_field(path, 512, 512, nz, 4, 8)
    view = folder / "big.h5"
    virtualize(path, view)
    blocks = 32
    size, target = view.stat().st_size, 64 * 1024 + 2048 * blocks
    results["field_view_bytes"] = size
    print(f"view of a {512 * 512 * nz * 4 / 2**30:.2f} GiB field in 4 x 8 blocks: {size:,} bytes, "
          f"{size / target:.2f} of the target {target:,}")
    expected = dumps.expected_field(512, 512, nz)
    assert np.array_equal(read_view(view, "field"), expected.T)
    load_s = median_time(lambda: load(path), repeat)
    view_s = median_time(lambda: read_view(view, "field"), repeat)
    results.update(field_load_s=load_s, field_view_read_s=view_s)
    print(f"whole field read through the view (h5py, warm): {view_s:.3f} s = {view_s / load_s:.2f} x load() "
          f"({load_s:.3f} s); target at most 2")
    path.unlink()


def many_blocks_case(folder, repeat, results):
    from dorvo.quickio import load, virtualize

    path = folder / "many.bin"
    dumps.write_field(path, 16, 128, 128, 64, 64)
    view = folder / "many.h5"
    write_s = median_time(lambda: virtualize(path, view), repeat)
    size, target = view.stat().st_size, 64 * 1024 + 2048 * 4096
    load_s = median_time(lambda: load(path), repeat)
    read_s = median_time(lambda: read_view(view, "field"), repeat)
    results.update(blocks4096_write_s=write_s, blocks4096_view_bytes=size, blocks4096_load_s=load_s,
                   blocks4096_view_read_s=read_s)
    print(f"view of 4,096 blocks: written in {write_s:.3f} s = {write_s:.2f} of the target 1 s; "
          f"{size:,} bytes = {size / target:.2f} of the target {target:,}")
    print(f"  whole read through it: {read_s:.3f} s = {read_s / load_s:.1f} x load() ({load_s:.4f} s)")


def particles_case(folder, particles, repeat, results):
    from dorvo.quickio import load, virtualize
    from dorvo.quickio.convert import convert
    from dorvo.quickio.header import read_phase_space_header
    from dorvo.quickio._views.xdmf import write_phase_space_xdmf

    path = folder / "beam.bin"
    counts = [particles // 64] * 63 + [particles - 63 * (particles // 64)]
    dumps.write_phase(path, 3, counts)
    load_s = median_time(lambda: load(path, n_dimensions=3), repeat)
    results["particles_load_s"] = load_s
    print(f"{particles:,} particles (n = 3, 64 blocks): load() {load_s:.3f} s")

    xmf = folder / "beam.xmf"
    virtualize(path, xmf, n_dimensions=3)
    t = time.perf_counter()
    read_view(folder / "beam.h5", "phase_space")
    s = results["particles_view_read_s"] = time.perf_counter() - t
    print(f"  h5py, whole phase_space through the view: {s:.2f} s = {s / load_s:.0f} x load()")
    t = time.perf_counter()
    read_view(folder / "beam.h5", "entries")
    s = results["particles_view_entries_s"] = time.perf_counter() - t
    print(f"  h5py, whole entries through the view: {s:.3f} s = {s / load_s:.1f} x load()")
    try:
        import vtkmodules.vtkIOXdmf2  # noqa: F401
    except ImportError:
        print("  (vtk not installed: the point clouds are not timed)")
    else:
        t = time.perf_counter()
        assert vtk_points(xmf).GetNumberOfPoints() == particles
        s = results["particles_vtk_view_s"] = time.perf_counter() - t
        print(f"  VTK, the view's point cloud: {s:.2f} s = {s / load_s:.0f} x load()")
        per_block = folder / "per_block.xmf"
        write_phase_space_xdmf(read_phase_space_header(str(path), 3), per_block)
        t = time.perf_counter()
        vtk_points(per_block)
        s = results["particles_vtk_per_block_s"] = time.perf_counter() - t
        print(f"  VTK, per-block XDMF over the dump: {s:.2f} s = {s / load_s:.0f} x load()")
        copied = folder / "copied.xmf"
        t = time.perf_counter()
        virtualize(path, copied, n_dimensions=3, copy=True)
        w = results["particles_copy_write_s"] = time.perf_counter() - t
        t = time.perf_counter()
        assert vtk_points(copied).GetNumberOfPoints() == particles
        s = results["particles_vtk_copy_s"] = time.perf_counter() - t
        print(f"  virtualize --copy: written in {w:.2f} s = {w / load_s:.0f} x load(); VTK reads its point "
              f"cloud in {s:.2f} s = {s / load_s:.0f} x load()")
    try:
        t = time.perf_counter()
        convert(path, folder / "beam.nc", n_dimensions=3)
        s = results["particles_convert_s"] = time.perf_counter() - t
        print(f"  quickio convert to NetCDF-4 (a copy): {s:.2f} s = {s / load_s:.0f} x load()")
    except ImportError as e:
        print(f"  (convert not timed: {e})")


def _series_field(path):
    import openpmd_api as io

    series = io.Series(str(path), io.Access.read_only)
    it = series.iterations[0]
    rc = it.meshes["Ex"][io.Mesh_Record_Component.SCALAR]
    values = rc.load_chunk()
    series.flush()
    series.close()
    return values


def _series_particles(path):
    import openpmd_api as io

    series = io.Series(str(path), io.Access.read_only)
    species = series.iterations[0].particles["beam"]
    out = [species[r][c].load_chunk() for r in ("position", "momentum") for c in "xyz"]
    out.append(species["weighting"][io.Record_Component.SCALAR].load_chunk())
    series.flush()
    series.close()
    return out


def _viewer(path, backend):
    from openpmd_viewer import OpenPMDTimeSeries

    return OpenPMDTimeSeries(str(path), check_all_files=False, backend=backend)


def openpmd_case(folder, mib, particles, repeat, results):
    from dorvo.quickio import load, virtualize

    try:
        import openpmd_api  # noqa: F401
        import openpmd_viewer  # noqa: F401
    except ImportError as e:
        print(f"(openPMD series not timed: {e})")
        return
    nz = max(8, (mib << 20) // (4 * 512 * 512))
    field = folder / "Ex_0.bin"
    dumps.write_field(field, 512, 512, nz, 4, 8)
    series = folder / "field.h5"
    virtualize([field], series, openpmd=True, unitless=True)
    expected = dumps.expected_field(512, 512, nz)
    assert np.array_equal(_series_field(series), expected.T)
    load_s = median_time(lambda: load(field), repeat)
    api_s = median_time(lambda: _series_field(series), repeat)
    results.update(openpmd_field_load_s=load_s, openpmd_field_api_s=api_s)
    print(f"openPMD mesh of {512 * 512 * nz * 4 / 2**20:.0f} MiB in 4 x 8 blocks, load() {load_s:.3f} s:")
    print(f"  openpmd-api, whole: {api_s:.3f} s = {api_s / load_s:.2f} x load(); target at most 1.5")
    for backend in ("h5py", "openpmd-api"):
        ts = _viewer(series, backend)
        s = median_time(lambda: ts.get_field("Ex", iteration=0), repeat)
        results[f"openpmd_field_viewer_{backend}_s"] = s
        print(f"  openPMD-viewer ({backend} backend), get_field: {s:.3f} s = {s / load_s:.2f} x load()")
    field.unlink()

    beam = folder / "beam_0.bin"
    counts = [particles // 64] * 63 + [particles - 63 * (particles // 64)]
    dumps.write_phase(beam, 3, counts)
    load_s = median_time(lambda: load(beam, n_dimensions=3), repeat)
    results["openpmd_particles_load_s"] = load_s
    print(f"openPMD species of {particles:,} particles (n = 3, 64 blocks), load() {load_s:.4f} s:")
    for layout, copy in (("in_place", False), ("copy", True)):
        path = folder / f"beam_{layout}.h5"
        t = time.perf_counter()
        virtualize([beam], path, openpmd=True, unitless=True, n_dimensions=3, copy=copy)
        write_s = time.perf_counter() - t
        got = _series_particles(path)
        assert all(np.array_equal(a, b) for a, b in zip(got, load(beam, n_dimensions=3)))
        api_s = median_time(lambda: _series_particles(path), repeat)
        ts = _viewer(path, "h5py")
        names = ["x", "y", "z", "ux", "uy", "uz", "w"]
        viewer_s = median_time(lambda: ts.get_particle(names, species="beam", iteration=0), repeat)
        results.update({f"openpmd_particles_{layout}_write_s": write_s, f"openpmd_particles_{layout}_api_s": api_s,
                        f"openpmd_particles_{layout}_viewer_s": viewer_s})
        print(f"  {layout.replace('_', ' ')}: written in {write_s:.3f} s; openpmd-api, every component: "
              f"{api_s:.3f} s = {api_s / load_s:.0f} x load(); openPMD-viewer (h5py), every component: "
              f"{viewer_s:.3f} s = {viewer_s / load_s:.0f} x load()")


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--size-gib", type=float, default=1.0)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--particles", type=int, default=4_000_000)
    p.add_argument("--out", default=str(BENCH_DIR / "views.json"))
    p.add_argument("--tmp", default=None, help="folder for the temporary dumps (default: the system's)")
    p.add_argument("--openpmd-mib", type=int, default=256)
    p.add_argument("--openpmd-particles", type=int, default=1_000_000)
    p.add_argument("--only", choices=("openpmd",), help="run only the openPMD series")
    args = p.parse_args(argv)
    folder = Path(tempfile.mkdtemp(prefix="quickio-views-", dir=args.tmp))
    results = {}
    try:
        if args.only is None:
            field_case(folder, args.size_gib, args.repeat, results)
            many_blocks_case(folder, args.repeat, results)
            particles_case(folder, args.particles, args.repeat, results)
        openpmd_case(folder, args.openpmd_mib, args.openpmd_particles, args.repeat, results)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    with open(args.out, "w") as fh:
        json.dump(results, fh, indent=1)
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
