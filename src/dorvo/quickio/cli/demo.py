"""`quickio demo`: inspect, load and plot the sample dumps shipped with the
package; with --size, write a field dump and a phase-space dump of any size
to try the tools on."""

from __future__ import annotations

import os
import sys
from importlib import resources
from pathlib import Path

import numpy as np

from ._base import EXIT_OK, PROG, CliError, Command
from ._dump import load, open_dump
from ._outputs import require_matplotlib, writing
from ._summary import field_summary, format_field, format_phase, phase_summary


def sample(name):
    return resources.files("dorvo.quickio").joinpath("samples", name)


class Pulse:
    """A laser pulse on an n**3 grid, computed slice by slice as the writer
    asks for it: a Gaussian envelope travelling along x times a carrier
    wave. A product of three 1-D profiles, so that no n**3 array is made."""

    def __init__(self, n):
        self.shape, self.ndim = (n, n, n), 3
        self.x = np.linspace(0.0, 100.0, n, dtype=np.float32)
        self.y = np.linspace(-20.0, 20.0, n, dtype=np.float32)
        self.z = np.linspace(-20.0, 20.0, n, dtype=np.float32)
        self._fx = (np.exp(-(((self.x - 60.0) / 10.0) ** 2)) * np.cos(2.0 * self.x)).astype(np.float32)
        self._fy = np.exp(-((self.y / 6.0) ** 2)).astype(np.float32)
        self._fz = np.exp(-((self.z / 6.0) ** 2)).astype(np.float32)

    def __getitem__(self, key):
        i, j, k = key
        return np.multiply.outer(np.multiply.outer(self._fx[i], self._fy[j]), self._fz[k])


def bunch(particles, chunk=1 << 20, seed=0):
    """Blocks of a Gaussian electron bunch (n = 3: x, y, z, px, py, pz, w),
    `chunk` particles at a time."""
    rng = np.random.default_rng(seed)
    for start in range(0, particles, chunk):
        count = min(chunk, particles - start)
        ps = np.empty((7, count), np.float32)
        ps[0] = rng.normal(60.0, 3.0, count)
        ps[1:3] = rng.normal(0.0, 2.0, (2, count))
        ps[3] = rng.normal(50.0, 5.0, count) + 0.5 * (ps[0] - 60.0)
        ps[4:6] = rng.normal(0.0, 0.5, (2, count))
        ps[6] = rng.uniform(0.5, 1.5, count)
        yield ps


def write_sample(out: Path, size: int):
    """Writes field.bin (size**3 points) and phase_space.bin (size**3 / 8
    particles, about as many bytes) into `out`; returns their paths."""
    from .. import write_field, write_phase_space

    field, phase = out / "field.bin", out / "phase_space.bin"
    pulse = Pulse(size)
    blocks = 2 if size >= 2 else 1
    write_field(field, pulse, pulse.x, pulse.y, pulse.z, blocks=(blocks, blocks))
    write_phase_space(phase, bunch(max(size**3 // 8, 1)), 3)
    return field, phase


class Demo(Command):
    name = "demo"
    help = "inspect, load and plot the sample dumps shipped with the package"

    def add_arguments(self, p):
        p.add_argument(
            "--out",
            default="quickio-demo",
            metavar="DIR",
            help="directory for the pictures (and dumps), made if missing (default: ./quickio-demo)",
        )
        p.add_argument(
            "--size",
            type=int,
            metavar="N",
            help="instead, write a field dump of N**3 points and a phase-space dump of N**3/8 "
            "particles (n = 3) into DIR, streamed: N = 512 makes two dumps of 0.5 GB",
        )

    def run(self, args):
        out = Path(args.out)
        if args.size is not None:
            return self.write(out, args.size)
        # The folder for the pictures is made before anything is loaded, and
        # only when there is something to draw with.
        try:
            plot = require_matplotlib()
        except CliError as e:
            print(f"{PROG}: plots skipped: {e}", file=sys.stderr)
            plot = None
        if plot is not None:
            try:
                out.mkdir(parents=True, exist_ok=True)
            except OSError as e:
                raise CliError(f"{out}: cannot make the output directory: {e.strerror}") from e
        with (
            resources.as_file(sample("field.bin")) as field_path,
            resources.as_file(sample("phase_space.bin")) as phase_path,
        ):
            with open_dump(os.fspath(field_path), None) as fd, open_dump(os.fspath(phase_path), 3) as pd:
                print(format_field(field_summary(fd.header)))
                print()
                print(format_phase(phase_summary(pd.header)))
                print()
                f, x, y, z = load(fd)
                ps = load(pd)
        print(
            f"meshdump.read_Vintar_bin  -> field {f.shape} {f.dtype}, "
            f"axes {x.shape} {y.shape} {z.shape}, values {f.min():.4g} to {f.max():.4g}"
        )
        print(f"beamdump.total_phase_space_read  -> particles {ps.shape} {ps.dtype}")
        if plot is None:
            return EXIT_OK
        with writing(out):
            plot.plot_field(f, x, y, z, out / "field.png", title="sample field dump: a laser pulse")
            plot.plot_phase_space(
                ps, 0, 3, out / "phase_space.png", names=("x", "px"), title="sample phase-space dump: px against x"
            )
        print(f"wrote {out / 'field.png'} and {out / 'phase_space.png'}")
        return EXIT_OK

    def write(self, out: Path, size: int) -> int:
        if not 1 <= size <= 2048:
            raise CliError(f"--size must be 1 to 2048, not {size}")
        try:
            out.mkdir(parents=True, exist_ok=True)
        except OSError as e:
            raise CliError(f"{out}: cannot make the output directory: {e.strerror}") from e
        with writing(out, "the dumps"):
            field, phase = write_sample(out, size)
        print(f"wrote {field} ({size}**3 points) and {phase} ({max(size**3 // 8, 1):,} particles, n = 3)")
        print(f"try: {PROG} info {phase} --n-dimensions 3")
        print(f"     {PROG} plot {phase} --n-dimensions 3 --components 0 3 --log -o phase_space.pdf")
        print(f"     {PROG} plot {field} --at x=60 -o field.pdf")
        return EXIT_OK
