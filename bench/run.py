"""Benchmark of the dorvo.quickio loaders against the floor of a load and
against what a user would write instead.

    python bench/run.py [--size-gib 1] [--repeat 5] [--out bench/results.json] [--cold]

Writes its dumps (about --size-gib each) into a temporary folder, times every
reader of a dump alternately in this process (median of --repeat runs, the
page cache warm after writing; with --cold also with the file dropped from
the cache before each run) together with the machine's limits measured in the
same turns (a sequential read of the file in 16 MiB reads into one reused
buffer; a memcpy of the result into memory already touched), measures the
peak memory of each reader in a
fresh interpreter, checks that another Python thread keeps running during a
native load, prints a table of medians and ratios to the floor, and writes
the same as JSON (and as a PNG bar chart when matplotlib is installed).
The temporary folder is removed at the end, also on failure.
"""
import argparse
import gc
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

import dumps  # noqa: E402
import readers  # noqa: E402

try:
    import scipy.io  # noqa: F401
    HAVE_SCIPY = True
except ImportError:
    HAVE_SCIPY = False

GIB = 1 << 30
MIB = 1 << 20

# Labels of the readers, in table order.
FLOOR = "floor"
SEQUENTIAL = "sequential"
MEMCPY = "memcpy"
NATIVE = "quickio"
NATIVE_1 = "quickio 1 thread"
NUMPY = "numpy"
FORTRANFILE = "FortranFile"


# ---- cases --------------------------------------------------------------

def _multiple(value, step, least):
    return max(least, int(round(value / step)) * step)


def make_cases(size_gib):
    """The dumps of one run, scaled so that the big ones hold about
    size_gib GiB each."""
    s = size_gib
    nz32 = _multiple(1024 * s, 8, 8)
    nz_small = _multiple(512 * s, 64, 64)
    p64 = _multiple(32 * MIB * s, 64, 64)
    p_tiny = max(64, int(4 * MIB * s))
    return [
        {"name": "field-32", "kind": "field", "grid": (512, 512, nz32), "nproc": (4, 8),
         "about": f"field 512x512x{nz32}, 4x8 blocks"},
        {"name": "field-1", "kind": "field", "grid": (256, 512, nz_small), "nproc": (1, 1),
         "about": f"field 256x512x{nz_small}, 1 block"},
        {"name": "field-4096", "kind": "field", "grid": (256, 512, nz_small), "nproc": (64, 64),
         "about": f"field 256x512x{nz_small}, 64x64 blocks"},
        {"name": "phase-64", "kind": "phase", "n": 3, "blocks": [p64 // 64] * 64,
         "about": f"phase n=3, {p64} particles in 64 blocks"},
        {"name": "phase-tiny", "kind": "phase", "n": 3, "blocks": [1] * p_tiny,
         "about": f"phase n=3, {p_tiny} blocks of 1 particle"},
    ]


def case_bytes(case):
    """File size of a case's dump, computed without writing it."""
    if case["kind"] == "field":
        nx, ny, nz = case["grid"]
        nblocks = case["nproc"][0] * case["nproc"][1]
        return 3 * 8 + 4 + 8 * dumps.NPARAM + nblocks * 28 + 3 * 8 + 4 * (nx * ny * nz + nx + ny + nz)
    words = 2 * case["n"] + 2
    return sum(4 + 4 * words * max(c, 0) for c in case["blocks"])


def result_bytes(case):
    if case["kind"] == "field":
        nx, ny, nz = case["grid"]
        return 4 * (nx * ny * nz + nx + ny + nz)
    return 4 * (2 * case["n"] + 1) * sum(c for c in case["blocks"] if c > 0)


def write_case(case, folder):
    path = Path(folder) / (case["name"] + ".bin")
    if case["kind"] == "field":
        size = dumps.write_field(path, *case["grid"], *case["nproc"])
    else:
        size = dumps.write_phase(path, case["n"], case["blocks"])
    # Flushed to disk so that a cold run can drop the pages from the cache.
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
    assert size == case_bytes(case), (case["name"], size, case_bytes(case))
    return path


# ---- readers ------------------------------------------------------------

def reader_specs(case):
    """(label, module, function name, argument builder) of each reader of
    a case; the subprocess of the memory measurement rebuilds the callable
    from the same names."""
    limits = [(FLOOR, "readers", "floor", "path"), (SEQUENTIAL, "readers", "sequential", "path"),
              (MEMCPY, "readers", "memcpy_of", result_bytes(case))]
    if case["kind"] == "field":
        nx, ny, nz = case["grid"]
        grid = {"nx": nx, "ny": ny, "nz": nz}
        specs = limits + [(NATIVE, "dorvo.quickio.meshdump", "read_Vintar_bin", grid),
                          (NATIVE_1, "dorvo.quickio.meshdump", "read_Vintar_bin", grid),
                          (NUMPY, "readers", "numpy_field", "path")]
        if HAVE_SCIPY:
            specs.append((FORTRANFILE, "readers", "fortranfile_field", "path"))
        return specs
    n = {"n_dimensions": case["n"]}
    return limits + [(NATIVE, "dorvo.quickio.beamdump", "total_phase_space_read", n),
                     (NATIVE_1, "dorvo.quickio.beamdump", "total_phase_space_read", n),
                     (NUMPY, "readers", "numpy_phase", case["n"])]


# Readers whose result is not the dump's contents: the machine's limits.
LIMITS = (FLOOR, SEQUENTIAL, MEMCPY)


def make_call(module, func, arg, path, label=None):
    """The callable that loads `path` with one reader."""
    import importlib

    fn = getattr(importlib.import_module(module), func)
    p = str(path)
    if label == MEMCPY:
        return fn(arg)
    if label == NATIVE_1:
        stem = p[:-len(".bin")]

        def one_thread():
            os.environ["QUICKIO_READ_THREADS"] = "1"
            try:
                return fn(stem, arg)
            finally:
                del os.environ["QUICKIO_READ_THREADS"]
        return one_thread
    if module.startswith("dorvo."):
        stem = p[:-len(".bin")]
        return lambda: fn(stem, arg)
    if arg == "path":
        return lambda: fn(p)
    return lambda: fn(p, arg)


# ---- checks of the results ------------------------------------------------

def check_result(case, label, res, path):
    """Asserts that a reader returned the dump's contents (checked in
    slices, so that no second copy of a whole result is built)."""
    if label == FLOOR:
        assert res.size == os.path.getsize(path), label
        return
    if label == SEQUENTIAL:
        assert res == os.path.getsize(path), label
        return
    if label == MEMCPY:
        return
    if case["kind"] == "field":
        nx, ny, nz = case["grid"]
        field, x, y, z = res
        assert field.shape == (nx, ny, nz) and field.dtype == np.float32, (label, field.shape)
        for k0 in range(0, nz, 16):
            k1 = min(nz, k0 + 16)
            want = dumps.field_values(nx, ny, 0, 0, ny, k0, k1).transpose(2, 1, 0)
            assert np.array_equal(field[:, :, k0:k1], want), (label, "planes", k0)
        for got, want in zip((x, y, z), dumps.axes_values(nx, ny, nz)):
            assert np.array_equal(got, want), (label, "axis")
        return
    n = case["n"]
    total = sum(c for c in case["blocks"] if c > 0)
    assert res.shape == (2 * n + 1, total) and res.dtype == np.float32, (label, res.shape)
    step = 1 << 22
    for p0 in range(0, total, step):
        p1 = min(total, p0 + step)
        want = dumps.particle_values(p0, p1, n)[:, :2 * n + 1].T
        assert np.array_equal(res[:, p0:p1], want), (label, "particles", p0)


# ---- timing ---------------------------------------------------------------

def drop_from_cache(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def time_case(case, path, repeat, cold):
    """Median seconds per reader, the readers run in turn (the order
    rotating by one each round) so that drift of the machine hits all."""
    specs = reader_specs(case)
    calls = [(label, make_call(m, f, a, path, label)) for label, m, f, a in specs]
    times = {label: [] for label, _ in calls}
    for r in range(repeat):
        shift = r % len(calls)
        for label, call in calls[shift:] + calls[:shift]:
            gc.collect()
            if cold:
                drop_from_cache(path)
            t0 = time.perf_counter()
            res = call()
            t1 = time.perf_counter()
            times[label].append(t1 - t0)
            if r == 0 and not cold:
                check_result(case, label, res, path)
            del res
    return times


# ---- peak memory ----------------------------------------------------------

MEMORY_SCRIPT = r"""
import json, sys
sys.path.insert(0, {bench!r})
import numpy as np
import peak
import run
call = run.make_call({module!r}, {func!r}, {arg!r}, {path!r}, {label!r})
{preload}
res, m = peak.measure(call)
print(json.dumps(m))
"""


def measure_memory(case, path, spec):
    label, module, func, arg = spec
    preload = "import scipy.io" if label == FORTRANFILE else ""
    code = MEMORY_SCRIPT.format(bench=str(BENCH_DIR), module=module, func=func, arg=arg,
                                path=str(path), preload=preload, label=label)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    m = json.loads(proc.stdout.strip().splitlines()[-1])
    # Measured from the resident set before the load (not from an older
    # peak), so the growth is never understated.
    growth = m["hwm_after"] - m["rss_before"]
    size = os.path.getsize(path) if label == FLOOR else result_bytes(case)
    return {"growth_bytes": growth, "result_bytes": size, "ratio": growth / size,
            "peak_reset": m["reset"]}


# ---- the interpreter lock -------------------------------------------------

def gil_check(calls, alone_seconds, rounds=3, min_seconds=0.1):
    """Progress of a counting Python thread during each of `calls` (a dict
    of name: callable), relative to its progress while the main thread
    sleeps just before: near 1 when the call releases the interpreter lock,
    near 0 when it holds it. The calls take turns, `rounds` times; medians.
    On a busy machine the thread also loses part of its core to other
    processes, which is why the calls are compared with each other."""
    count = [0]
    stop = threading.Event()

    def spin():
        c = 0
        while not stop.is_set():
            c += 1
            count[0] = c

    t = threading.Thread(target=spin, daemon=True)
    t.start()
    ratios = {name: [] for name in calls}
    try:
        time.sleep(0.05)
        for _ in range(rounds):
            for name, call in calls.items():
                c0, t0 = count[0], time.perf_counter()
                time.sleep(alone_seconds)
                c1, t1 = count[0], time.perf_counter()
                # Short calls are repeated: the thread needs a few switch
                # intervals to show whether it runs.
                while True:
                    res = call()
                    del res
                    if time.perf_counter() - t1 >= min_seconds:
                        break
                c2, t2 = count[0], time.perf_counter()
                alone = (c1 - c0) / (t1 - t0)
                ratios[name].append(((c2 - c1) / (t2 - t1)) / alone if alone else 0.0)
    finally:
        stop.set()
        t.join()
    return {name: {"ratio": statistics.median(r), "ratios": r} for name, r in ratios.items()}


def sized_call(seconds, make):
    """make(n) for an n that makes the call take about `seconds`."""
    n = 1 << 22
    t0 = time.perf_counter()
    make(n)()
    per_unit = max(1e-12, (time.perf_counter() - t0) / n)
    return make(int(min(1 << 31, max(n, seconds / per_unit))))


def lock_held(n):
    """A call that keeps the interpreter lock throughout: bytes repetition."""
    return lambda: b"\x01" * n


def lock_released(n):
    """A call that releases the interpreter lock and keeps one core busy:
    hashing a large buffer."""
    import hashlib

    data = bytes(n)
    return lambda: hashlib.sha256(data).digest()


# ---- machine --------------------------------------------------------------

def machine():
    info = {"kernel": platform.release(), "python": platform.python_version(),
            "numpy": np.__version__, "cpus": os.cpu_count()}
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    info["cpu"] = line.split(":", 1)[1].strip()
                    break
        with open("/proc/meminfo") as fh:
            for line in fh:
                if line.startswith("MemTotal"):
                    info["memory_gib"] = round(int(line.split()[1]) / (1 << 20), 1)
                    break
    except OSError:
        pass
    if HAVE_SCIPY:
        import scipy
        info["scipy"] = scipy.__version__
    return info


def filesystem_of(folder):
    """Device and type of the filesystem that holds `folder`."""
    best = ("", "?", "?")
    try:
        with open("/proc/mounts") as fh:
            for line in fh:
                dev, mnt, fstype = line.split()[:3]
                if str(folder).startswith(mnt) and len(mnt) >= len(best[0]):
                    best = (mnt, dev, fstype)
    except OSError:
        pass
    return {"mount": best[0], "device": best[1], "type": best[2]}


# ---- report ---------------------------------------------------------------

TARGETS = [
    # (key, text, limit, "max" or "min")
    ("cold_field_1", "cold field load, 1 block, against a sequential read", 1.15, "max"),
    ("cold_field_32", "cold field load, 32 blocks, against a sequential read", 1.15, "max"),
    ("cold_field_4096", "cold field load, 4096 blocks, against a sequential read", 1.15, "max"),
    ("cold_phase_64", "cold phase-space load, 64 blocks, against a sequential read", 1.15, "max"),
    ("warm_field_memcpy", "warm field load, 32 blocks, against a memcpy of the result", 2.0, "max"),
    ("blocks_4096_vs_1", "warm field load, 4096 blocks against 1 block", 1.10, "max"),
    ("memory", "peak memory of a quickio load over the result's size", 1.02, "max"),
    ("numpy_field_speedup", "pure NumPy field reader time over quickio's", 4.0, "min"),
    ("numpy_phase_speedup", "pure NumPy phase-space reader time over quickio's", 3.0, "min"),
    ("gil", "another thread's progress during a load, over that during a lock-releasing call", 0.5, "min"),
]


def evaluate(results):
    med = {name: c["warm"]["median_s"] for name, c in results["cases"].items()}
    cold = {name: c["cold"]["median_s"] for name, c in results["cases"].items() if "cold" in c}

    def get(case, label):
        return med.get(case, {}).get(label)

    values = {}
    for case, key in (("field-1", "cold_field_1"), ("field-32", "cold_field_32"),
                      ("field-4096", "cold_field_4096"), ("phase-64", "cold_phase_64")):
        if case in cold:
            values[key] = cold[case][NATIVE] / cold[case][SEQUENTIAL]
    if get("field-32", NATIVE):
        values["warm_field_memcpy"] = get("field-32", NATIVE) / get("field-32", MEMCPY)
    if get("field-32", NATIVE):
        values["field_vs_floor"] = get("field-32", NATIVE) / get("field-32", FLOOR)
        values["numpy_field_speedup"] = get("field-32", NUMPY) / get("field-32", NATIVE)
    if get("phase-64", NATIVE):
        values["phase_vs_floor"] = get("phase-64", NATIVE) / get("phase-64", FLOOR)
        values["numpy_phase_speedup"] = get("phase-64", NUMPY) / get("phase-64", NATIVE)
    if get("field-4096", NATIVE) and get("field-1", NATIVE):
        values["blocks_4096_vs_1"] = get("field-4096", NATIVE) / get("field-1", NATIVE)
    mem = [m[NATIVE]["ratio"] for m in results["memory"].values() if NATIVE in m]
    if mem:
        values["memory"] = max(mem)
    # The thread's progress during a load over its progress during a call
    # known to release the lock, measured in turns with it.
    loads = [g["load"]["ratio"] / g["lock released"]["ratio"] for g in results["gil"].values()
             if g["lock released"]["ratio"] > 0]
    if loads:
        values["gil"] = min(loads)
    out = []
    for key, text, limit, sense in TARGETS:
        if key not in values:
            continue
        v = values[key]
        holds = v <= limit if sense == "max" else v >= limit
        out.append({"key": key, "what": text, "value": round(v, 3),
                    "target": ("<= " if sense == "max" else ">= ") + str(limit), "holds": holds})
    return out


def summarize(times):
    labels = list(times)
    med = {label: statistics.median(times[label]) for label in labels}
    return {"median_s": med, "runs_s": times,
            "ratio_to_floor": {label: med[label] / med[FLOOR] for label in labels}}


def print_table(results):
    m = results["machine"]
    print()
    print(f"machine: {m.get('cpu', '?')}, {m['cpus']} CPUs, {m.get('memory_gib', '?')} GiB, "
          f"kernel {m['kernel']}, Python {m['python']}, NumPy {m['numpy']}")
    fs = results["filesystem"]
    print(f"dumps on {fs['device']} ({fs['type']}), {results['repeat']} runs each, median")
    modes = ["warm"] + (["cold"] if results["cold"] else [])
    header = f"{'dump':<44} {'reader':<12} {'MiB':>7}"
    for mode in modes:
        header += f" {mode + ' ms':>10} {'x floor':>8}"
    header += f" {'peak mem':>9}"
    print(header)
    print("-" * len(header))
    for name, c in results["cases"].items():
        for label in c["warm"]["median_s"]:
            line = f"{c['about']:<44} {label:<12} {c['file_bytes'] / MIB:>7.0f}"
            for mode in modes:
                line += (f" {1000 * c[mode]['median_s'][label]:>10.1f}"
                         f" {c[mode]['ratio_to_floor'][label]:>8.2f}")
            mem = results["memory"].get(name, {}).get(label)
            line += f" {mem['ratio']:>8.3f}x" if mem else f" {'':>9}"
            print(line)
    print("peak mem: growth of the peak resident set during the load over the result's size")
    if results["gil"]:
        print()
        print("progress of another Python thread, over its progress alone:")
        for name, g in results["gil"].items():
            print(f"  during the quickio load of {name}: {g['load']['ratio']:.2f}; during a call that"
                  f" releases the lock: {g['lock released']['ratio']:.2f}; that holds it:"
                  f" {g['lock held']['ratio']:.2f}")
    print()
    print("targets:")
    for t in results["targets"]:
        print(f"  {'holds' if t['holds'] else 'MISSES':<6} {t['what']}: {t['value']} (target {t['target']})")
    for note in results["notes"]:
        print("note:", note)


def plot(results, png):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = list(results["cases"])
    labels = [FLOOR, SEQUENTIAL, NATIVE, NUMPY, FORTRANFILE]
    fig, ax = plt.subplots(figsize=(10, 4.8))
    width = 0.16
    for i, label in enumerate(labels):
        vals = [results["cases"][n]["warm"]["ratio_to_floor"].get(label, np.nan) for n in names]
        bars = ax.bar(np.arange(len(names)) + (i - 2) * width, vals, width, label=label)
        ax.bar_label(bars, labels=["" if np.isnan(v) else f"{v:.2f}" for v in vals], fontsize=7)
    ax.set_xticks(np.arange(len(names)), [results["cases"][n]["about"] for n in names],
                  fontsize=7, rotation=10)
    ax.set_yscale("log")
    ax.set_ylabel("time / floor (np.fromfile), warm cache, log scale")
    ax.axhline(1.0, color="grey", lw=0.8)
    ax.set_title("dorvo.quickio loads against the floor (median of %d)" % results["repeat"])
    ax.legend()
    fig.tight_layout()
    fig.savefig(png, dpi=110)
    plt.close(fig)


# ---- main -----------------------------------------------------------------

def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size-gib", type=float, default=1.0, help="size of the large dumps (default 1)")
    ap.add_argument("--repeat", type=int, default=5, help="timed runs per reader (default 5)")
    ap.add_argument("--out", default=str(BENCH_DIR / "results.json"), help="JSON output")
    ap.add_argument("--png", default=None, help="bar chart (default: --out with .png)")
    ap.add_argument("--cold", action="store_true",
                    help="also time with the dump dropped from the page cache before each run")
    ap.add_argument("--tmp", default=None, help="folder for the temporary dumps (default: system temp)")
    ap.add_argument("--cases", default=None, help="comma-separated subset of the cases")
    ap.add_argument("--no-memory", action="store_true", help="skip the peak memory measurement")
    args = ap.parse_args(argv)
    if args.repeat < 1:
        ap.error("--repeat must be at least 1")

    cases = make_cases(args.size_gib)
    if args.cases:
        wanted = args.cases.split(",")
        cases = [c for c in cases if c["name"] in wanted]
    notes = []
    if not HAVE_SCIPY:
        notes.append("scipy is not installed: the FortranFile reader was skipped")

    # Each dump is removed once measured: room for the largest is enough.
    need = max(case_bytes(c) for c in cases) if cases else 0
    folder = tempfile.mkdtemp(prefix="quickio-bench-", dir=args.tmp)
    try:
        free = shutil.disk_usage(folder).free
        if free < need + GIB // 4:
            sys.exit(f"bench: {need / GIB:.2f} GiB of dumps need more than the "
                     f"{free / GIB:.2f} GiB free in {folder}")
        results = {"machine": machine(), "filesystem": filesystem_of(folder),
                   "size_gib": args.size_gib, "repeat": args.repeat, "cold": args.cold,
                   "cases": {}, "memory": {}, "gil": {}, "notes": notes}
        for case in cases:
            print(f"writing {case['about']} ...", flush=True)
            path = write_case(case, folder)
            entry = {"about": case["about"], "file_bytes": os.path.getsize(path),
                     "result_bytes": result_bytes(case)}
            print(f"timing {case['name']} ...", flush=True)
            entry["warm"] = summarize(time_case(case, path, args.repeat, cold=False))
            if args.cold:
                entry["cold"] = summarize(time_case(case, path, args.repeat, cold=True))
            results["cases"][case["name"]] = entry
            if not args.no_memory:
                results["memory"][case["name"]] = {
                    spec[0]: measure_memory(case, path, spec) for spec in reader_specs(case)
                    if spec[0] not in LIMITS or spec[0] == FLOOR}
            if case["name"] in ("field-32", "phase-64"):
                spec = next(s for s in reader_specs(case) if s[0] == NATIVE)
                seconds = entry["warm"]["median_s"][NATIVE]
                results["gil"][case["name"]] = gil_check(
                    {"load": make_call(spec[1], spec[2], spec[3], path, spec[0]),
                     "lock released": sized_call(seconds, lock_released),
                     "lock held": sized_call(seconds, lock_held)},
                    max(0.1, seconds))
            os.unlink(path)
        results["targets"] = evaluate(results)
        print_table(results)
        Path(args.out).parent.mkdir(parents=True, exist_ok=True)
        with open(args.out, "w") as fh:
            json.dump(results, fh, indent=1)
        print(f"\nwrote {args.out}")
        png = args.png or str(Path(args.out).with_suffix(".png"))
        try:
            plot(results, png)
            print(f"wrote {png}")
        except ImportError:
            print("matplotlib is not installed: no chart")
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return results


if __name__ == "__main__":
    main()
