"""Benchmark of the streaming reductions of dorvo.quickio.particles on one
phase-space dump, against loading it.

    python bench/particles.py [--size-gib 1] [--repeat 5] [--no-cold] [--out bench/particles.json]

Writes an n = 3 dump of about --size-gib GiB in 64 blocks into a temporary
folder and times, alternately in this process (median of --repeat runs):
the load (`total_phase_space_read`), the load followed by NumPy's
histogram2d (what a user does without particles), the 2-D histogram of x
against px with and without a range, the moments, and two selections (one
that fits the counting pass's staging, one that needs a filling pass).
Warm: the page cache holds the dump. Cold: the dump is dropped from the
cache before each run, and the histogram is compared with a plain
sequential read of the file. Peak memory of the histogram is the growth of
the peak resident set in a fresh interpreter. Prints a table and the
targets, writes the same as JSON; the folder is removed at the end.
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

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

import dumps  # noqa: E402
import run  # noqa: E402

MIB = 1 << 20
BINS = (200, 200)
BLOCKS = 64


def sequential_read(path):
    """Reads the file front to back in 4 MiB pieces into one buffer: what a
    streaming pass cannot beat on a cold cache."""
    buf = bytearray(4 * MIB)
    with open(path, "rb", buffering=0) as f:
        while f.readinto(buf):
            pass


def workloads(path):
    """name: callable, for one dump. Component values are (p mod 2**20) * 16
    + k, so a window of [0, x] on component 0 keeps about x / 2**24."""
    from dorvo.quickio import beamdump, particles

    stem, p = str(path)[:-4], str(path)
    top = float(1 << 24)
    rng = ((0.0, top), (0.0, top))

    def load_numpy():
        ps = beamdump.total_phase_space_read(stem, {"n_dimensions": 3})
        return np.histogram2d(ps[0], ps[3], BINS, rng)

    return {
        "sequential read": lambda: sequential_read(p),
        "load": lambda: beamdump.total_phase_space_read(stem, {"n_dimensions": 3}),
        "load + NumPy histogram2d": load_numpy,
        "histogram 2-D": lambda: particles.histogram(p, 3, (0, 3), BINS, rng),
        "histogram 2-D, no range": lambda: particles.histogram(p, 3, (0, 3), BINS),
        "moments": lambda: particles.moments(p, 3),
        "select 1/16": lambda: particles.select(p, 3, {0: (0.0, top / 16)}),
        "select 1/2": lambda: particles.select(p, 3, {0: (0.0, top / 2)}),
    }


def time_all(calls, repeat, cold, path):
    times = {name: [] for name in calls}
    names = list(calls)
    for r in range(repeat):
        shift = r % len(names)
        for name in names[shift:] + names[:shift]:
            gc.collect()
            if cold:
                run.drop_from_cache(path)
            t0 = time.perf_counter()
            res = calls[name]()
            times[name].append(time.perf_counter() - t0)
            del res
    return {name: statistics.median(t) for name, t in times.items()}


MEMORY_SCRIPT = r"""
import json, sys
sys.path.insert(0, {bench!r})
import peak
from dorvo.quickio import particles
particles.histogram({small!r}, 3, (0, 3), {bins!r}, ((0.0, 1.0), (0.0, 1.0)))
_, m = peak.measure(lambda: particles.histogram({path!r}, 3, (0, 3), {bins!r},
                                                ((0.0, float(1 << 24)), (0.0, float(1 << 24)))))
print(json.dumps({{"growth": m["hwm_after"] - m["rss_before"]}}))
"""


def peak_memory(path, folder):
    small = Path(folder) / "small.bin"
    dumps.write_phase(small, 3, [1000])
    code = MEMORY_SCRIPT.format(bench=str(BENCH_DIR), path=str(path), small=str(small), bins=BINS)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return json.loads(proc.stdout.strip().splitlines()[-1])["growth"]


TARGETS = [
    ("hist_warm", "2-D histogram over the load, warm", 1.0),
    ("hist_cold", "2-D histogram over a sequential read, cold", 1.15),
    ("hist_memory_mib", "2-D histogram's peak memory growth, MiB", 150),
    ("moments_warm", "moments over the load, warm", 1.0),
    ("select_warm", "select (1/16) over the load, warm", 1.0),
]


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size-gib", type=float, default=1.0, help="size of the dump (default 1)")
    ap.add_argument("--repeat", type=int, default=5, help="timed runs of each (default 5)")
    ap.add_argument("--no-cold", action="store_true", help="skip the runs with the dump dropped from the cache")
    ap.add_argument("--out", default=str(BENCH_DIR / "particles.json"), help="JSON output")
    ap.add_argument("--tmp", default=None, help="folder for the temporary dump (default: system temp)")
    args = ap.parse_args(argv)

    total = max(BLOCKS, int(args.size_gib * (1 << 30) / 32) // BLOCKS * BLOCKS)
    folder = tempfile.mkdtemp(prefix="quickio-bench-particles-", dir=args.tmp)
    try:
        path = Path(folder) / "phase.bin"
        print(f"writing an n=3 dump of {total} particles in {BLOCKS} blocks ...", flush=True)
        dumps.write_phase(path, 3, [total // BLOCKS] * BLOCKS)
        fd = os.open(path, os.O_RDONLY)
        os.fsync(fd)
        os.close(fd)
        calls = workloads(path)
        results = {"machine": run.machine(), "filesystem": run.filesystem_of(folder), "size_gib": args.size_gib,
                   "file_bytes": path.stat().st_size, "repeat": args.repeat}
        print("timing, warm ...", flush=True)
        results["warm_s"] = time_all(calls, args.repeat, False, path)
        if not args.no_cold:
            print("timing, cold ...", flush=True)
            cold = {k: calls[k] for k in ("sequential read", "load", "histogram 2-D")}
            results["cold_s"] = time_all(cold, args.repeat, True, path)
        results["hist_memory_bytes"] = peak_memory(path, folder)

        warm, cold = results["warm_s"], results.get("cold_s")
        values = {"hist_warm": warm["histogram 2-D"] / warm["load"],
                  "hist_memory_mib": results["hist_memory_bytes"] / MIB,
                  "moments_warm": warm["moments"] / warm["load"],
                  "select_warm": warm["select 1/16"] / warm["load"]}
        if cold:
            values["hist_cold"] = cold["histogram 2-D"] / cold["sequential read"]
        results["targets"] = [{"key": k, "what": what, "value": round(values[k], 3), "target": f"<= {limit}",
                               "holds": values[k] <= limit} for k, what, limit in TARGETS if k in values]

        m = results["machine"]
        print(f"\nmachine: {m.get('cpu', '?')}, {m['cpus']} CPUs; dump {results['file_bytes'] / MIB:.0f} MiB "
              f"on {results['filesystem']['type']}; median of {args.repeat}")
        print(f"{'':<28} {'warm ms':>9} {'x load':>7}" + (f" {'cold ms':>9} {'x read':>7}" if cold else ""))
        for name, t in warm.items():
            line = f"{name:<28} {1000 * t:>9.1f} {t / warm['load']:>7.2f}"
            if cold and name in cold:
                line += f" {1000 * cold[name]:>9.1f} {cold[name] / cold['sequential read']:>7.2f}"
            print(line)
        print(f"peak memory growth of the 2-D histogram: {results['hist_memory_bytes'] / MIB:.1f} MiB")
        print("\ntargets:")
        for t in results["targets"]:
            print(f"  {'holds' if t['holds'] else 'MISSES':<6} {t['what']}: {t['value']} (target {t['target']})")
        with open(args.out, "w") as fh:
            json.dump(results, fh, indent=1)
        print(f"\nwrote {args.out}")
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return results


if __name__ == "__main__":
    main()
