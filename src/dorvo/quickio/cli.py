"""The `quickio` command: inspect, plot and demonstrate dumps.

    quickio info PATH [--n-dimensions N] [--json]
    quickio plot PATH -o OUT.png [--n-dimensions N] [--components I J]
    quickio demo [--out DIR]

A file that starts like a field dump is read as one; any other file is read
as a phase-space dump with the dimension count given by --n-dimensions,
since such a dump does not record it.

Exit status: 0 on success; 1 when `info` printed its summary but found the
dump cut off or ill-formed; 2 for an error (a missing file, a file that is
no dump, a malformed dump, bad arguments), reported as one line on stderr.
"""
from __future__ import annotations

import argparse
import json
import math
import os
import struct
import sys
from importlib import resources
from pathlib import Path

import numpy as np

from . import __version__
from .header import (FieldHeader, PhaseSpaceHeader, is_field_dump, read_field_header,
                     read_phase_space_header)

PROG = "quickio"
SUFFIX = ".bin"
# Rows of the block table printed in full; longer tables show their head and tail.
TABLE_ROWS = 12


class CliError(Exception):
    """An error to report as one line on stderr, with exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise CliError(f"{message} (see '{self.prog} --help')")


# ---------------------------------------------------------------- reading


def _inspect(path, n_dimensions):
    """Header of the dump at `path`: a field header when the file starts
    like a field dump, a phase-space header read with `n_dimensions`
    otherwise."""
    if not os.path.exists(path):
        raise FileNotFoundError(2, "No such file or directory", path)
    if os.path.isdir(path):
        raise CliError(f"{path}: is a directory, not a dump")
    if is_field_dump(path):
        return read_field_header(path)
    if n_dimensions is None:
        raise CliError(f"{path}: not a field dump; to read it as a phase-space dump, "
                       f"give its dimension count with --n-dimensions N")
    if n_dimensions < 0:
        raise CliError(f"--n-dimensions must be 0 or more, not {n_dimensions}")
    return read_phase_space_header(path, n_dimensions)


def _loader_name(path):
    """The name the loaders take: the path without its ".bin", which they
    append themselves."""
    if not path.endswith(SUFFIX):
        raise CliError(f"{path}: the loaders read only files whose names end in {SUFFIX}")
    return path[:-len(SUFFIX)]


def _require_whole(header):
    if not header.well_formed:
        raise CliError(f"{header.path}: cannot load a dump that is not well-formed: {header.reason}")


def load_field(header: FieldHeader):
    """(field, x, y, z) of a well-formed field dump, through the loader."""
    _require_whole(header)
    from . import meshdump

    return meshdump.read_Vintar_bin(_loader_name(header.path), header.params)


def load_phase_space(header: PhaseSpaceHeader):
    """The (2n+1, P) particle array of a well-formed phase-space dump,
    through the loader."""
    _require_whole(header)
    if header.particles == 0:
        return np.empty((header.components, 0), dtype=np.float32, order="F")
    from . import beamdump

    return beamdump.total_phase_space_read(_loader_name(header.path), header.params)


# ---------------------------------------------------------------- summaries


def _axis_summary(axis):
    """Range, spacing and length of an axis, or None if the file lacks it."""
    if axis is None:
        return None
    a = axis.astype(np.float64)
    out = {"points": int(a.size), "min": None, "max": None, "spacing": None, "uniform": None}
    if a.size:
        out["min"], out["max"] = float(a.min()), float(a.max())
    if a.size >= 2:
        steps = np.diff(a)
        mean = float(steps.mean())
        uniform = bool(np.allclose(steps, mean, rtol=1e-3, atol=1e-6 * max(abs(mean), 1e-30)))
        out["spacing"] = mean if uniform else [float(steps.min()), float(steps.max())]
        out["uniform"] = uniform
    return out


def _finite(v):
    """JSON has no NaN or infinity; those become null."""
    return v if v is None or math.isfinite(v) else None


def field_summary(h: FieldHeader) -> dict:
    axes = {name: _axis_summary(a) for name, a in (("x", h.x), ("y", h.y), ("z", h.z))}
    for a in axes.values():
        if a:
            a["min"], a["max"] = _finite(a["min"]), _finite(a["max"])
            if isinstance(a["spacing"], float):
                a["spacing"] = _finite(a["spacing"])
    return {
        "kind": "field", "path": h.path, "file_size": h.file_size, "expected_size": h.expected_size,
        "nparam": h.nparam, "nproc_y": h.nproc_y, "nproc_z": h.nproc_z,
        "nx": h.nx, "ny": h.ny, "nz": h.nz, "ndimension": h.ndimension,
        "blocks": [{"layer": b.layer, "column": b.column, "y0": b.y0, "z0": b.z0, "nx_loc": b.nx_loc,
                    "ny_loc": b.ny_loc, "nz_loc": b.nz_loc, "offset": b.offset} for b in h.blocks],
        "axes": axes,
        "int_params": list(h.int_params), "real_params": [_finite(v) for v in h.real_params],
        "well_formed": h.well_formed, "reason": h.reason,
    }


def phase_summary(h: PhaseSpaceHeader, ps=None) -> dict:
    stats = None
    if ps is not None:
        with np.errstate(all="ignore"):
            stats = [{"min": _finite(float(c.min())) if c.size else None,
                      "max": _finite(float(c.max())) if c.size else None,
                      "mean": _finite(float(c.mean(dtype=np.float64))) if c.size else None}
                     for c in ps]
    return {
        "kind": "phase_space", "path": h.path, "file_size": h.file_size,
        "n_dimensions": h.n_dimensions, "components": h.components, "entry_bytes": h.entry_bytes,
        "particles": h.particles,
        "blocks": [{"offset": b.offset, "count": b.count} for b in h.blocks],
        "empty_blocks": sum(1 for b in h.blocks if b.count <= 0),
        "trailing_bytes": h.trailing_bytes,
        "well_formed": h.well_formed, "reason": h.reason,
        "statistics": stats,
    }


def _num(v):
    return "-" if v is None else f"{v:.6g}"


def _verdict(s):
    return "well-formed" if s["well_formed"] else f"NOT well-formed: {s['reason']}"


def format_field(s: dict) -> str:
    lines = [
        f"field dump     {s['path']}",
        f"Nparam         {s['nparam']}" + (f"   (ndimension {s['ndimension']})" if s["ndimension"] is not None else ""),
        f"blocks         {s['nproc_y']} x {s['nproc_z']}   (nproc_y x nproc_z)",
        f"grid           {s['nx']} x {s['ny']} x {s['nz']}   (nx x ny x nz)",
    ]
    for name, a in s["axes"].items():
        if a is None:
            lines.append(f"{name} axis         not in the file")
            continue
        if a["points"] == 0:
            text = "no points"
        elif a["points"] == 1:
            text = f"{_num(a['min'])}   (1 point)"
        else:
            sp = a["spacing"]
            spacing = (f"spacing {_num(sp)}" if a["uniform"]
                       else f"spacing {_num(sp[0])} to {_num(sp[1])} (not uniform)")
            text = f"{_num(a['min'])} to {_num(a['max'])}   {spacing}   ({a['points']} points)"
        lines.append(f"{name} axis         {text}")
    rows = s["blocks"]
    lines.append(f"block table    {len(rows)} block{'s' if len(rows) != 1 else ''} in the file")
    head = "  layer  column      y0      z0  nx_loc  ny_loc  nz_loc        offset"
    lines.append(head)
    shown = rows if len(rows) <= TABLE_ROWS else rows[:TABLE_ROWS - 2] + [None] + rows[-2:]
    for r in shown:
        if r is None:
            lines.append(f"  ... {len(rows) - TABLE_ROWS + 2} more blocks ...")
            continue
        lines.append(f"  {r['layer']:5d}  {r['column']:6d}  {r['y0']:6d}  {r['z0']:6d}  {r['nx_loc']:6d}"
                     f"  {r['ny_loc']:6d}  {r['nz_loc']:6d}  {r['offset']:12d}")
    expected = "unknown" if s["expected_size"] is None else f"{s['expected_size']:,}"
    lines.append(f"file size      {s['file_size']:,} bytes (expected {expected})")
    lines.append(f"verdict        {_verdict(s)}")
    return "\n".join(lines)


def format_phase(s: dict) -> str:
    n = s["n_dimensions"]
    blocks = len(s["blocks"])
    in_blocks = s["file_size"] - s["trailing_bytes"]
    lines = [
        f"phase-space dump  {s['path']}",
        f"dimensions     n = {n}   ({s['components']} components, {s['entry_bytes']}-byte entries)",
        f"particles      {s['particles']:,}",
        f"blocks         {blocks}" + (f"   ({s['empty_blocks']} empty)" if s["empty_blocks"] else ""),
        f"file size      {s['file_size']:,} bytes"
        + (f" ({in_blocks:,} in blocks, {s['trailing_bytes']} stray bytes ignored)" if s["trailing_bytes"] else ""),
        f"verdict        {_verdict(s)}",
    ]
    if s.get("statistics_skipped") and s["particles"]:
        lines.append(f"statistics     not computed: {s['statistics_skipped']}")
    if s["statistics"] is not None:
        lines.append("  component             min             max            mean")
        for k, c in enumerate(s["statistics"]):
            lines.append(f"  {k:9d}  {_num(c['min']):>14}  {_num(c['max']):>14}  {_num(c['mean']):>14}")
    return "\n".join(lines)


def _summarise(header, load=True):
    """Summary dict of a header; for a phase-space dump that can be loaded,
    with the statistics of each component."""
    if isinstance(header, FieldHeader):
        return field_summary(header)
    stats, skipped = None, None
    if not header.well_formed:
        skipped = "the dump is not well-formed"
    elif not header.path.endswith(SUFFIX):
        skipped = f"the loader reads only files whose names end in {SUFFIX}"
    elif load:
        stats = phase_statistics(header)
    s = phase_summary(header)
    s["statistics"] = stats
    s["statistics_skipped"] = skipped
    return s


def _print_summary(s):
    print(format_field(s) if s["kind"] == "field" else format_phase(s))


# ---------------------------------------------------------------- commands


def cmd_info(args):
    s = _summarise(_inspect(args.path, args.n_dimensions), load=args.stats)
    if args.json:
        print(json.dumps(s, allow_nan=False))
    else:
        _print_summary(s)
    return 0 if s["well_formed"] else 1


def _components(header, pair):
    last = 2 * header.n_dimensions
    i, j = pair if pair is not None else (0, header.n_dimensions)
    for c in (i, j):
        if not 0 <= c <= last:
            raise CliError(f"component {c} out of range: a dump with n = {header.n_dimensions} "
                           f"has components 0 to {last}")
    return i, j


def _plot(header, out, pair=None):
    from . import plot

    # Everything the header can tell is checked first, matplotlib next, and
    # only then is the dump loaded, so no error waits for a long load.
    _require_whole(header)
    _loader_name(header.path)
    if isinstance(header, FieldHeader):
        if pair is not None:
            raise CliError("--components applies to phase-space dumps only")
    else:
        i, j = _components(header, pair)
        if header.particles == 0:
            raise CliError(f"{header.path}: no particles to plot")
    plot.require_matplotlib()
    name = os.path.basename(header.path)
    if isinstance(header, FieldHeader):
        f, x, y, z = load_field(header)
        plot.plot_field(f, x, y, z, out, title=name)
    else:
        plot.plot_phase_space(load_phase_space(header), i, j, out, title=(
            f"{name}: {header.particles} particles, component {j} against component {i}"))


def cmd_plot(args):
    if not args.output.lower().endswith(".png"):
        raise CliError(f"{args.output}: the picture is written as PNG; name it *.png")
    header = _inspect(args.path, args.n_dimensions)
    _plot(header, args.output, args.components)
    print(f"wrote {args.output}")
    return 0


def _sample(name):
    return resources.files(__package__).joinpath("samples", name)


def cmd_demo(args):
    from . import plot

    out = Path(args.out)
    field_res, phase_res = _sample("field.bin"), _sample("phase_space.bin")
    with resources.as_file(field_res) as field_path, resources.as_file(phase_res) as phase_path:
        field_path, phase_path = os.fspath(field_path), os.fspath(phase_path)
        fh = read_field_header(field_path)
        ph = read_phase_space_header(phase_path, 3)
        print(format_field(field_summary(fh)))
        print()
        print(format_phase(_summarise(ph)))
        print()

        f, x, y, z = load_field(fh)
        ps = load_phase_space(ph)
        print(f"meshdump.read_Vintar_bin  -> field {f.shape} {f.dtype}, "
              f"axes {x.shape} {y.shape} {z.shape}, values {f.min():.4g} to {f.max():.4g}")
        print(f"beamdump.total_phase_space_read  -> particles {ps.shape} {ps.dtype}")

        try:
            out.mkdir(parents=True, exist_ok=True)
        except OSError as e:
            raise CliError(f"{out}: cannot make the output directory: {e.strerror}") from None
        try:
            plot.plot_field(f, x, y, z, out / "field.png", title="sample field dump: a laser pulse")
            plot.plot_phase_space(ps, 0, 3, out / "phase_space.png",
                                  title="sample phase-space dump: px against x")
        except plot.MatplotlibMissing as e:
            print(f"{PROG}: plots skipped: {e}", file=sys.stderr)
            return 0
        print(f"wrote {out / 'field.png'} and {out / 'phase_space.png'}")
    return 0


# ---------------------------------------------------------------- dumps bigger than memory
#
# `hist` and `info --stats` stream the dump through dorvo.quickio.particles:
# one pass per result, in memory that does not grow with the dump.


def phase_statistics(header: PhaseSpaceHeader) -> list:
    """min, max, mean, std and NaN count of each component, streamed."""
    from . import particles

    m = particles.moments(header.path, header.n_dimensions, progress=_progress_bar("statistics"))
    return [{"min": _finite(float(m["min"][k])), "max": _finite(float(m["max"][k])),
             "mean": _finite(float(m["mean"][k])), "std": _finite(float(m["std"][k])), "nan": int(m["nan"][k])}
            for k in range(header.components)]


def _add_stats_option(p):
    p.add_argument("--stats", action="store_true",
                   help="also read the particles of a phase-space dump for the statistics of each component "
                        "(streamed: any size of dump)")


def _progress_bar(label):
    """A progress callback drawing a tqdm bar on a terminal, once a pass has
    taken a second; None without a terminal or without tqdm."""
    if not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    bar = None

    def show(done, total):
        nonlocal bar
        if bar is None:
            bar = tqdm(total=total, desc=label, unit="B", unit_scale=True, delay=1.0, leave=False)
        bar.update(done - bar.n)
        if done >= total:
            bar.close()

    return show


def _add_hist_parser(sub):
    p = sub.add_parser("hist", help="histogram of one or two components of a phase-space dump of any size")
    p.add_argument("path", metavar="PATH")
    p.add_argument("--n-dimensions", type=int, metavar="N", required=True,
                   help="dimension count of the dump (its particles have 2N+1 components)")
    p.add_argument("--components", type=int, nargs="+", required=True, metavar="I",
                   help="one component, or two (I J): J against I")
    p.add_argument("--bins", type=int, nargs="+", metavar="B", help="bins, one count or one per component (default 100)")
    p.add_argument("--range", type=float, nargs="+", metavar="LO HI",
                   help="range of each component (default: its finite minimum and maximum)")
    p.add_argument("--where", nargs=3, action="append", metavar=("K", "LO", "HI"),
                   help="keep only particles with LO <= component K <= HI (repeatable; HI may be inf)")
    p.add_argument("--log", action="store_true", help="counts on a log scale")
    p.add_argument("-o", "--output", metavar="OUT.png", help="write the histogram as a PNG")
    p.add_argument("--json", action="store_true", help="print the counts and edges as one JSON object")
    p.set_defaults(func=cmd_hist)


def _hist_arguments(args):
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
    # What the dump does not decide is checked here, so that an error in the
    # arguments is not reported as a malformed dump.
    if args.n_dimensions < 0:
        raise CliError(f"--n-dimensions must be 0 or more, not {args.n_dimensions}")
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


def cmd_hist(args):
    if args.output is None and not args.json:
        raise CliError("say where the histogram goes: -o OUT.png, --json, or both")
    if args.output is not None and not args.output.lower().endswith(".png"):
        raise CliError(f"{args.output}: the picture is written as PNG; name it *.png")
    comps, bins, ranges, where = _hist_arguments(args)
    _loader_name(args.path)
    if not os.path.exists(args.path):
        raise FileNotFoundError(2, "No such file or directory", args.path)
    if os.path.isfile(args.path) and is_field_dump(args.path):
        raise CliError(f"{args.path}: a field dump; hist reads phase-space dumps")
    from . import particles

    if args.output is not None:
        from . import plot

        plot.require_matplotlib()
    result = particles.histogram(args.path, args.n_dimensions, comps, bins=bins, range=ranges, where=where,
                                 progress=_progress_bar("histogram"))
    counts, edges = result[0], result[1:]
    if args.output is not None:
        name = os.path.basename(args.path)
        kept = int(counts.sum())
        title = f"{name}: {kept} particles counted" + (" (filtered)" if where else "")
        plot.plot_histogram(counts, edges, comps, args.output, log=args.log, title=title)
    if args.json:
        print(json.dumps({"path": args.path, "n_dimensions": args.n_dimensions, "components": comps,
                          "where": {str(k): list(v) for k, v in where.items()},
                          "edges": [e.tolist() for e in edges], "counts": counts.tolist()}))
    elif args.output is not None:
        print(f"wrote {args.output}")
    return 0


# ---------------------------------------------------------------- entry


def build_parser():
    parser = _Parser(prog=PROG, description="Inspect, plot and demonstrate field and phase-space dumps.",
                     epilog="Exit status: 0 success, 1 'info' found the dump not well-formed, 2 error.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)

    def dims(p):
        p.add_argument("--n-dimensions", type=int, metavar="N",
                       help="dimension count of a phase-space dump (its particles have 2N+1 components)")

    p = sub.add_parser("info", help="summarise a dump without loading its field data")
    p.add_argument("path", metavar="PATH")
    dims(p)
    p.add_argument("--json", action="store_true", help="print one JSON object")
    _add_stats_option(p)
    p.set_defaults(func=cmd_info)

    p = sub.add_parser("plot", help="write a quick-look PNG of a dump")
    p.add_argument("path", metavar="PATH")
    p.add_argument("-o", "--output", required=True, metavar="OUT.png")
    dims(p)
    p.add_argument("--components", type=int, nargs=2, metavar=("I", "J"),
                   help="phase-space components to plot against each other (default 0 and N)")
    p.set_defaults(func=cmd_plot)

    _add_hist_parser(sub)

    p = sub.add_parser("demo", help="inspect, load and plot the sample dumps shipped with the package")
    p.add_argument("--out", default="quickio-demo", metavar="DIR",
                   help="directory for the pictures (default: ./quickio-demo)")
    p.set_defaults(func=cmd_demo)
    return parser


def _one_line(text):
    return " ".join(str(text).split())


def main(argv=None):
    """Runs the command line; returns the exit status."""
    args = None
    try:
        args = build_parser().parse_args(argv)
        return args.func(args)
    except CliError as e:
        message = str(e)
    except BrokenPipeError:
        # The reader of our output went away (`quickio info ... | head`):
        # nothing left to say. Point stdout at devnull so that the flush at
        # exit does not complain again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except FileNotFoundError as e:
        message = f"{e.filename}: no such file" if e.filename else f"no such file: {e}"
    except OSError as e:
        message = f"{e.filename}: {e.strerror}" if e.filename and e.strerror else str(e)
    except ImportError as e:
        # MatplotlibMissing, or the extension modules not built.
        message = str(e)
    except (EOFError, ValueError, struct.error, IndexError, KeyError, MemoryError) as e:
        # What the header reader and the loaders raise for a dump they cannot read.
        path, text = getattr(args, "path", None), str(e)
        if path and text.startswith(path + ": "):
            text = text[len(path) + 2:]
        message = f"{path}: malformed dump: {text}" if path else f"malformed dump: {text}"
    except KeyboardInterrupt:
        return 130
    print(f"{PROG}: error: {_one_line(message)}", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
