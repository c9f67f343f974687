"""`quickio plot`: a quick-look PNG of a dump, loaded whole: the three
mid-plane slices of a field dump, or a histogram of two components of a
phase-space dump."""
from __future__ import annotations

import os

from ..header import FieldHeader
from ._base import EXIT_OK, CliError, Command
from ._dump import DIMS_HELP, PATH_HELP, load_field, load_phase_space, read_header, require_whole
from ._outputs import check_picture, require_matplotlib, writing


def components(header, pair):
    last = 2 * header.n_dimensions
    i, j = pair if pair is not None else (0, header.n_dimensions)
    for c in (i, j):
        if not 0 <= c <= last:
            raise CliError(f"component {c} out of range: a dump with n = {header.n_dimensions} "
                           f"has components 0 to {last}")
    return i, j


def draw(header, out, pair=None):
    # Everything the header can tell is checked first, matplotlib next, and
    # only then is the dump loaded, so no error waits for a long load.
    require_whole(header)
    if isinstance(header, FieldHeader):
        if pair is not None:
            raise CliError("--components applies to phase-space dumps only")
    else:
        i, j = components(header, pair)
        if header.particles == 0:
            raise CliError(f"{header.path}: no particles to plot")
    plot = require_matplotlib()
    name = os.path.basename(header.path)
    if isinstance(header, FieldHeader):
        f, x, y, z = load_field(header)
        with writing(out):
            plot.plot_field(f, x, y, z, out, title=name)
    else:
        ps = load_phase_space(header)
        with writing(out):
            plot.plot_phase_space(ps, i, j, out, title=(
                f"{name}: {header.particles:,} particles, component {j} against component {i}"))


class Plot(Command):
    name = "plot"
    help = ("write a quick-look PNG of a dump: the three mid-plane slices of a field dump, or a "
            "histogram of two components of a phase-space dump")
    details = "Needs matplotlib."

    def add_arguments(self, p):
        p.add_argument("path", metavar="PATH", help=PATH_HELP)
        p.add_argument("-o", "--output", required=True, metavar="OUT.png",
                       help="the PNG file to write; its folder must exist")
        p.add_argument("--n-dimensions", type=int, metavar="N", help=DIMS_HELP)
        p.add_argument("--components", type=int, nargs=2, metavar=("I", "J"),
                       help="phase-space components to plot, J against I (default 0 and N)")

    def run(self, args):
        check_picture(args.output, args.path)
        draw(read_header(args.path, args.n_dimensions), args.output, args.components)
        print(f"wrote {args.output}")
        return EXIT_OK
