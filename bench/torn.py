"""Reads of a dump that another process rewrites in place: how many give
values of no version of it (the only right count is 0).

    python bench/torn.py [--reads 2000] [--mib 8] [--writer reopen|held] [--pause-ms 1] [--no-probe] [--json]

A writer process rewrites one phase-space dump in place, the same size, one
pwrite per version, in turns between versions whose every value is the
version's number; "reopen" opens and closes the file for each version (only
the file's identity tells), "held" keeps it open for writing (the writer
probe sees it). This process opens the dump and reads it through read,
load, moments, select and histogram in turns, `--reads` in all, and counts
the results: whole (every value of one version), refused (OSError: the file
changed, or is being written) and torn (anything else). `--no-probe`
switches the writer probe off, to show what the identity alone catches.
"""
import argparse
import itertools
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

N_DIMENSIONS = 1
VERSIONS = 4


def _version_bytes(path, particles, version):
    from dorvo.quickio import write_phase_space

    write_phase_space(path, np.full((2 * N_DIMENSIONS + 1, particles), version, np.float32), N_DIMENSIONS)
    with open(path, "rb") as f:
        return f.read()


def _values(result):
    """The distinct values of a reader's result, as a set of floats."""
    if isinstance(result, dict):  # moments: one version gives min == max
        return set(np.asarray(result["min"]).tolist()) | set(np.asarray(result["max"]).tolist())
    if isinstance(result, tuple):  # histogram: the bins holding particles
        counts, edges = result
        return {float(edges[i]) for i in np.flatnonzero(counts)}
    return set(np.unique(result).tolist())


READERS = {
    "read": lambda d: d.read(particles=slice(1, None)),
    "load": lambda d: d.load(),
    "moments": lambda d: d.moments(),
    "select": lambda d: d.select(),
    # Bins one wide from 0.5: a version's particles fill one bin.
    "histogram": lambda d: d.histogram(0, bins=VERSIONS + 1, range=(0.5, VERSIONS + 1.5)),
}


def _whole(name, result):
    values = _values(result)
    if name == "histogram":
        return len(values) == 1
    return len(values) == 1 and values <= set(map(float, range(1, VERSIONS + 1)))


def write_forever(path, mode, pause_ms):
    """Rewrites `path` in place in turns between its versions until killed,
    or until the reader that started it is gone."""
    versions = [bytes.fromhex(line) for line in sys.stdin.read().split()]
    fd = os.open(path, os.O_WRONLY) if mode == "held" else None
    parent = os.getppid()
    print("writing", flush=True)
    for k in itertools.count():
        if os.getppid() != parent:
            return
        data = versions[k % len(versions)]
        if mode == "held":
            os.pwrite(fd, data, 0)
        else:
            own = os.open(path, os.O_WRONLY)
            os.pwrite(own, data, 0)
            os.close(own)
        if pause_ms:
            time.sleep(pause_ms / 1000)


def run(folder, reads=2000, mib=8.0, writer="reopen", pause_ms=1.0, readers=tuple(READERS)):
    """Counts {reader: {"whole": n, "refused": n, "torn": n}} of `reads`
    reads in turns through `readers`, while a writer process rewrites."""
    import dorvo.quickio as quickio

    particles = max(1, int(mib * 2**20) // (4 * (2 * N_DIMENSIONS + 1)))
    path = os.path.join(folder, "rewritten.bin")
    versions = [_version_bytes(path, particles, v) for v in range(1, VERSIONS + 1)]
    with open(path, "wb") as f:
        f.write(versions[0])
    child = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--write", path, writer, str(pause_ms)],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    counts = {name: {"whole": 0, "refused": 0, "torn": 0} for name in readers}
    try:
        child.stdin.write("\n".join(v.hex() for v in versions))
        child.stdin.close()
        assert child.stdout.readline() == "writing\n"
        for i in range(reads):
            name = readers[i % len(readers)]
            try:
                with quickio.open(path, n_dimensions=N_DIMENSIONS) as d:
                    result = READERS[name](d)
            except OSError:
                counts[name]["refused"] += 1
                continue
            counts[name]["whole" if _whole(name, result) else "torn"] += 1
    finally:
        child.kill()
        child.wait()
        child.stdout.close()
    return counts


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reads", type=int, default=2000)
    parser.add_argument("--mib", type=float, default=8.0, help="size of the dump")
    parser.add_argument("--writer", choices=("reopen", "held"), default="reopen")
    parser.add_argument("--pause-ms", type=float, default=1.0, help="the writer's pause between versions")
    parser.add_argument("--no-probe", action="store_true", help="switch the writer probe off")
    parser.add_argument("--json", action="store_true", help="print the counts alone, as JSON")
    args = parser.parse_args(argv)
    if args.no_probe:
        from dorvo.quickio._io import local as _local

        _local.probe = lambda fd, name, sig: False
    with tempfile.TemporaryDirectory() as folder:
        counts = run(folder, args.reads, args.mib, args.writer, args.pause_ms)
    if args.json:
        print(json.dumps(counts))
        return
    print(f"{'reader':<10} {'whole':>6} {'refused':>8} {'torn':>5}")
    for name, c in counts.items():
        print(f"{name:<10} {c['whole']:>6} {c['refused']:>8} {c['torn']:>5}")
    print("torn:", sum(c["torn"] for c in counts.values()), "of", args.reads)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--write"]:
        write_forever(sys.argv[2], sys.argv[3], float(sys.argv[4]))
    else:
        main()
