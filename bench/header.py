"""Bench of the scan behind dorvo.quickio.header, `quickio info` and open_series.

    python bench/header.py            # --repeat 5 --tmp DIR --json OUT

Writes its dumps into a temporary folder (about 220 MiB and 1000 small
files), measures, prints one table of times, ratios and peak memory taken
in this one run, and removes the dumps. Peak memory is the peak resident
set of a fresh interpreter that imports the package and makes the one call
(the interpreter and NumPy alone take about 30 MiB of it).

What is measured, and the target of each:
- the header of a phase-space dump of 4 Mi one-particle blocks (n = 3),
  against the loader (total_phase_space_read) of the same dump: at most
  1.5 times its time, peak memory at most 200 MiB;
- `quickio info --json` of that dump: under 3 s and under 1 MB of output;
- 64 MiB of zeros read as a phase-space dump (16 Mi empty blocks): under
  2 s and 300 MiB;
- open_series of 1000 field dumps of 6 blocks: at most 1 s.
"""
import argparse
import gc
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import dumps  # noqa: E402

MIB = 1 << 20
ONE_PARTICLE_BLOCKS = 4 << 20
ZEROS_BYTES = 64 << 20
SERIES_DUMPS = 1000
SERIES_SHAPE, SERIES_TILING = (16, 12, 9), (2, 3)  # 6 blocks a dump

PEAK_SCRIPT = r"""
import sys
from dorvo.quickio.header import read_phase_space_header
h = read_phase_space_header(sys.argv[1], int(sys.argv[2]))
assert h.well_formed
with open("/proc/self/status") as fh:
    peak = next(int(line.split()[1]) * 1024 for line in fh if line.startswith("VmHWM:"))
print(peak)
"""


def median_seconds(call, repeat):
    times = []
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        call()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def alternate(calls, repeat):
    """Median seconds of each call, the calls run in turns so that drift
    of a shared machine hits all of them alike."""
    times = {name: [] for name in calls}
    for r in range(repeat):
        names = list(calls)
        names = names[r % len(names):] + names[:r % len(names)]
        for name in names:
            gc.collect()
            t0 = time.perf_counter()
            calls[name]()
            times[name].append(time.perf_counter() - t0)
    return {name: statistics.median(t) for name, t in times.items()}


def peak_memory(path, n):
    proc = subprocess.run([sys.executable, "-c", PEAK_SCRIPT, str(path), str(n)],
                          capture_output=True, text=True, check=True)
    return int(proc.stdout.strip())


def info_json(path, n, timeout=120):
    """Seconds and bytes of output of `quickio info --json`, or the reason
    it did not finish."""
    cmd = [sys.executable, "-m", "dorvo.quickio", "info", str(path), "--n-dimensions", str(n), "--json"]
    t0 = time.perf_counter()
    try:
        proc = subprocess.run(cmd, capture_output=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"seconds": None, "bytes": None, "note": f"did not finish in {timeout} s"}
    seconds = time.perf_counter() - t0
    note = "" if proc.returncode in (0, 1) else proc.stderr.decode(errors="replace").strip()[-200:]
    return {"seconds": seconds, "bytes": len(proc.stdout), "note": note}


def bench_phase(folder, repeat):
    from dorvo.quickio import beamdump
    from dorvo.quickio.header import read_phase_space_header

    path = os.path.join(folder, "one_particle_blocks.bin")
    print(f"writing {ONE_PARTICLE_BLOCKS} one-particle blocks (n = 3) ...", flush=True)
    dumps.write_phase(path, 3, [1] * ONE_PARTICLE_BLOCKS)
    h = read_phase_space_header(path, 3)
    assert h.well_formed and h.particles == len(h.blocks) == ONE_PARTICLE_BLOCKS
    t = alternate({"header": lambda: read_phase_space_header(path, 3),
                   "loader": lambda: beamdump.total_phase_space_read(path[:-4], {"n_dimensions": 3})}, repeat)
    out = {"file_bytes": os.path.getsize(path), "header_s": t["header"], "loader_s": t["loader"],
           "ratio": t["header"] / t["loader"], "peak_bytes": peak_memory(path, 3)}
    print("quickio info --json of it ...", flush=True)
    out["info"] = info_json(path, 3)
    os.unlink(path)
    return out


def bench_zeros(folder, repeat):
    from dorvo.quickio.header import read_phase_space_header

    path = os.path.join(folder, "zeros.bin")
    with open(path, "wb") as fh:
        fh.write(bytes(ZEROS_BYTES))
    h = read_phase_space_header(path, 3)
    assert h.well_formed and h.particles == 0 and len(h.blocks) == ZEROS_BYTES // 4
    out = {"file_bytes": ZEROS_BYTES, "header_s": median_seconds(lambda: read_phase_space_header(path, 3), repeat),
           "peak_bytes": peak_memory(path, 3)}
    os.unlink(path)
    return out


def bench_series(folder, repeat):
    from dorvo.quickio.xarray import open_series

    run = os.path.join(folder, "series")
    os.mkdir(run)
    print(f"writing {SERIES_DUMPS} field dumps of {SERIES_TILING[0] * SERIES_TILING[1]} blocks ...", flush=True)
    first = os.path.join(run, "Ex_0.bin")
    dumps.write_field(first, *SERIES_SHAPE, *SERIES_TILING)
    for i in range(1, SERIES_DUMPS):
        shutil.copyfile(first, os.path.join(run, f"Ex_{i}.bin"))
    pattern = os.path.join(run, "Ex_*.bin")
    s = open_series(pattern)
    assert s.field.shape == (SERIES_DUMPS,) + SERIES_SHAPE
    assert np.array_equal(s.field.isel(dump=-1).values, dumps.expected_field(*SERIES_SHAPE))
    out = {"dumps": SERIES_DUMPS, "open_s": median_seconds(lambda: open_series(pattern), repeat)}
    shutil.rmtree(run)
    return out


def verdict(ok):
    return "yes" if ok else "NO"


def print_table(r):
    p, z, s = r["phase"], r["zeros"], r["series"]
    info = p["info"]
    rows = [
        ("header, 4 Mi one-particle blocks: time / loader's", f"{p['ratio']:.2f}x "
         f"({p['header_s'] * 1e3:.0f} ms / {p['loader_s'] * 1e3:.0f} ms)", "<= 1.5x", p["ratio"] <= 1.5),
        ("header, 4 Mi one-particle blocks: peak memory", f"{p['peak_bytes'] / MIB:.0f} MiB", "<= 200 MiB",
         p["peak_bytes"] <= 200 * MIB),
        ("quickio info --json of it: time",
         "-" if info["seconds"] is None else f"{info['seconds']:.2f} s", "< 3 s",
         info["seconds"] is not None and info["seconds"] < 3),
        ("quickio info --json of it: output",
         "-" if info["bytes"] is None else f"{info['bytes'] / 1e6:.2f} MB", "< 1 MB",
         info["bytes"] is not None and info["bytes"] < 1e6),
        ("64 MiB of zeros as phase space: time", f"{z['header_s']:.2f} s", "< 2 s", z["header_s"] < 2),
        ("64 MiB of zeros as phase space: peak memory", f"{z['peak_bytes'] / MIB:.0f} MiB", "< 300 MiB",
         z["peak_bytes"] < 300 * MIB),
        (f"open_series of {s['dumps']} dumps of 6 blocks", f"{s['open_s']:.2f} s", "<= 1 s", s["open_s"] <= 1),
    ]
    width = max(len(r[0]) for r in rows)
    print(f"\n{'what':<{width}}  {'measured':>28}  {'target':>10}  met")
    for what, measured, target, ok in rows:
        print(f"{what:<{width}}  {measured:>28}  {target:>10}  {verdict(ok)}")
    if info["note"]:
        print(f"\nquickio info: {info['note']}")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--repeat", type=int, default=5, help="timed runs of each call (default 5)")
    ap.add_argument("--tmp", default=None, help="folder for the temporary dumps (default: system temp)")
    ap.add_argument("--json", default=None, help="also write the results to this JSON file")
    args = ap.parse_args(argv)
    folder = tempfile.mkdtemp(prefix="quickio-header-bench-", dir=args.tmp)
    try:
        results = {"phase": bench_phase(folder, args.repeat), "zeros": bench_zeros(folder, args.repeat),
                   "series": bench_series(folder, max(1, args.repeat // 2))}
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print_table(results)
    if args.json:
        Path(args.json).write_text(json.dumps(results, indent=1))
    return results


if __name__ == "__main__":
    main()
