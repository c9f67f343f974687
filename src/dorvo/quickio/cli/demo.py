"""`quickio demo`: inspect, load and plot the sample dumps shipped with the
package."""
from __future__ import annotations

import os
import sys
from importlib import resources
from pathlib import Path

from ._base import EXIT_OK, PROG, CliError, Command
from ._dump import load_field, load_phase_space, read_header
from ._outputs import require_matplotlib, writing
from ._summary import field_summary, format_field, format_phase, phase_summary


def sample(name):
    return resources.files("dorvo.quickio").joinpath("samples", name)


class Demo(Command):
    name = "demo"
    help = "inspect, load and plot the sample dumps shipped with the package"

    def add_arguments(self, p):
        p.add_argument("--out", default="quickio-demo", metavar="DIR",
                       help="directory for the pictures, made if missing (default: ./quickio-demo)")

    def run(self, args):
        out = Path(args.out)
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
        with resources.as_file(sample("field.bin")) as field_path, \
                resources.as_file(sample("phase_space.bin")) as phase_path:
            fh = read_header(os.fspath(field_path), None)
            ph = read_header(os.fspath(phase_path), 3)
            print(format_field(field_summary(fh)))
            print()
            print(format_phase(phase_summary(ph)))
            print()
            f, x, y, z = load_field(fh)
            ps = load_phase_space(ph)
        print(f"meshdump.read_Vintar_bin  -> field {f.shape} {f.dtype}, "
              f"axes {x.shape} {y.shape} {z.shape}, values {f.min():.4g} to {f.max():.4g}")
        print(f"beamdump.total_phase_space_read  -> particles {ps.shape} {ps.dtype}")
        if plot is None:
            return EXIT_OK
        with writing(out):
            plot.plot_field(f, x, y, z, out / "field.png", title="sample field dump: a laser pulse")
            plot.plot_phase_space(ps, 0, 3, out / "phase_space.png", names=("x", "px"),
                                  title="sample phase-space dump: px against x")
        print(f"wrote {out / 'field.png'} and {out / 'phase_space.png'}")
        return EXIT_OK
