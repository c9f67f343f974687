"""Compares two installed builds of dorvo.quickio, such as a wheel compiled
by zig against the source build of the system compiler.

    python bench/builds.py --base PYTHON --other PYTHON [--size-gib 0.5] [--repeat 9] [--cold]

Each interpreter must import dorvo.quickio. The dumps of bench/run.py are
written once; one worker process per interpreter then loads each dump with
the native reader, the two workers taking turns (base, other, other, base,
...) so that the noise of a shared machine falls on both alike. With --cold
the dump is dropped from the page cache before every load. Prints, per case,
the median seconds of each build and the median of the paired ratios
other/base: 1.00 means equal, 1.05 the other build 5 % slower.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

import run  # noqa: E402

# The worker: reads one JSON request per line, answers the seconds of one
# load. It runs in the interpreter under test and imports only bench/run.py
# besides the package.
WORKER = r"""
import gc, json, os, sys, time
sys.path.insert(0, {bench!r})
import run
for line in sys.stdin:
    req = json.loads(line)
    spec = next(s for s in run.reader_specs(req["case"]) if s[0] == run.NATIVE)
    call = run.make_call(spec[1], spec[2], spec[3], req["path"], spec[0])
    gc.collect()
    if req["cold"]:
        run.drop_from_cache(req["path"])
    t0 = time.perf_counter()
    res = call()
    seconds = time.perf_counter() - t0
    del res
    print(json.dumps(seconds), flush=True)
"""


class Worker:
    def __init__(self, python):
        self.proc = subprocess.Popen([python, "-c", WORKER.format(bench=str(BENCH_DIR))],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def load(self, case, path, cold):
        self.proc.stdin.write(json.dumps({"case": case, "path": str(path), "cold": cold}) + "\n")
        self.proc.stdin.flush()
        answer = self.proc.stdout.readline()
        if not answer:
            sys.exit(f"builds: the worker of {self.proc.args[0]} ended (status {self.proc.wait()})")
        return json.loads(answer)

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()
        self.proc.stdout.close()


def compare(workers, case, path, repeat, cold):
    """(base seconds, other seconds, paired ratios), the order of the two
    swapped every round."""
    times = ([], [])
    ratios = []
    for r in range(repeat + 1):
        order = (0, 1) if r % 2 else (1, 0)
        got = {}
        for i in order:
            got[i] = workers[i].load(case, path, cold)
        if r == 0:
            continue  # the first round warms both processes
        for i in (0, 1):
            times[i].append(got[i])
        ratios.append(got[1] / got[0])
    return times[0], times[1], ratios


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--base", required=True, help="interpreter with the reference build")
    ap.add_argument("--other", required=True, help="interpreter with the build compared with it")
    ap.add_argument("--size-gib", type=float, default=0.5, help="size of the large dumps (default 0.5)")
    ap.add_argument("--repeat", type=int, default=9, help="timed loads per build and case (default 9)")
    ap.add_argument("--cold", action="store_true", help="also drop the dump from the page cache before each load")
    ap.add_argument("--cases", default="field-32,field-4096,phase-64",
                    help="comma-separated cases of bench/run.py (default field-32,field-4096,phase-64)")
    ap.add_argument("--tmp", default=None, help="folder for the temporary dumps (default: system temp)")
    args = ap.parse_args(argv)
    if args.repeat < 1:
        ap.error("--repeat must be at least 1")
    wanted = args.cases.split(",")
    cases = [c for c in run.make_cases(args.size_gib) if c["name"] in wanted]
    modes = [False, True] if args.cold else [False]

    folder = tempfile.mkdtemp(prefix="quickio-builds-", dir=args.tmp)
    workers = [Worker(args.base), Worker(args.other)]
    rows = []
    try:
        for case in cases:
            path = run.write_case(case, folder)
            for cold in modes:
                base, other, ratios = compare(workers, case, path, args.repeat, cold)
                rows.append((case["name"], "cold" if cold else "warm", statistics.median(base),
                             statistics.median(other), statistics.median(ratios)))
                print(f"{rows[-1][0]:<12} {rows[-1][1]}  base {rows[-1][2]:.3f} s  other {rows[-1][3]:.3f} s"
                      f"  other/base {rows[-1][4]:.3f}", flush=True)
            os.unlink(path)
    finally:
        for w in workers:
            w.close()
        shutil.rmtree(folder, ignore_errors=True)
    return rows


if __name__ == "__main__":
    main()
