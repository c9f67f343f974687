"""`quickio plot`: a picture of a dump, in the format its suffix names.
Of a field dump, slices of the grid (by default the three mid-planes);
of a phase-space dump, the histogram of one or two components, streamed
from the file as `quickio hist` counts it (same options)."""

from __future__ import annotations

import os

from ..header import FieldHeader
from . import _labels
from ._base import EXIT_OK, CliError, Command
from ._dump import DIMS_HELP, PATH_HELP, dump_name, load, open_dump, require_whole
from ._outputs import PICTURE_HELP, check_picture, writing
from .hist import EmptySelection, add_histogram_options, arguments, axis_label, empty, histogram

HISTOGRAM_OPTIONS = ("components", "bins", "range", "where", "weights", "labels")


def finite_extent(axis):
    """The least and the greatest finite point of an axis."""
    import numpy as np

    a = np.asarray(axis, dtype=np.float64)
    a = a[np.isfinite(a)]
    return float(a.min()), float(a.max())


def planes(header, at, index):
    """The (axis, index) of each slice asked for by --at AXIS=VALUE (the
    point nearest VALUE, in axis units, which must lie within the axis)
    and --index AXIS=N, in order; None for the default mid-planes."""
    from ..plot import nearest_index

    asked = [("at", a) for a in at or []] + [("index", a) for a in index or []]
    if not asked:
        return None
    names = {"x": "x", "y": "y", "z": "z", "i": "x", "j": "y", "k": "z"}
    sizes = {"x": header.nx, "y": header.ny, "z": header.nz}
    axes = {"x": header.x, "y": header.y, "z": header.z}
    out = []
    for option, text in asked:
        name, sep, value = text.partition("=")
        axis = names.get(name.strip().lower())
        if not sep or axis is None:
            raise CliError(f"--{option} takes AXIS=VALUE with AXIS one of x, y, z (or i, j, k), not {text!r}")
        try:
            number = float(value) if option == "at" else int(value)
        except ValueError:
            raise CliError(
                f"--{option} {text}: {value!r} is not a {'number' if option == 'at' else 'whole number'}"
            ) from None
        if option == "index":
            if not 0 <= number < sizes[axis]:
                raise CliError(f"--index {text}: the {axis} axis has points 0 to {sizes[axis] - 1}")
            out.append((axis, number))
        else:
            i = nearest_index(axes[axis], number)
            if i is None:
                raise CliError(f"--at {text}: the {axis} axis has no finite point")
            lo, hi = finite_extent(axes[axis])
            if not lo <= number <= hi:
                # The nearest point of a position outside the grid is its
                # edge, which is not the plane asked for.
                raise CliError(f"--at {text}: outside the grid, whose {axis} axis runs from {lo:g} to {hi:g}")
            out.append((axis, i))
    return out


def draw_field(dump, out, args, plot):
    header = dump.header
    for option in HISTOGRAM_OPTIONS:
        if getattr(args, option) is not None:
            raise CliError(f"--{option} applies to phase-space dumps only")
    slices = planes(header, args.at, args.index)
    f, x, y, z = load(dump)
    with writing(out):
        # The field's name for its colour bar: the file's (a dump does not
        # record what it holds).
        plot.plot_field(
            f, x, y, z, out, title=os.path.basename(header.path), slices=slices, name=dump_name(header.path)
        )


def draw_phase_space(dump, out, args, plot):
    if args.at or args.index:
        raise CliError("--at and --index apply to field dumps only")
    header = dump.header
    n = header.n_dimensions
    names = _labels.parse(args.labels, n)
    comps, bins, ranges, where, weights = arguments(args, n, args.components or [0, n], names)
    counts, edges, note = histogram(dump, comps, bins, ranges, where, weights, names)
    shown = [names[c] for c in comps]
    title = (
        f"{os.path.basename(header.path)}: "
        + (" against ".join(reversed(shown)))
        + (f", weighted by {names[weights]}" if weights is not None else "")
        + (" (filtered)" if where else "")
    )
    with writing(out):
        plot.plot_histogram(
            counts,
            edges,
            comps,
            out,
            log=args.log,
            title=title,
            names=[axis_label(names, c) for c in comps],
            weights=None if weights is None else names[weights],
            note=note,
        )


class Plot(Command):
    name = "plot"
    help = (
        "write a picture of a dump: slices of a field dump, or a histogram of one or two components "
        "of a phase-space dump"
    )
    details = (
        "Needs matplotlib. A phase-space dump is streamed, as hist streams it, in memory that does not grow with it."
    )
    epilog = "Exit status: 0 written, 1 no particle to count (an empty selection), 2 error."

    def add_arguments(self, p):
        p.add_argument("path", metavar="PATH", help=PATH_HELP)
        p.add_argument("-o", "--output", required=True, metavar="OUT.png", help=f"the picture to write; {PICTURE_HELP}")
        p.add_argument("--n-dimensions", type=int, metavar="N", help=DIMS_HELP)
        p.add_argument(
            "--at",
            action="append",
            metavar="AXIS=VALUE",
            help="field dumps: a slice through the point nearest VALUE (axis units) along x, y or "
            "z, e.g. x=55.0 for the y-z plane there (repeatable; default: the three mid-planes)",
        )
        p.add_argument(
            "--index",
            action="append",
            metavar="AXIS=N",
            help="field dumps: a slice at grid index N along x, y or z (or i, j, k), e.g. k=256 (repeatable)",
        )
        add_histogram_options(
            p,
            "phase-space dumps: one component, or two (I J): J against I (default 0 and N)",
            components_required=False,
        )

    def run(self, args):
        plot = check_picture(args.output, args.path)
        with open_dump(args.path, args.n_dimensions) as dump:
            # Everything the header can tell is checked before the data are read.
            require_whole(dump)
            try:
                if isinstance(dump.header, FieldHeader):
                    draw_field(dump, args.output, args, plot)
                else:
                    draw_phase_space(dump, args.output, args, plot)
            except EmptySelection as e:
                return empty(e)
        print(f"wrote {args.output}")
        return EXIT_OK
