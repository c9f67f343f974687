"""`quickio info`: what a dump holds and whether it is whole, from its
headers, axes and block counts; with --stats, the statistics of each
component of a phase-space dump, streamed from its particles."""
from __future__ import annotations

from ..header import FieldHeader
from . import _labels, _reduce, _summary
from ._base import EXIT_NOT_WELL_FORMED, EXIT_OK, Command
from ._dump import DIMS_HELP, PATH_HELP, read_header


def statistics(header) -> list:
    """min, max, mean, std and NaN count of each component, as JSON values."""
    m = _reduce.moments(header)
    number = _summary.json_number
    return [{"min": number(float(m["min"][k])), "max": number(float(m["max"][k])),
             "mean": number(float(m["mean"][k])), "std": number(float(m["std"][k])), "nan": int(m["nan"][k])}
            for k in range(header.components)]


def summarise(header, all_blocks=False, stats=False, labels=None) -> dict:
    if isinstance(header, FieldHeader):
        return _summary.field_summary(header, all_blocks)
    s = _summary.phase_summary(header, all_blocks, _labels.parse(labels, header.n_dimensions))
    s["statistics"] = None
    if stats:
        # Statistics read every particle, which info otherwise never does.
        if not header.well_formed:
            s["statistics_skipped"] = "the dump is not well-formed"
        else:
            s["statistics"] = statistics(header)
    return s


class Info(Command):
    name = "info"
    help = ("summarise a dump: header, grid and axes or particle count, block table, and whether the "
            "file is whole and well-formed; reads no field or particle data")
    epilog = "Exit status: 0 well-formed, 1 not well-formed, 2 error."

    def add_arguments(self, p):
        p.add_argument("path", metavar="PATH", help=PATH_HELP)
        p.add_argument("--n-dimensions", type=int, metavar="N", help=DIMS_HELP)
        p.add_argument("--json", action="store_true", help="print the summary as one JSON object")
        _labels.add_option(p)
        p.add_argument("--blocks", action="store_true",
                       help=f"list every block; without it a table of more than {_summary.TABLE_ROWS} blocks "
                            f"shows its first {_summary.TABLE_ROWS - _summary.TAIL_ROWS} and last "
                            f"{_summary.TAIL_ROWS} (in text and in JSON)")
        p.add_argument("--stats", action="store_true",
                       help="also read the particles of a phase-space dump for the statistics of each "
                            "component (streamed: any size of dump)")

    def run(self, args):
        s = summarise(read_header(args.path, args.n_dimensions), args.blocks, args.stats, args.labels)
        (_summary.print_json if args.json else _summary.print_text)(s)
        return EXIT_OK if s["well_formed"] else EXIT_NOT_WELL_FORMED
