"""Benchmark of `quickio convert`: time and peak memory of converting a field
dump to Zarr and to NetCDF-4, against a load of the same dump.

    python bench/convert.py [--size-gib 1] [--repeat 3] [--out bench/convert.json] [--tmp DIR]

Writes a field dump of about --size-gib (512 x 512 x nz in 4 x 8 blocks)
into a temporary folder, times `meshdump.read_Vintar_bin` on it (warm page
cache, median of --repeat runs) and a plain copy of its bytes to a new file
(the floor of any conversion), then runs each conversion --repeat times,
each in a fresh interpreter that first imports everything the conversion
needs, so that its peak resident set is measured from the interpreter's
own; the start-up (imports, xarray's look-up of its backends) is timed
apart from the conversion. Prints the ratios to the targets (time at most 3
loads, peak memory at most 256 MiB above the interpreter's) and writes them
as JSON. Needs the
'convert' extra. The temporary folder is removed at the end, also on
failure.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

import dumps  # noqa: E402

GIB = 1 << 30
MIB = 1 << 20
TIME_TARGET = 3.0  # conversion time over load time
MEMORY_TARGET = 256 * MIB  # peak resident set above the interpreter's

CONVERT_SCRIPT = r"""
import json, sys, time
start = time.perf_counter()
# Start-up: the imports and xarray's look-up of its backends, which the
# first conversion in an interpreter pays once, whatever the dump's size.
import contextlib, importlib
import dask.array, h5netcdf, numpy, xarray, zarr
import xarray.backends.h5netcdf_, xarray.backends.zarr
with contextlib.suppress(ImportError):
    importlib.import_module("distributed")  # dask imports it on its first graph when installed
from zarr.codecs import TransposeCodec
from dorvo.quickio import convert
xarray.backends.list_engines()
startup = time.perf_counter() - start

sys.path.insert(0, sys.argv[3])
import peak
reset = peak.reset_peak()
before = peak.status()
start = time.perf_counter()
convert.convert(sys.argv[1], sys.argv[2])
seconds = time.perf_counter() - start
after = peak.status()
print(json.dumps({"seconds": seconds, "startup_s": startup, "rss_before": before["VmRSS"], "hwm_after": after["VmHWM"],
                  "reset": reset}))
"""


def grid(size_gib):
    nz = max(8, int(round(1024 * size_gib / 8)) * 8)
    return 512, 512, nz


def time_load(path, repeat):
    from dorvo.quickio import meshdump

    nx, ny, nz = grid_of(path)
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        f = meshdump.read_Vintar_bin(str(path)[:-4], {"nx": nx, "ny": ny, "nz": nz})
        times.append(time.perf_counter() - start)
        del f
    return statistics.median(times)


def time_copy(path, folder, repeat):
    """The floor of any conversion: the dump's bytes read into one reused
    16 MiB buffer and written to a new file in the same folder, as a
    conversion that copied nothing else would."""
    import numpy as np

    buffer = memoryview(np.empty(16 * MIB, np.uint8))
    target = Path(folder) / "copy.bin"
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        with open(path, "rb", buffering=0) as src, open(target, "wb", buffering=0) as dst:
            while n := src.readinto(buffer):
                dst.write(buffer[:n])
        times.append(time.perf_counter() - start)
        os.unlink(target)
    return statistics.median(times)


def grid_of(path):
    from dorvo.quickio.header import read_field_header

    return read_field_header(str(path)).shape


def run_convert(path, out):
    proc = subprocess.run([sys.executable, "-c", CONVERT_SCRIPT, str(path), str(out), str(BENCH_DIR)],
                          capture_output=True, text=True)
    if proc.returncode:
        sys.exit(f"bench: converting to {out} failed:\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def remove(path):
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.exists(path):
        os.unlink(path)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size-gib", type=float, default=1.0, help="size of the dump (default 1)")
    ap.add_argument("--repeat", type=int, default=3, help="runs of each conversion and of the load (default 3)")
    ap.add_argument("--out", default=str(BENCH_DIR / "convert.json"), help="JSON output")
    ap.add_argument("--tmp", default=None, help="folder for the dump and the outputs (default: system temp)")
    args = ap.parse_args(argv)
    if args.repeat < 1:
        ap.error("--repeat must be at least 1")

    nx, ny, nz = grid(args.size_gib)
    folder = tempfile.mkdtemp(prefix="quickio-convert-", dir=args.tmp)
    try:
        need = 2 * 4 * nx * ny * nz + GIB // 4
        free = shutil.disk_usage(folder).free
        if free < need:
            sys.exit(f"bench: the dump and its conversion need {need / GIB:.2f} GiB, "
                     f"but {folder} has {free / GIB:.2f} GiB free")
        path = Path(folder) / "field.bin"
        print(f"writing a field dump {nx}x{ny}x{nz} in 4x8 blocks ...", flush=True)
        size = dumps.write_field(path, nx, ny, nz, 4, 8)
        results = {"dump": f"field {nx}x{ny}x{nz}, 4x8 blocks", "file_bytes": size,
                   "load_s": time_load(path, args.repeat), "copy_s": time_copy(path, folder, args.repeat),
                   "formats": {}}
        for suffix in (".zarr", ".nc"):
            runs = []
            for _ in range(args.repeat):
                out = Path(folder) / ("out" + suffix)
                runs.append(run_convert(path, out))
                remove(out)
            seconds = statistics.median(r["seconds"] for r in runs)
            growth = max(r["hwm_after"] - r["rss_before"] for r in runs)
            results["formats"][suffix] = {
                "seconds": seconds, "startup_s": statistics.median(r["startup_s"] for r in runs),
                "time_ratio": seconds / results["load_s"], "copy_ratio": seconds / results["copy_s"],
                "interpreter_bytes": runs[0]["rss_before"], "peak_growth_bytes": growth,
                "peak_reset": all(r["reset"] for r in runs),
                "time_ok": seconds / results["load_s"] <= TIME_TARGET, "memory_ok": growth <= MEMORY_TARGET}
    finally:
        shutil.rmtree(folder, ignore_errors=True)

    print(f"\n{results['dump']}, {results['file_bytes'] / GIB:.2f} GiB; "
          f"load (read_Vintar_bin) {results['load_s']:.3f} s; copy of its bytes to a new file "
          f"{results['copy_s']:.3f} s ({results['copy_s'] / results['load_s']:.2f} x load)")
    print(f"{'format':8} {'start-up s':>10} {'time s':>8} {'x copy':>7} {'x load':>7} {'target':>7}   "
          f"{'peak above':>11} {'target':>8}")
    for suffix, r in results["formats"].items():
        print(f"{suffix:8} {r['startup_s']:10.3f} {r['seconds']:8.3f} {r['copy_ratio']:7.2f} "
              f"{r['time_ratio']:7.2f} {'<= 3':>7}   "
              f"{r['peak_growth_bytes'] / MIB:7.0f} MiB {'<= 256':>8}   "
              f"{'ok' if r['time_ok'] and r['memory_ok'] else 'MISSED'}")
    Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    with open(args.out, "w") as fh:
        json.dump(results, fh, indent=1)
    print(f"\nwrote {args.out}")
    return results


if __name__ == "__main__":
    main()
