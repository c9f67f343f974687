"""`quickio hist`: a histogram of one or two components of a phase-space
dump of any size, streamed from the file (a URL is loaded), as a PNG or as
JSON counts and edges."""
from __future__ import annotations

import json
import math
import os

from ..header import FieldHeader
from . import _reduce
from ._base import EXIT_OK, CliError, Command
from ._dump import PATH_HELP, check_dimensions, read_header, require_whole
from ._outputs import check_picture, require_matplotlib, writing
from ._summary import json_number


def arguments(args):
    """(components, bins, ranges, where) from the command line, checked as
    far as the arguments alone decide, so that an error in them is never
    reported as a malformed dump."""
    comps = args.components
    if len(comps) > 2:
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
    check_dimensions(args.n_dimensions)
    last = 2 * args.n_dimensions
    for c in [*comps, *where]:
        if not 0 <= c <= last:
            raise CliError(f"component {c} out of range: a dump with n = {args.n_dimensions} "
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


class Hist(Command):
    name = "hist"
    help = "histogram of one or two components of a phase-space dump of any size"
    details = ("A dump on the local disk is streamed, in memory that does not grow with it; a URL is "
               "loaded by byte ranges.")

    def add_arguments(self, p):
        p.add_argument("path", metavar="PATH", help=PATH_HELP)
        p.add_argument("--n-dimensions", type=int, metavar="N", required=True,
                       help="dimension count of the dump (its particles have 2N+1 components)")
        p.add_argument("--components", type=int, nargs="+", required=True, metavar="I",
                       help="one component, or two (I J): J against I")
        p.add_argument("--bins", type=int, nargs="+", metavar="B",
                       help="bins, one count or one per component (default 100)")
        p.add_argument("--range", type=float, nargs="+", metavar="LO HI",
                       help="range of each component (default: its finite minimum and maximum)")
        p.add_argument("--where", nargs=3, action="append", metavar=("K", "LO", "HI"),
                       help="keep only particles with LO <= component K <= HI (repeatable; LO may be -inf, "
                            "HI inf)")
        p.add_argument("--log", action="store_true", help="counts on a log scale")
        p.add_argument("-o", "--output", metavar="OUT.png", help="write the histogram as a PNG")
        p.add_argument("--json", action="store_true", help="print the counts and edges as one JSON object")

    def run(self, args):
        if args.output is None and not args.json:
            raise CliError("say where the histogram goes: -o OUT.png, --json, or both")
        if args.output is not None:
            check_picture(args.output, args.path)
        comps, bins, ranges, where = arguments(args)
        plot = require_matplotlib() if args.output is not None else None
        header = read_header(args.path, args.n_dimensions)
        if isinstance(header, FieldHeader):
            raise CliError(f"{args.path}: a field dump; hist reads phase-space dumps")
        require_whole(header)
        result = _reduce.histogram(header, comps, bins, ranges, where)
        counts, edges = result[0], result[1:]
        if plot is not None:
            kept = int(counts.sum())
            title = f"{os.path.basename(args.path)}: {kept} particles counted" + (" (filtered)" if where else "")
            with writing(args.output):
                plot.plot_histogram(counts, edges, comps, args.output, log=args.log, title=title)
        if args.json:
            print(json.dumps({"path": args.path, "n_dimensions": args.n_dimensions, "components": comps,
                              "where": {str(k): [json_number(v) for v in window] for k, window in where.items()},
                              "edges": [e.tolist() for e in edges], "counts": counts.tolist()}))
        elif args.output is not None:
            print(f"wrote {args.output}")
        return EXIT_OK
