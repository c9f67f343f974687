"""Benchmarks of runs at scale.

    python bench/scale.py [--only mean,spectrum,remote] [--repeat 3] [--out bench/scale.json]

- mean: `ds.field.mean().compute()` of a field of 65,536 blocks (1 GiB by
  default) through dask's chunks, against `load()` and NumPy's mean; the
  same without skipping NaN (`skipna=False`), and the chunks read one after
  the other without a mean. Warm: the page cache holds the dump.
- spectrum: a histogram of px per dump over a run of phase-space dumps (20
  of 0.25 GiB by default, n = 3, 64 blocks each): a loop of
  `particles.histogram`, against `particles.histogram` of the run on local
  threads and on a dask.distributed LocalCluster of 1 and 2 worker
  processes (started before the timing). Also the bytes that go between
  the processes: the pickled tasks (each carries its opened dump) and the
  pickled histograms that come back. Warm.
- remote: the histogram of a 1 GiB phase-space dump over loopback HTTP (the
  tests' range server, in a process of its own, sending by sendfile)
  against the same histogram of the local file, each with the dump dropped
  from the page cache first (cold) and not (warm); and, for scale, the file
  read alone over the same server in ranges of 8 MiB by http.client.

Each reader runs --repeat times in turns; medians are reported with the
load average of the machine before and after the case. The dumps are
written into a temporary folder, removed at the end.
"""
import argparse
import gc
import http.client
import json
import os
import pickle
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

GIB = 1 << 30
BINS = 200
PX = 3  # component px of n = 3
ENTRY = 32  # bytes of an entry of n = 3


def _flushed(path):
    fd = os.open(path, os.O_RDONLY)
    os.fsync(fd)
    os.close(fd)


def _timed(calls: dict, repeat: int, before=None) -> dict:
    """Median seconds of each call, run in turns; `before(label)` runs
    untimed before each."""
    times = {k: [] for k in calls}
    for r in range(repeat):
        labels = list(calls)
        for label in labels[r % len(labels):] + labels[:r % len(labels)]:
            gc.collect()
            if before is not None:
                before(label)
            t0 = time.perf_counter()
            calls[label]()
            times[label].append(time.perf_counter() - t0)
    return {k: statistics.median(v) for k, v in times.items()}


def _load() -> list:
    return [round(x, 2) for x in os.getloadavg()]


# ---------------------------------------------------------------- mean


def bench_mean(folder, size_gib, repeat):
    import xarray as xr

    import dorvo.quickio as qio

    nx, side = max(1, int(size_gib * 64)), 2048  # 256 x 256 blocks of 8 x 8 rows
    path = folder / "field.bin"
    print(f"writing a field {nx} x {side} x {side} in 256 x 256 blocks ...", flush=True)
    dumps.write_field(path, nx, side, side, 256, 256)
    _flushed(path)
    with xr.open_dataset(path, engine="vintar", chunks={}) as ds:
        chunks = ds.field.chunks
    want = float(qio.load(path)[0].mean(dtype=np.float64))

    def chunked(skipna=None):
        with xr.open_dataset(path, engine="vintar", chunks={}) as ds:
            got = float(ds.field.mean(dtype=np.float64, skipna=skipna).compute())
        assert abs(got - want) <= 1e-9 * abs(want), (got, want)

    def chunks_alone():
        # The chunks read one after the other, no mean: what our reads cost.
        with qio.open(path) as d:
            z = 0
            for c in d.chunks()[2]:
                d.read(None, None, slice(z, z + c))
                z += c

    load = _load()
    times = _timed({"load() and mean": lambda: qio.load(path)[0].mean(dtype=np.float64),
                    "dask chunks, mean().compute()": chunked,
                    "dask chunks, mean(skipna=False).compute()": lambda: chunked(False),
                    "the chunks read alone, one after the other": chunks_alone}, repeat)
    path.unlink()
    base = times["load() and mean"]
    return {"field_bytes": 4 * nx * side * side, "blocks": 256 * 256, "chunks": [len(c) for c in chunks],
            "chunk_bytes": 4 * max(chunks[0]) * max(chunks[1]) * max(chunks[2]), "seconds": times,
            "ratio": times["dask chunks, mean().compute()"] / base,
            "ratios": {k: v / base for k, v in times.items()}, "load_average": [load, _load()]}


# ---------------------------------------------------------------- spectrum


def _pickled_bytes(paths, args):
    """Bytes of the pickled tasks (an opened dump each) and of the
    histograms they send back."""
    from dorvo.quickio import particles
    from dorvo.quickio._dump.dump import Dump

    sent = back = 0
    for p in paths:
        with Dump(p, n_dimensions=3) as d:
            sent += len(pickle.dumps((d, "histogram", None, args, {"labels": None})))
        back += len(pickle.dumps(particles.histogram(p, 3, *args[:3])))
    return sent, back


def bench_spectrum(folder, count, dump_gib, repeat):
    from dask.distributed import Client, LocalCluster

    from dorvo.quickio import particles

    per = max(64, int(dump_gib * GIB / ENTRY) // 64 * 64)
    paths = []
    print(f"writing {count} phase-space dumps of {per} particles ...", flush=True)
    for step in range(count):
        paths.append(str(folder / f"ps_{step * 100}.bin"))
        dumps.write_phase(paths[-1], 3, [per // 64] * 64)
        _flushed(paths[-1])
    top = float(1 << 24)  # components are (p mod 2**20) * 16 + k
    args = (PX, BINS, (0.0, top))
    want = np.stack([particles.histogram(p, 3, *args)[0] for p in paths])

    def loop():
        return np.stack([particles.histogram(p, 3, *args)[0] for p in paths])

    def of_run():
        got = particles.histogram(paths, 3, *args)
        assert np.array_equal(got.values, want)

    seconds, load = {}, [_load()]
    seconds.update(_timed({"loop of particles.histogram": loop, "run, local threads": of_run}, repeat))
    for workers in (1, 2):
        with LocalCluster(n_workers=workers, threads_per_worker=2 // workers, processes=True,
                          dashboard_address=None) as cluster, Client(cluster):
            of_run()  # the workers import the package once
            seconds.update(_timed({f"run, LocalCluster of {workers}": of_run}, repeat))
    load.append(_load())
    sent, back = _pickled_bytes(paths, args)
    size = os.path.getsize(paths[0])
    for p in paths:
        os.unlink(p)
    base = seconds["loop of particles.histogram"]
    return {"dumps": count, "dump_bytes": size,
            "seconds": seconds, "ratios": {k: v / base for k, v in seconds.items()},
            "task_bytes_sent": sent, "histogram_bytes_back": back, "load_average": load}


# ---------------------------------------------------------------- remote

SERVER = r"""
import sys
sys.path.insert(0, {tests!r})
from helpers import RangeServer
with RangeServer({folder!r}) as server:
    print(server.url(""), flush=True)
    sys.stdin.read()
"""


def bench_remote(folder, size_gib, repeat):
    from dorvo.quickio import particles

    per = max(64, int(size_gib * GIB / ENTRY) // 64 * 64)
    path = folder / "remote.bin"
    print(f"writing a phase-space dump of {per} particles ...", flush=True)
    dumps.write_phase(path, 3, [per // 64] * 64)
    _flushed(path)
    top = float(1 << 24)
    args = (PX, BINS, (0.0, top))
    want = particles.histogram(path, 3, *args)[0]
    server = subprocess.Popen([sys.executable, "-c", SERVER.format(tests=str(BENCH_DIR.parent / "tests"),
                                                                   folder=str(folder))],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        url = server.stdout.readline().strip() + path.name

        def remote():
            assert np.array_equal(particles.histogram(url, 3, *args)[0], want)

        def transport():
            # The file in ranges of 8 MiB, one after the other, by the
            # standard library's client: what the loopback and the server
            # give, without our client, checks or reductions.
            host, port = url.split("/")[2].split(":")
            connection = http.client.HTTPConnection(host, int(port))
            size, step = path.stat().st_size, 8 << 20
            for start in range(0, size, step):
                connection.request("GET", "/" + path.name,
                                   headers={"Range": f"bytes={start}-{min(size, start + step) - 1}"})
                connection.getresponse().read()
            connection.close()

        load = _load()
        calls = {"local": lambda: particles.histogram(path, 3, *args), "HTTP": remote, "HTTP read alone": transport}
        cold = _timed(calls, repeat, before=lambda _: run.drop_from_cache(path))
        warm = _timed(calls, repeat)
    finally:
        server.stdin.close()
        server.wait(timeout=30)
    size = path.stat().st_size
    path.unlink()
    return {"file_bytes": size, "cold_s": cold, "warm_s": warm,
            "ratio_cold": cold["HTTP"] / cold["local"], "ratio_warm": warm["HTTP"] / warm["local"],
            "load_average": [load, _load()]}


# ---------------------------------------------------------------- main


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--only", default="mean,spectrum,remote", help="the cases to run, comma-separated")
    ap.add_argument("--repeat", type=int, default=3, help="timed runs of each (default 3)")
    ap.add_argument("--field-gib", type=float, default=1.0, help="size of the field of the mean (default 1)")
    ap.add_argument("--dumps", type=int, default=20, help="dumps of the spectrum's run (default 20)")
    ap.add_argument("--dump-gib", type=float, default=0.25, help="size of each of them (default 0.25)")
    ap.add_argument("--remote-gib", type=float, default=1.0, help="size of the remote dump (default 1)")
    ap.add_argument("--out", default=str(BENCH_DIR / "scale.json"), help="JSON output")
    ap.add_argument("--tmp", default=None, help="folder for the temporary dumps (default: system temp)")
    args = ap.parse_args(argv)
    only = set(args.only.split(","))
    folder = Path(tempfile.mkdtemp(prefix="quickio-bench-scale-", dir=args.tmp))
    results = {"machine": run.machine(), "filesystem": run.filesystem_of(str(folder)), "repeat": args.repeat}
    try:
        if "mean" in only:
            results["mean"] = bench_mean(folder, args.field_gib, args.repeat)
        if "spectrum" in only:
            results["spectrum"] = bench_spectrum(folder, args.dumps, args.dump_gib, args.repeat)
        if "remote" in only:
            results["remote"] = bench_remote(folder, args.remote_gib, args.repeat)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print(json.dumps(results, indent=1))
    with open(args.out, "w") as fh:
        json.dump(results, fh, indent=1)


if __name__ == "__main__":
    main()
