"""`quickio info`: what a dump holds and whether it is whole, from its
headers, axes and block counts; with --stats, the statistics of each
component of a phase-space dump, streamed from its particles. Of a view
(an HDF5 view or XDMF file that virtualize wrote), its dumps and whether
each is still the file the view was made from."""

from __future__ import annotations

import json
import os

from ..header import FieldHeader
from . import _labels, _summary
from ._base import EXIT_NOT_WELL_FORMED, EXIT_OK, Command
from ._dump import DIMS_HELP, PATH_HELP, is_url, n_hint, open_dump
from ._reduce import Particles

VIEW_SUFFIXES = (".h5", ".hdf5", ".nc", ".xmf", ".xdmf")


def statistics(dump) -> list:
    """min, max, mean, std and NaN count of each component, as JSON values."""
    m = Particles(dump).moments()
    number = _summary.json_number
    return [
        {
            "min": number(float(m["min"][k])),
            "max": number(float(m["max"][k])),
            "mean": number(float(m["mean"][k])),
            "std": number(float(m["std"][k])),
            "nan": int(m["nan"][k]),
        }
        for k in range(dump.header.components)
    ]


def summarise(dump, all_blocks=False, stats=False, labels=None) -> dict:
    header = dump.header
    if isinstance(header, FieldHeader):
        return _summary.field_summary(header, all_blocks)
    hint = None if header.well_formed else n_hint(dump)
    s = _summary.phase_summary(header, all_blocks, _labels.parse(labels, header.n_dimensions), hint)
    s["statistics"] = None
    if stats:
        # Statistics read every particle, which info otherwise never does.
        if not header.well_formed:
            s["statistics_skipped"] = "the dump is not well-formed"
        else:
            s["statistics"] = statistics(dump)
    return s


def view_summary(path):
    """What `info` shows of the view at `path`, None for a file that is no
    view of ours."""
    if is_url(path) or not path.lower().endswith(VIEW_SUFFIXES) or not os.path.isfile(path):
        return None
    from .. import views

    found = views.check_view(path)
    if found is None:
        return None
    dumps = [
        {
            "dump": f.record.ref,
            "path": f.path,
            "view": f.record.view,
            "matches": f.problem is None,
            "problem": f.problem,
        }
        for f in found
    ]
    return {"view": path, "dumps": dumps, "matches": all(d["matches"] for d in dumps)}


def print_view(s, as_json):
    if as_json:
        print(json.dumps(s))
        return
    dumps = s["dumps"]
    print(f"{s['view']}: a view of {_summary.plural(len(dumps), 'dump')}, written by quickio virtualize")
    for d in dumps:
        name = d["dump"] or "(a copy of its dump's particles)"
        where = f" ({d['path']})" if d["dump"] and d["path"] != d["dump"] else ""
        print(f"  {name}{where}: {'the file the view was made from' if d['matches'] else d['problem']}")
    changed = sum(not d["matches"] for d in dumps)
    verdict = (
        f"{changed} of {len(dumps)} not the file the view was made from"
        if changed
        else "every dump is the file the view was made from"
    )
    print(f"verdict: {verdict}")


class Info(Command):
    name = "info"
    help = (
        "summarise a dump: header, grid and axes or particle count, block table, and whether the "
        "file is whole and well-formed; reads no field or particle data"
    )
    details = "Of a view, its dumps and whether each is still the file the view was made from."
    epilog = "Exit status: 0 well-formed (a view: every dump matches), 1 not well-formed (a dump changed), 2 error."

    def add_arguments(self, p):
        p.add_argument("path", metavar="PATH", help=PATH_HELP)
        p.add_argument("--n-dimensions", type=int, metavar="N", help=DIMS_HELP)
        p.add_argument("--json", action="store_true", help="print the summary as one JSON object")
        _labels.add_option(p)
        p.add_argument(
            "--blocks",
            action="store_true",
            help=f"list every block; without it a table of more than {_summary.TABLE_ROWS} blocks "
            f"shows its first {_summary.TABLE_ROWS - _summary.TAIL_ROWS} and last "
            f"{_summary.TAIL_ROWS} (in text and in JSON)",
        )
        p.add_argument(
            "--stats",
            action="store_true",
            help="also read the particles of a phase-space dump for the statistics of each "
            "component (streamed: any size of dump)",
        )

    def run(self, args):
        view = view_summary(args.path)
        if view is not None:
            print_view(view, args.json)
            return EXIT_OK if view["matches"] else EXIT_NOT_WELL_FORMED
        with open_dump(args.path, args.n_dimensions) as dump:
            s = summarise(dump, args.blocks, args.stats, args.labels)
            (_summary.print_json if args.json else _summary.print_text)(s)
        return EXIT_OK if s["well_formed"] else EXIT_NOT_WELL_FORMED
