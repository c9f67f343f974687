"""`quickio hist`: a histogram of one or two components of a phase-space
dump of any size, streamed from the file (a URL is loaded), as a picture or
as JSON counts and edges. Its options are shared with `quickio plot`."""
from __future__ import annotations

import json
import math
import os
import sys

from ..header import FieldHeader
from . import _labels, _reduce
from ._base import EXIT_NOT_WELL_FORMED, EXIT_OK, PROG, CliError, Command
from ._dump import PATH_HELP, check_dimensions, read_header, require_whole
from ._outputs import PICTURE_HELP, check_picture, writing
from ._summary import json_number

# Status of a histogram with nothing in it: the selection kept no particle.
EXIT_EMPTY = EXIT_NOT_WELL_FORMED


def add_histogram_options(p, components_help, components_required=True) -> None:
    """The options that choose and shape a histogram of particles."""
    p.add_argument("--components", type=int, nargs="+", required=components_required, metavar="I",
                   help=components_help)
    p.add_argument("--bins", type=int, nargs="+", metavar="B",
                   help="bins, one count or one per component (default 100)")
    p.add_argument("--range", type=float, nargs="+", metavar="LO HI",
                   help="range of each component (default: its finite minimum and maximum)")
    p.add_argument("--where", nargs=3, action="append", metavar=("K", "LO", "HI"),
                   help="keep only particles with LO <= component K <= HI (repeatable; LO may be -inf, HI inf)")
    p.add_argument("--weights", type=int, metavar="K", help="weight each particle by its component K")
    p.add_argument("--log", action="store_true", help="counts on a log scale")
    _labels.add_option(p)


def arguments(args, n_dimensions, comps):
    """(components, bins, ranges, where) from the command line, checked as
    far as the arguments alone decide, so that an error in them is never
    reported as a malformed dump."""
    if not 1 <= len(comps) <= 2:
        raise CliError(f"--components takes one or two components, not {len(comps)}")
    bins = args.bins or [100]
    if len(bins) not in (1, len(comps)):
        raise CliError(f"--bins takes one count or one per component ({len(comps)}), not {len(bins)}")
    ranges = None
    if args.range is not None:
        if len(args.range) != 2 * len(comps):
            raise CliError(f"--range takes LO HI for each component ({2 * len(comps)} numbers), "
                           f"not {len(args.range)}")
        ranges = [tuple(args.range[i:i + 2]) for i in range(0, len(args.range), 2)]
    where = {}
    for k, lo, hi in args.where or []:
        try:
            where[int(k)] = (float(lo), float(hi))
        except ValueError:
            raise CliError(f"--where takes a component and two numbers, not {k} {lo} {hi}") from None
    check_dimensions(n_dimensions)
    last = 2 * n_dimensions
    weights = [] if args.weights is None else [args.weights]
    for c in [*comps, *where, *weights]:
        if not 0 <= c <= last:
            raise CliError(f"component {c} out of range: a dump with n = {n_dimensions} "
                           f"has components 0 to {last}")
    if min(bins) < 1:
        raise CliError(f"--bins must be at least 1, not {min(bins)}")
    for lo, hi in [*(ranges or []), *where.values()]:
        if not lo <= hi:
            raise CliError(f"a range must have LO <= HI, not {lo:g} {hi:g}")
    for lo, hi in ranges or []:
        if not (math.isfinite(lo) and math.isfinite(hi)):
            raise CliError(f"--range must be finite, not {lo:g} {hi:g}")
    return comps, bins if len(bins) > 1 else bins[0], ranges, where


def counted(header, comps, where, names):
    """The particles a histogram of `comps` can count, after `where`: says
    how many were left out for NaN or Inf (on stderr; returned as a note
    for the picture, else None), and refuses a selection that keeps no
    particle with status EXIT_EMPTY."""
    selected, finite = _reduce.selection(header, comps, where)
    which = " or ".join(names[c] for c in comps)
    if selected == 0:
        raise EmptySelection(f"{header.path}: no particle passes the selection" if where
                             else f"{header.path}: no particles")
    if finite == 0:
        raise EmptySelection(f"{header.path}: all {selected:,} selected particles have NaN or Inf in {which}")
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


class Hist(Command):
    name = "hist"
    help = "histogram of one or two components of a phase-space dump of any size"
    details = ("A dump on the local disk is streamed, in memory that does not grow with it; a URL is "
               "loaded by byte ranges. Particles with NaN or Inf in a histogram's components are left out "
               "and counted in a note.")
    epilog = "Exit status: 0 written, 1 no particle to count (an empty selection), 2 error."

    def add_arguments(self, p):
        p.add_argument("path", metavar="PATH", help=PATH_HELP)
        p.add_argument("--n-dimensions", type=int, metavar="N", required=True,
                       help="dimension count of the dump (its particles have 2N+1 components)")
        add_histogram_options(p, "one component, or two (I J): J against I")
        p.add_argument("-o", "--output", metavar="OUT.png", help=f"write the histogram as a picture; {PICTURE_HELP}")
        p.add_argument("--json", action="store_true", help="print the counts and edges as one JSON object")

    def run(self, args):
        if args.output is None and not args.json:
            raise CliError("say where the histogram goes: -o OUT.png, --json, or both")
        plot = check_picture(args.output, args.path) if args.output is not None else None
        comps, bins, ranges, where = arguments(args, args.n_dimensions, args.components)
        names = _labels.parse(args.labels, args.n_dimensions)
        header = read_header(args.path, args.n_dimensions)
        if isinstance(header, FieldHeader):
            raise CliError(f"{args.path}: a field dump; hist reads phase-space dumps")
        require_whole(header)
        try:
            note = counted(header, comps, where, names)
        except EmptySelection as e:
            return empty(e)
        result = _reduce.histogram(header, comps, bins, ranges, where, args.weights)
        counts, edges = result[0], result[1:]
        if plot is not None:
            counted_what = (f"{int(counts.sum())} particles counted" if args.weights is None
                            else f"weighted by {names[args.weights]}")
            title = f"{os.path.basename(args.path)}: {counted_what}" + (" (filtered)" if where else "")
            with writing(args.output):
                plot.plot_histogram(counts, edges, comps, args.output, log=args.log, title=title,
                                    names=[axis_label(names, c) for c in comps],
                                    weights=None if args.weights is None else names[args.weights], note=note)
        if args.json:
            print(json.dumps({"path": args.path, "n_dimensions": args.n_dimensions, "components": comps,
                              "labels": [names[c] for c in comps], "weights": args.weights,
                              "where": {str(k): [json_number(v) for v in window] for k, window in where.items()},
                              "edges": [e.tolist() for e in edges], "counts": counts.tolist()}))
        elif args.output is not None:
            print(f"wrote {args.output}")
        return EXIT_OK
