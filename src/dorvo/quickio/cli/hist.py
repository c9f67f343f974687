"""`quickio hist`: a histogram of one or two components of a phase-space
dump of any size, streamed from the file, URL or file object, as a picture
or as JSON counts and edges, or with --over-time the histograms of a run's
dumps as one picture. Its options are shared with `quickio plot`.

A dump is opened and scanned once, and read twice: a pass that counts what
the histogram will hold (and finds its ranges), and one that counts it."""

from __future__ import annotations

import json
import math
import os
import sys

from ..components import component_index
from . import _labels, _over_time
from ._base import EXIT_NOT_WELL_FORMED, EXIT_OK, PROG, CliError, Command
from ._dump import PATH_HELP, check_dimensions, open_dump, require_whole
from ._outputs import PICTURE_HELP, check_picture, writing
from ._reduce import Census, Particles
from ._summary import json_number

# Status of a histogram with nothing in it: the selection kept no particle.
EXIT_EMPTY = EXIT_NOT_WELL_FORMED


def add_histogram_options(p, components_help, components_required=True) -> None:
    """The options that choose and shape a histogram of particles."""
    p.add_argument(
        "--components",
        nargs="+",
        required=components_required,
        metavar="I",
        help=components_help + "; a component by its index or its name (px)",
    )
    p.add_argument(
        "--bins", type=int, nargs="+", metavar="B", help="bins, one count or one per component (default 100)"
    )
    p.add_argument(
        "--range",
        type=float,
        nargs="+",
        metavar="LO HI",
        help="range of each component (default: its finite minimum and maximum)",
    )
    p.add_argument(
        "--where",
        nargs=3,
        action="append",
        metavar=("K", "LO", "HI"),
        help="keep only particles with LO <= component K <= HI, K an index or a name (repeatable; LO "
        "may be -inf, HI inf)",
    )
    p.add_argument("--weights", metavar="K", help="weight each particle by its component K (index or name)")
    p.add_argument("--log", action="store_true", help="counts on a log scale")
    _labels.add_option(p)


def component(text, n_dimensions, names, option) -> int:
    """The index of the component that `text` names: one of `names`, or an
    index 0 to 2n."""
    key = text if text in names else text.strip()
    if key not in names:
        try:
            key = int(key)
        except ValueError:
            pass
    try:
        return component_index(key, n_dimensions, names, option)
    except ValueError as e:
        raise CliError(str(e)) from None


def arguments(args, n_dimensions, comps, names):
    """(components, bins, ranges, where, weights) from the command line,
    checked as far as the arguments alone decide, so that an error in them
    is never reported as a malformed dump. Components are given by index
    or by one of `names`, and come back as indices."""
    if not 1 <= len(comps) <= 2:
        raise CliError(f"--components takes one or two components, not {len(comps)}")
    bins = args.bins or [100]
    if len(bins) not in (1, len(comps)):
        raise CliError(f"--bins takes one count or one per component ({len(comps)}), not {len(bins)}")
    ranges = None
    if args.range is not None:
        if len(args.range) != 2 * len(comps):
            raise CliError(f"--range takes LO HI for each component ({2 * len(comps)} numbers), not {len(args.range)}")
        ranges = [tuple(args.range[i : i + 2]) for i in range(0, len(args.range), 2)]
    check_dimensions(n_dimensions)
    where = {}
    for k, lo, hi in args.where or []:
        try:
            window = (float(lo), float(hi))
        except ValueError:
            raise CliError(f"--where takes a component and two numbers, not {k} {lo} {hi}") from None
        where[component(k, n_dimensions, names, "--where")] = window
    comps = [component(str(c), n_dimensions, names, "--components") for c in comps]
    weights = None if args.weights is None else component(args.weights, n_dimensions, names, "--weights")
    if min(bins) < 1:
        raise CliError(f"--bins must be at least 1, not {min(bins)}")
    for lo, hi in [*(ranges or []), *where.values()]:
        if not lo <= hi:
            raise CliError(f"a range must have LO <= HI, not {lo:g} {hi:g}")
    for lo, hi in ranges or []:
        if not (math.isfinite(lo) and math.isfinite(hi)):
            raise CliError(f"--range must be finite, not {lo:g} {hi:g}")
    return comps, bins if len(bins) > 1 else bins[0], ranges, where, weights


def counted(path, census: Census, comps, where, names):
    """What the census of a histogram of `comps` after `where` says: how
    many particles were left out for NaN or Inf (on stderr; returned as a
    note for the picture, else None); a selection that keeps no particle
    is refused with status EXIT_EMPTY."""
    selected, finite = census.selected, census.finite
    which = " or ".join(names[c] for c in comps)
    if selected == 0:
        raise EmptySelection(f"{path}: no particle passes the selection" if where else f"{path}: no particles")
    if finite == 0:
        raise EmptySelection(f"{path}: all {selected:,} selected particles have NaN or Inf in {which}")
    if finite < selected:
        note = f"left out: {selected - finite:,} particles with NaN or Inf in {which}"
        print(f"{PROG}: note: {note}", file=sys.stderr)
        return note
    return None


class EmptySelection(Exception):
    """Nothing to count; reported as one line with status EXIT_EMPTY."""


def empty(e) -> int:
    print(f"{PROG}: {e}: nothing to count", file=sys.stderr)
    return EXIT_EMPTY


def axis_label(names, c):
    return f"{names[c]} (component {c})"


def histogram(dump, comps, bins, ranges, where, weights, names):
    """(counts, edges, note) of the histogram of the opened, well-formed
    phase-space `dump`: a count pass, then the histogram's own."""
    particles = Particles(dump)
    census = particles.census(comps, where)
    note = counted(dump.name, census, comps, where, names)
    result = particles.histogram(comps, bins, ranges or census.ranges, where, weights)
    return result[0], result[1:], note


class Hist(Command):
    name = "hist"
    help = "histogram of one or two components of a phase-space dump of any size"
    details = (
        "A dump is streamed, in memory that does not grow with it: from the local disk, or from a URL "
        "by byte ranges. Particles with NaN or Inf in a histogram's components are left out "
        "and counted in a note."
    )
    epilog = "Exit status: 0 written, 1 no particle to count (an empty selection), 2 error."

    def add_arguments(self, p):
        p.add_argument(
            "path",
            metavar="PATH",
            nargs="+",
            help=PATH_HELP + "; with --over-time, the dumps of a run (or one quoted glob pattern)",
        )
        p.add_argument(
            "--n-dimensions",
            type=int,
            metavar="N",
            required=True,
            help="dimension count of the dump (its particles have 2N+1 components)",
        )
        add_histogram_options(p, "one component, or two (I J): J against I")
        p.add_argument(
            "--over-time",
            action="store_true",
            help="one histogram of one component per dump of a run, on the same bins, drawn as a map of "
            "step against value; the dumps' steps are the last numbers in their names",
        )
        p.add_argument("-o", "--output", metavar="OUT.png", help=f"write the histogram as a picture; {PICTURE_HELP}")
        p.add_argument("--json", action="store_true", help="print the counts and edges as one JSON object")

    def run(self, args):
        if args.output is None and not args.json:
            raise CliError("say where the histogram goes: -o OUT.png, --json, or both")
        if args.over_time:
            return _over_time.run(args, arguments, lambda text: empty(EmptySelection(text)))
        if len(args.path) > 1:
            raise CliError(f"hist takes one dump, not {len(args.path)}; --over-time takes the dumps of a run")
        args.path = args.path[0]
        plot = check_picture(args.output, args.path) if args.output is not None else None
        check_dimensions(args.n_dimensions)
        # The dump before the labels: its size bounds the dimension count, and
        # so how many names the default list makes (a field dump is refused there).
        with open_dump(args.path, args.n_dimensions) as dump:
            names = _labels.parse(args.labels, args.n_dimensions)
            comps, bins, ranges, where, weights = arguments(args, args.n_dimensions, args.components, names)
            require_whole(dump)
            try:
                counts, edges, note = histogram(dump, comps, bins, ranges, where, weights, names)
            except EmptySelection as e:
                return empty(e)
        if plot is not None:
            counted_what = (
                f"{int(counts.sum())} particles counted" if weights is None else f"weighted by {names[weights]}"
            )
            title = f"{os.path.basename(args.path)}: {counted_what}" + (" (filtered)" if where else "")
            with writing(args.output):
                plot.plot_histogram(
                    counts,
                    edges,
                    comps,
                    args.output,
                    log=args.log,
                    title=title,
                    names=[axis_label(names, c) for c in comps],
                    weights=None if weights is None else names[weights],
                    note=note,
                )
        if args.json:
            print(
                json.dumps(
                    {
                        "path": args.path,
                        "n_dimensions": args.n_dimensions,
                        "components": comps,
                        "labels": [names[c] for c in comps],
                        "weights": weights,
                        "where": {str(k): [json_number(v) for v in window] for k, window in where.items()},
                        "edges": [e.tolist() for e in edges],
                        "counts": counts.tolist(),
                    }
                )
            )
        elif args.output is not None:
            print(f"wrote {args.output}")
        return EXIT_OK
