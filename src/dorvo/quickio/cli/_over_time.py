"""`quickio hist --over-time`: the histogram of one component in every dump
of a run, on the same bins, drawn as a map of step against value, or given
as JSON. The dumps are those the shell's glob gives (or a quoted pattern,
which is globbed here), in step order; each is streamed, on the workers of
an active dask.distributed client or by local threads
(``particles.histogram`` of a run)."""

from __future__ import annotations

import glob
import json
import os
import sys

from .._dump import run as _run
from .._dump.targets import is_url, local_path
from . import _labels
from ._base import PROG, CliError
from ._dump import check_dimensions, progress_bar, reading
from ._outputs import check_picture, writing
from ._summary import json_number


def _targets(paths: list):
    """What particles.histogram takes as the run: a quoted pattern as it is,
    else the paths."""
    if len(paths) == 1 and _run.is_pattern(paths[0]):
        return paths[0]
    for p in paths:
        if os.path.isdir(p):
            raise CliError(f"{p}: is a directory, not a dump")
    return list(paths)


def _inputs(paths: list) -> list:
    """The dumps that an output must not be: those a quoted pattern matches
    (a pattern of local files, file:// URLs included), else the paths."""
    if len(paths) != 1 or not _run.is_pattern(paths[0]):
        return list(paths)
    pattern = local_path(paths[0]) if is_url(paths[0]) else paths[0]
    return [] if pattern is None else glob.glob(pattern)


def run(args, arguments, empty) -> int:
    """The command for --over-time; `arguments` checks the histogram's
    options as `hist` does, `empty` reports an empty selection."""
    from .. import particles

    paths = args.path
    label = paths[0] if len(paths) == 1 else f"{paths[0]} and {len(paths) - 1} more"
    plot = None
    if args.output is not None:
        for p in _inputs(paths) or paths:
            plot = check_picture(args.output, p)
    check_dimensions(args.n_dimensions)
    names = _labels.parse(args.labels, args.n_dimensions)
    comps, bins, ranges, where, weights = arguments(args, args.n_dimensions, args.components, names)
    if len(comps) != 1:
        raise CliError(f"--over-time draws one component against the step, not {len(comps)}")
    with reading(label, what="compute the histograms of", refusal="cannot compute the histograms"):
        h = particles.histogram(
            _targets(paths),
            args.n_dimensions,
            comps[0],
            bins=bins,
            range=ranges,
            weights=weights,
            where=where,
            labels=names,
            progress=progress_bar("histograms"),
        )
    name = names[comps[0]]
    edges = [float(h[f"{name}_lower"][0]), *h[f"{name}_upper"].values.tolist()]
    if ranges is None and weights is None and int(h.values.sum()) == 0:
        # A range found from the dumps holds every kept, finite value: none
        # was counted, so none was kept, or none was finite. (A range given
        # may just miss the particles: zero counts, as hist of one dump.)
        if where:
            return empty(f"{label}: no particle passes the selection in any dump")
        return empty(f"{label}: no particle with a finite {name} in any dump")
    if ranges is None:
        print(
            f"{PROG}: note: the range of {name}, {edges[0]:g} to {edges[-1]:g}, is its finite minimum and "
            f"maximum over all {h.sizes['step']} dumps",
            file=sys.stderr,
        )
    if plot is not None:
        what = "particles counted" if weights is None else f"weighted by {names[weights]}"
        with writing(args.output):
            plot.plot_over_time(
                h.values,
                h.step.values,
                edges,
                args.output,
                log=args.log,
                title=f"{name} over {h.sizes['step']} dumps: {what}" + (" (filtered)" if where else ""),
                name=f"{name} (component {comps[0]})",
                weights=None if weights is None else names[weights],
            )
    if args.json:
        print(
            json.dumps(
                {
                    "paths": list(paths),
                    "n_dimensions": args.n_dimensions,
                    "component": comps[0],
                    "label": name,
                    "weights": weights,
                    "range": h.attrs["range"],
                    "where": {str(k): [json_number(v) for v in window] for k, window in where.items()},
                    "steps": h.step.values.tolist(),
                    "files": h.file.values.tolist(),
                    "edges": edges,
                    "counts": h.values.tolist(),
                }
            )
        )
    elif args.output is not None:
        print(f"wrote {args.output}")
    return 0
