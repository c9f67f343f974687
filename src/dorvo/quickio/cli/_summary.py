"""What `info` shows of a dump: the summary as a dict (the JSON form), and
the same summary as lines of text.

Summaries read headers, axes and block counts only. A long block table is
abridged to its head and tail, or given whole as an iterator that a printer
walks one row at a time, so that a dump of millions of blocks gives a short
answer and --blocks never holds every row at once.
"""

from __future__ import annotations

import json
import sys

import numpy as np

from ..components import default_labels
from ..header import FieldHeader, PhaseSpaceHeader, json_number

# A block table longer than TABLE_ROWS shows its first TABLE_ROWS - TAIL_ROWS
# rows and its last TAIL_ROWS rows, unless --blocks asks for all of them.
TABLE_ROWS = 12
TAIL_ROWS = 2
# Blocks taken from the table at a time while listing all of them.
ROWS_PER_SLICE = 1 << 16
# Indices of non-finite real parameters listed in the text summary.
LISTED_INDICES = 8


def _nonfinite(values) -> dict:
    """Counts of NaN, +Inf and -Inf among `values`."""
    v = np.asarray(values)
    return {"nan": int(np.isnan(v).sum()), "posinf": int(np.isposinf(v).sum()), "neginf": int(np.isneginf(v).sum())}


def _axis_summary(axis):
    """Range, spacing, length and non-finite counts of an axis, or None if
    the file lacks it. Range and spacing are those of the finite values;
    an axis with NaN or Inf has no spacing."""
    if axis is None:
        return None
    a = np.asarray(axis, dtype=np.float64)
    finite = a[np.isfinite(a)]
    out = {"points": int(a.size), "min": None, "max": None, "spacing": None, "uniform": None, **_nonfinite(a)}
    if finite.size:
        out["min"], out["max"] = float(finite.min()), float(finite.max())
    if a.size >= 2 and finite.size == a.size:
        with np.errstate(over="ignore", invalid="ignore"):
            steps = np.diff(a)
        if np.isfinite(steps).all():
            mean = float(steps.mean())
            uniform = bool(np.allclose(steps, mean, rtol=1e-3, atol=1e-6 * max(abs(mean), 1e-30)))
            out["spacing"] = mean if uniform else [float(steps.min()), float(steps.max())]
            out["uniform"] = uniform
    return out


def _column(blocks, name):
    """One field of every block as an int64 array: the block table's own
    column when it has one, else gathered from a sequence of blocks."""
    column = getattr(blocks, name, None)
    if isinstance(column, np.ndarray):
        return column
    return np.fromiter((getattr(b, name) for b in blocks), dtype=np.int64, count=len(blocks))


def _block_rows(blocks, all_blocks):
    """The rows of a block table to show, as dicts with the block's index:
    every block with `all_blocks` (lazily, one at a time), else a list of
    the head and tail of a long table."""
    n = len(blocks)

    def row(index, block):
        return {"index": index, **{k: int(v) for k, v in block._asdict().items()}}

    if all_blocks:
        # Taken in slices, so that a long table costs few calls into it.
        return (
            row(i, b)
            for start in range(0, n, ROWS_PER_SLICE)
            for i, b in enumerate(blocks[start : start + ROWS_PER_SLICE], start)
        )
    if n <= TABLE_ROWS:
        return [row(i, b) for i, b in enumerate(blocks[0:n])]
    head = TABLE_ROWS - TAIL_ROWS
    return [row(i, b) for i, b in enumerate(blocks[0:head])] + [
        row(n - TAIL_ROWS + i, b) for i, b in enumerate(blocks[n - TAIL_ROWS : n])
    ]


def field_summary(h: FieldHeader, all_blocks=False) -> dict:
    """What `info` reports of a field dump. ``blocks.rows`` holds the head
    and tail of the block table, or with `all_blocks` an iterator over
    every block."""
    n = len(h.blocks)
    reals = np.asarray(h.real_params, dtype=np.float64)
    return {
        "kind": "field",
        "path": h.path,
        "file_size": h.file_size,
        "expected_size": h.expected_size,
        "nparam": h.nparam,
        "nproc_y": h.nproc_y,
        "nproc_z": h.nproc_z,
        "nx": h.nx,
        "ny": h.ny,
        "nz": h.nz,
        "ndimension": h.ndimension,
        "axes": {name: _axis_summary(a) for name, a in (("x", h.x), ("y", h.y), ("z", h.z))},
        "integer_params": [int(v) for v in h.int_params],
        "real_params": [json_number(float(v)) for v in reals],
        "real_params_nonfinite": _nonfinite(reals),
        "well_formed": h.well_formed,
        "reason": h.reason,
        "blocks": {
            "count": n,
            "expected": h.nproc_y * h.nproc_z if min(h.nproc_y, h.nproc_z) >= 0 else None,
            "omitted": 0 if all_blocks else max(n - TABLE_ROWS, 0),
            "rows": _block_rows(h.blocks, all_blocks),
        },
    }


def phase_summary(h: PhaseSpaceHeader, all_blocks=False, labels=None, hint=None) -> dict:
    """What `info` reports of a phase-space dump, read from its block
    counts alone; ``blocks.rows`` as in field_summary(); ``labels`` names
    the components (the defaults of dorvo.quickio.components without)."""
    counts = _column(h.blocks, "count")
    n = len(counts)
    return {
        "kind": "phase_space",
        "path": h.path,
        "file_size": h.file_size,
        "n_dimensions": h.n_dimensions,
        "components": h.components,
        "entry_bytes": h.entry_bytes,
        "labels": list(labels) if labels is not None else default_labels(h.n_dimensions),
        "particles": h.particles,
        "trailing_bytes": h.trailing_bytes,
        "well_formed": h.well_formed,
        "reason": h.reason,
        "hint": hint,
        "blocks": {
            "count": n,
            "empty": int(np.count_nonzero(counts <= 0)),
            "largest": int(counts.max()) if n else 0,
            "omitted": 0 if all_blocks else max(n - TABLE_ROWS, 0),
            "rows": _block_rows(h.blocks, all_blocks),
        },
    }


def _num(v):
    """A number for the text summary; "NaN" and "Infinity" (as json_number
    writes them) stay as they are."""
    return "-" if v is None else v if isinstance(v, str) else f"{v:.6g}"


def plural(n, word):
    return f"{n:,} {word}{'' if n == 1 else 's'}"


def _nonfinite_text(counts) -> str:
    """ "1 NaN, 2 +Inf" for the non-zero counts of _nonfinite()."""
    return ", ".join(
        f"{counts[key]} {label}"
        for key, label in (("nan", "NaN"), ("posinf", "+Inf"), ("neginf", "-Inf"))
        if counts[key]
    )


def _verdict_lines(s):
    if s["well_formed"]:
        yield "verdict        well-formed"
        return
    yield f"verdict        NOT well-formed: {s['reason']}"
    if s.get("hint"):
        yield f"hint           {s['hint']}"


def _axis_text(a) -> str:
    if a["points"] == 0:
        return "no points"
    bad = _nonfinite_text(a)
    if a["min"] is None:
        return f"no finite values   ({plural(a['points'], 'point')}: {bad})"
    if bad:
        return f"{_num(a['min'])} to {_num(a['max'])}   ({plural(a['points'], 'point')}, {bad})"
    if a["points"] == 1:
        return f"{_num(a['min'])}   (1 point)"
    sp = a["spacing"]
    spacing = f"spacing {_num(sp)}" if a["uniform"] else f"spacing {_num(sp[0])} to {_num(sp[1])} (not uniform)"
    return f"{_num(a['min'])} to {_num(a['max'])}   {spacing}   ({a['points']} points)"


def _real_params_text(s) -> str:
    values = s["real_params"]
    counts = s["real_params_nonfinite"]
    if not any(counts.values()):
        return f"{plural(len(values), 'value')}, all finite"
    parts = []
    for marker, label in (("NaN", "NaN"), ("Infinity", "+Inf"), ("-Infinity", "-Inf")):
        at = [i for i, v in enumerate(values) if v == marker]
        if at:
            listed = ", ".join(map(str, at[:LISTED_INDICES])) + (", ..." if len(at) > LISTED_INDICES else "")
            parts.append(f"{len(at)} {label} (at {listed})")
    return f"{plural(len(values), 'value')}; " + "; ".join(parts)


def _table_lines(header, row_text, blocks):
    yield header
    shown = 0
    for r in blocks["rows"]:
        if blocks["omitted"] and shown == TABLE_ROWS - TAIL_ROWS:
            yield f"  ... {blocks['omitted']:,} more blocks ..."
        yield row_text(r)
        shown += 1


def field_lines(s: dict):
    """The text summary of field_summary(), line by line."""
    yield f"field dump     {s['path']}"
    yield f"Nparam         {s['nparam']}" + (
        f"   (ndimension {s['ndimension']})" if s["ndimension"] is not None else ""
    )
    yield f"blocks         {s['nproc_y']} x {s['nproc_z']}   (nproc_y x nproc_z)"
    yield f"grid           {s['nx']} x {s['ny']} x {s['nz']}   (nx x ny x nz)"
    for name, a in s["axes"].items():
        yield f"{name} axis         " + ("not in the file" if a is None else _axis_text(a))
    yield f"real params    {_real_params_text(s)}"
    yield f"block table    {plural(s['blocks']['count'], 'block')} in the file"
    yield from _table_lines(
        "  layer  column      y0      z0  nx_loc  ny_loc  nz_loc        offset",
        lambda r: (
            f"  {r['layer']:5d}  {r['column']:6d}  {r['y0']:6d}  {r['z0']:6d}  {r['nx_loc']:6d}"
            f"  {r['ny_loc']:6d}  {r['nz_loc']:6d}  {r['offset']:12d}"
        ),
        s["blocks"],
    )
    expected = "unknown" if s["expected_size"] is None else f"{s['expected_size']:,}"
    yield f"file size      {s['file_size']:,} bytes (expected {expected})"
    yield from _verdict_lines(s)


def phase_lines(s: dict):
    """The text summary of phase_summary(), line by line."""
    blocks = s["blocks"]
    in_blocks = s["file_size"] - s["trailing_bytes"]
    yield f"phase-space dump  {s['path']}"
    yield f"dimensions     n = {s['n_dimensions']}   ({s['components']} components, {s['entry_bytes']}-byte entries)"
    yield f"components     {', '.join(s['labels'])}"
    yield f"particles      {s['particles']:,}"
    yield f"blocks         {blocks['count']:,}" + (f"   ({blocks['empty']:,} empty)" if blocks["empty"] else "")
    if blocks["count"]:
        yield from _table_lines(
            "      block          offset       count",
            lambda r: f"  {r['index']:9d}  {r['offset']:14d}  {r['count']:10d}",
            blocks,
        )
    yield (
        f"file size      {s['file_size']:,} bytes"
        + (f" ({in_blocks:,} in blocks, {s['trailing_bytes']} stray bytes ignored)" if s["trailing_bytes"] else "")
    )
    yield from _verdict_lines(s)
    if s.get("statistics_skipped") and s["particles"]:
        yield f"statistics     not computed: {s['statistics_skipped']}"
    if s.get("statistics") is not None:
        yield "  component             min             max            mean             std     NaN"
        for k, c in enumerate(s["statistics"]):
            yield (
                f"  {k:>2d} {s['labels'][k]:>6.6}  {_num(c['min']):>14}  {_num(c['max']):>14}  {_num(c['mean']):>14}"
                f"  {_num(c['std']):>14}  {c['nan']:>6}"
            )


def format_field(s: dict) -> str:
    return "\n".join(field_lines(s))


def format_phase(s: dict) -> str:
    return "\n".join(phase_lines(s))


def print_text(s):
    for line in field_lines(s) if s["kind"] == "field" else phase_lines(s):
        print(line)


def print_json(s):
    """Prints `s` as one JSON object, writing the block rows one at a time
    so that --blocks on a dump of millions of blocks never holds them all."""
    rows = s["blocks"]["rows"]
    text = json.dumps({**s, "blocks": {**s["blocks"], "rows": []}}, allow_nan=False)
    # A quote inside a JSON string is always escaped, so this bare key
    # occurs exactly once: the placeholder written just above.
    before, after = text.split('"rows": []')
    out = sys.stdout
    out.write(before + '"rows": [')
    for k, row in enumerate(rows):
        # A row holds integers under plain keys: written as json.dumps
        # would, at a fraction of its cost per row.
        out.write((", {" if k else "{") + ", ".join(f'"{key}": {value}' for key, value in row.items()) + "}")
    out.write("]" + after + "\n")
