"""The `quickio` command: inspect, plot, convert and demonstrate dumps.

    quickio info PATH [--n-dimensions N] [--json] [--blocks]
    quickio plot PATH -o OUT.png [--n-dimensions N] [--components I J]
    quickio virtualize PATH [-o OUT.xmf] [--absolute | --relative] [--n-dimensions N]
    quickio convert PATH OUT.nc|OUT.zarr [--n-dimensions N] [--overwrite]
    quickio demo [--out DIR]

A file that starts like a field dump is read as one; any other file is read
as a phase-space dump with the dimension count given by --n-dimensions,
since such a dump does not record it. PATH may also be a URL read through
fsspec (http(s)://, s3://, gs://, ...), of which only the byte ranges needed
are fetched.

`info` reads headers, axes and block counts only, never field or particle
data, and summarises long block tables (head and tail) unless --blocks asks
for every block, so that a dump of millions of blocks gives a short answer.

Exit status: 0 on success; 1 when `info` printed its summary but found the
dump cut off or ill-formed; 2 for an error (a missing file, a file that is
no dump, a dump that cannot be loaded, bad arguments), reported as one line
on stderr. Only the calls that read a dump or write a picture have their
failures turned into such a line; anything else is a fault of this program
and keeps its traceback.
"""
from __future__ import annotations

import argparse
import contextlib
import errno
import json
import math
import os
import struct
import sys
from importlib import resources
from pathlib import Path

import numpy as np

from . import __version__, _remote
from .header import (FieldHeader, PhaseSpaceHeader, is_field_dump, read_field_header_if_dump,
                     read_phase_space_header)

PROG = "quickio"
SUFFIX = ".bin"
# A block table longer than TABLE_ROWS shows its first TABLE_ROWS - TAIL_ROWS
# rows and its last TAIL_ROWS rows, unless --blocks asks for all of them.
TABLE_ROWS = 12
TAIL_ROWS = 2
# Blocks taken from the table at a time while listing all of them.
ROWS_PER_SLICE = 1 << 16
# Indices of non-finite real parameters listed in the text summary.
LISTED_INDICES = 8


class CliError(Exception):
    """An error to report as one line on stderr, with exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise CliError(f"{message} (see '{self.prog} --help')")


# ---------------------------------------------------------------- reading


def _n_hint(n_dimensions):
    return (f"check --n-dimensions (the file does not record the dimension count; "
            f"this walk used {n_dimensions})")


def _os_message(path, e: OSError) -> str:
    """One line for a file that cannot be opened or read."""
    name = os.fsdecode(e.filename) if e.filename is not None else path
    if isinstance(e, FileNotFoundError):
        if os.path.islink(name):
            return f"{name}: broken symbolic link (its target does not exist)"
        return f"{name}: no such file"
    if e.errno == errno.ELOOP:
        return f"{name}: symbolic link loop (too many levels of symbolic links)"
    if isinstance(e, PermissionError):
        return f"{name}: permission denied"
    if isinstance(e, IsADirectoryError):
        return f"{name}: is a directory, not a dump"
    return f"{name}: {e.strerror or e}"


@contextlib.contextmanager
def _reading(path, *, loading=False, n_dimensions=None):
    """Turns what reading the dump at `path` raises into a CliError: its
    header (`loading` False) or its data through a loader. With
    `n_dimensions`, the dump is a phase-space dump walked with that count,
    and a walk that fails suggests checking it."""
    hint = f"; {_n_hint(n_dimensions)}" if n_dimensions is not None else ""
    try:
        yield
    except OSError as e:
        raise CliError(_os_message(path, e)) from None
    except ImportError as e:
        # A URL whose file system is not installed (fsspec, aiohttp, s3fs).
        raise CliError(str(e)) from None
    except MemoryError:
        raise CliError(f"{path}: not enough memory to {'load' if loading else 'read the header of'} "
                       f"the dump{hint}") from None
    except (EOFError, ValueError, struct.error) as e:
        text = str(e)
        if text.startswith(path + ": "):
            text = text[len(path) + 2:]
        what = "the loader refused the dump" if loading else "malformed dump"
        raise CliError(f"{path}: {what}: {text}{hint}") from None


def _inspect(path, n_dimensions):
    """Header of the dump at `path`: a field header when the file starts
    like a field dump, a phase-space header read with `n_dimensions`
    otherwise."""
    if os.path.isdir(path):
        raise CliError(f"{path}: is a directory, not a dump")
    if n_dimensions is not None and n_dimensions < 0:
        raise CliError(f"--n-dimensions must be 0 or more, not {n_dimensions}")
    with _reading(path):
        header = read_field_header_if_dump(path)
    if header is not None:
        return header
    if n_dimensions is None:
        raise CliError(f"{path}: not a field dump; to read it as a phase-space dump, "
                       f"give its dimension count with --n-dimensions N")
    with _reading(path, n_dimensions=n_dimensions):
        return read_phase_space_header(path, n_dimensions)


def _loader_name(path):
    """The name the loaders take: the path without its ".bin", which they
    append themselves. A URL is read by byte ranges, whatever its name."""
    if _remote.is_url(path):
        return path
    if not path.endswith(SUFFIX):
        raise CliError(f"{path}: the loaders read only files whose names end in {SUFFIX}")
    return path[:-len(SUFFIX)]


def _require_whole(header):
    if not header.well_formed:
        hint = f"; {_n_hint(header.n_dimensions)}" if isinstance(header, PhaseSpaceHeader) else ""
        raise CliError(f"{header.path}: cannot load a dump that is not well-formed: {header.reason}{hint}")


def load_field(header: FieldHeader):
    """(field, x, y, z) of a well-formed field dump, through the loader,
    or by byte ranges for a URL."""
    _require_whole(header)
    from . import meshdump

    with _reading(header.path, loading=True):
        if _remote.is_url(header.path):
            f = _remote.read_field(_remote.Remote(header.path), _remote.field_blocks(header.blocks), header.shape)
            return f, np.array(header.x), np.array(header.y), np.array(header.z)
        return meshdump.read_Vintar_bin(_loader_name(header.path), header.params)


def load_phase_space(header: PhaseSpaceHeader):
    """The (2n+1, P) particle array of a well-formed phase-space dump,
    through the loader."""
    _require_whole(header)
    if header.particles == 0:
        return np.empty((header.components, 0), dtype=np.float32, order="F")
    from . import beamdump

    with _reading(header.path, loading=True, n_dimensions=header.n_dimensions):
        if _remote.is_url(header.path):
            return _remote.read_phase_space(_remote.Remote(header.path), header.blocks.offset, header.blocks.count,
                                            header.components, header.particles)
        return beamdump.total_phase_space_read(_loader_name(header.path), header.params)


# ---------------------------------------------------------------- summaries


def _nonfinite(values) -> dict:
    """Counts of NaN, +Inf and -Inf among `values`."""
    v = np.asarray(values)
    return {"nan": int(np.isnan(v).sum()), "posinf": int(np.isposinf(v).sum()),
            "neginf": int(np.isneginf(v).sum())}


def _json_number(v):
    """JSON has no NaN or infinity: those are written as the strings
    "NaN", "Infinity" and "-Infinity", which float() reads back."""
    if v is None or math.isfinite(v):
        return v
    return "NaN" if math.isnan(v) else ("Infinity" if v > 0 else "-Infinity")


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
        return (row(i, b) for start in range(0, n, ROWS_PER_SLICE)
                for i, b in enumerate(blocks[start:start + ROWS_PER_SLICE], start))
    if n <= TABLE_ROWS:
        return [row(i, b) for i, b in enumerate(blocks[0:n])]
    head = TABLE_ROWS - TAIL_ROWS
    return ([row(i, b) for i, b in enumerate(blocks[0:head])]
            + [row(n - TAIL_ROWS + i, b) for i, b in enumerate(blocks[n - TAIL_ROWS:n])])


def field_summary(h: FieldHeader, all_blocks=False) -> dict:
    """What `info` reports of a field dump. ``blocks.rows`` holds the head
    and tail of the block table, or with `all_blocks` an iterator over
    every block."""
    n = len(h.blocks)
    reals = np.asarray(h.real_params, dtype=np.float64)
    return {
        "kind": "field", "path": h.path, "file_size": h.file_size, "expected_size": h.expected_size,
        "nparam": h.nparam, "nproc_y": h.nproc_y, "nproc_z": h.nproc_z,
        "nx": h.nx, "ny": h.ny, "nz": h.nz, "ndimension": h.ndimension,
        "axes": {name: _axis_summary(a) for name, a in (("x", h.x), ("y", h.y), ("z", h.z))},
        "int_params": [int(v) for v in h.int_params],
        "real_params": [_json_number(float(v)) for v in reals],
        "real_params_nonfinite": _nonfinite(reals),
        "well_formed": h.well_formed, "reason": h.reason,
        "blocks": {"count": n,
                   "expected": h.nproc_y * h.nproc_z if min(h.nproc_y, h.nproc_z) >= 0 else None,
                   "omitted": 0 if all_blocks else max(n - TABLE_ROWS, 0),
                   "rows": _block_rows(h.blocks, all_blocks)},
    }


def phase_summary(h: PhaseSpaceHeader, all_blocks=False) -> dict:
    """What `info` reports of a phase-space dump, read from its block
    counts alone; ``blocks.rows`` as in field_summary()."""
    counts = _column(h.blocks, "count")
    n = len(counts)
    return {
        "kind": "phase_space", "path": h.path, "file_size": h.file_size,
        "n_dimensions": h.n_dimensions, "components": h.components, "entry_bytes": h.entry_bytes,
        "particles": h.particles, "trailing_bytes": h.trailing_bytes,
        "well_formed": h.well_formed, "reason": h.reason,
        "hint": None if h.well_formed else _n_hint(h.n_dimensions),
        "blocks": {"count": n, "empty": int(np.count_nonzero(counts <= 0)),
                   "largest": int(counts.max()) if n else 0,
                   "omitted": 0 if all_blocks else max(n - TABLE_ROWS, 0),
                   "rows": _block_rows(h.blocks, all_blocks)},
    }


def _num(v):
    """A number for the text summary; "NaN" and "Infinity" (as _json_number
    writes them) stay as they are."""
    return "-" if v is None else v if isinstance(v, str) else f"{v:.6g}"


def _plural(n, word):
    return f"{n:,} {word}{'' if n == 1 else 's'}"


def _nonfinite_text(counts) -> str:
    """"1 NaN, 2 +Inf" for the non-zero counts of _nonfinite()."""
    return ", ".join(f"{counts[key]} {label}" for key, label in (("nan", "NaN"), ("posinf", "+Inf"),
                                                                 ("neginf", "-Inf")) if counts[key])


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
        return f"no finite values   ({_plural(a['points'], 'point')}: {bad})"
    if bad:
        return f"{_num(a['min'])} to {_num(a['max'])}   ({_plural(a['points'], 'point')}, {bad})"
    if a["points"] == 1:
        return f"{_num(a['min'])}   (1 point)"
    sp = a["spacing"]
    spacing = (f"spacing {_num(sp)}" if a["uniform"]
               else f"spacing {_num(sp[0])} to {_num(sp[1])} (not uniform)")
    return f"{_num(a['min'])} to {_num(a['max'])}   {spacing}   ({a['points']} points)"


def _real_params_text(s) -> str:
    values = s["real_params"]
    counts = s["real_params_nonfinite"]
    if not any(counts.values()):
        return f"{_plural(len(values), 'value')}, all finite"
    parts = []
    for marker, label in (("NaN", "NaN"), ("Infinity", "+Inf"), ("-Infinity", "-Inf")):
        at = [i for i, v in enumerate(values) if v == marker]
        if at:
            listed = ", ".join(map(str, at[:LISTED_INDICES])) + (", ..." if len(at) > LISTED_INDICES else "")
            parts.append(f"{len(at)} {label} (at {listed})")
    return f"{_plural(len(values), 'value')}; " + "; ".join(parts)


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
    yield f"Nparam         {s['nparam']}" + (f"   (ndimension {s['ndimension']})" if s["ndimension"] is not None
                                            else "")
    yield f"blocks         {s['nproc_y']} x {s['nproc_z']}   (nproc_y x nproc_z)"
    yield f"grid           {s['nx']} x {s['ny']} x {s['nz']}   (nx x ny x nz)"
    for name, a in s["axes"].items():
        yield f"{name} axis         " + ("not in the file" if a is None else _axis_text(a))
    yield f"real params    {_real_params_text(s)}"
    yield f"block table    {_plural(s['blocks']['count'], 'block')} in the file"
    yield from _table_lines(
        "  layer  column      y0      z0  nx_loc  ny_loc  nz_loc        offset",
        lambda r: (f"  {r['layer']:5d}  {r['column']:6d}  {r['y0']:6d}  {r['z0']:6d}  {r['nx_loc']:6d}"
                   f"  {r['ny_loc']:6d}  {r['nz_loc']:6d}  {r['offset']:12d}"),
        s["blocks"])
    expected = "unknown" if s["expected_size"] is None else f"{s['expected_size']:,}"
    yield f"file size      {s['file_size']:,} bytes (expected {expected})"
    yield from _verdict_lines(s)


def phase_lines(s: dict):
    """The text summary of phase_summary(), line by line."""
    blocks = s["blocks"]
    in_blocks = s["file_size"] - s["trailing_bytes"]
    yield f"phase-space dump  {s['path']}"
    yield f"dimensions     n = {s['n_dimensions']}   ({s['components']} components, {s['entry_bytes']}-byte entries)"
    yield f"particles      {s['particles']:,}"
    yield f"blocks         {blocks['count']:,}" + (f"   ({blocks['empty']:,} empty)" if blocks["empty"] else "")
    if blocks["count"]:
        yield from _table_lines("      block          offset       count",
                                lambda r: f"  {r['index']:9d}  {r['offset']:14d}  {r['count']:10d}", blocks)
    yield (f"file size      {s['file_size']:,} bytes"
           + (f" ({in_blocks:,} in blocks, {s['trailing_bytes']} stray bytes ignored)" if s["trailing_bytes"]
              else ""))
    yield from _verdict_lines(s)
    if s.get("statistics_skipped") and s["particles"]:
        yield f"statistics     not computed: {s['statistics_skipped']}"
    if s.get("statistics") is not None:
        yield "  component             min             max            mean             std     NaN"
        for k, c in enumerate(s["statistics"]):
            yield (f"  {k:9d}  {_num(c['min']):>14}  {_num(c['max']):>14}  {_num(c['mean']):>14}"
                   f"  {_num(c['std']):>14}  {c['nan']:>6}")


def format_field(s: dict) -> str:
    return "\n".join(field_lines(s))


def format_phase(s: dict) -> str:
    return "\n".join(phase_lines(s))


def _summarise(header, all_blocks=False, stats=False) -> dict:
    if isinstance(header, FieldHeader):
        return field_summary(header, all_blocks)
    s = phase_summary(header, all_blocks)
    s["statistics"] = None
    if stats:
        # Statistics read every particle, which info otherwise never does.
        if not header.well_formed:
            s["statistics_skipped"] = "the dump is not well-formed"
        else:
            s["statistics"] = phase_statistics(header)
    return s


def _print_text(s):
    for line in (field_lines(s) if s["kind"] == "field" else phase_lines(s)):
        print(line)


def _print_json(s):
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


# ---------------------------------------------------------------- commands


def cmd_info(args):
    s = _summarise(_inspect(args.path, args.n_dimensions), args.blocks, args.stats)
    if args.json:
        _print_json(s)
    else:
        _print_text(s)
    return 0 if s["well_formed"] else 1


def _components(header, pair):
    last = 2 * header.n_dimensions
    i, j = pair if pair is not None else (0, header.n_dimensions)
    for c in (i, j):
        if not 0 <= c <= last:
            raise CliError(f"component {c} out of range: a dump with n = {header.n_dimensions} "
                           f"has components 0 to {last}")
    return i, j


def _check_output(out):
    """Refuses an output path that could not be written, before anything
    is loaded: a name without .png, a directory, a missing folder."""
    if not out.lower().endswith(".png"):
        raise CliError(f"{out}: the picture is written as PNG; name it *.png")
    if os.path.isdir(out):
        raise CliError(f"{out}: is a directory; name the picture file inside it")
    folder = os.path.dirname(out) or "."
    if not os.path.isdir(folder):
        raise CliError(f"{out}: the folder {folder} does not exist")
    if not os.access(folder, os.W_OK):
        raise CliError(f"{out}: the folder {folder} is not writable")


def _require_matplotlib():
    from . import plot

    try:
        plot.require_matplotlib()
    except plot.MatplotlibMissing as e:
        raise CliError(str(e)) from None
    return plot


@contextlib.contextmanager
def _writing(out, what="the picture"):
    try:
        yield
    except OSError as e:
        raise CliError(f"{out}: cannot write {what}: {e.strerror or e}") from None


def _plot(header, out, pair=None):
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
    plot = _require_matplotlib()
    name = os.path.basename(header.path)
    if isinstance(header, FieldHeader):
        f, x, y, z = load_field(header)
        with _writing(out):
            plot.plot_field(f, x, y, z, out, title=name)
    else:
        ps = load_phase_space(header)
        with _writing(out):
            plot.plot_phase_space(ps, i, j, out, title=(
                f"{name}: {header.particles:,} particles, component {j} against component {i}"))


def cmd_plot(args):
    _check_output(args.output)
    header = _inspect(args.path, args.n_dimensions)
    _plot(header, args.output, args.components)
    print(f"wrote {args.output}")
    return 0


def _check_target(out, path):
    """Refuses an output path whose folder is missing or not writable, or
    that names the dump itself, before anything is read."""
    folder = os.path.dirname(os.path.normpath(out)) or "."
    if not os.path.isdir(folder):
        raise CliError(f"{out}: the folder {folder} does not exist")
    if not os.access(folder, os.W_OK):
        raise CliError(f"{out}: the folder {folder} is not writable")
    with contextlib.suppress(OSError):
        if os.path.samefile(out, path):
            raise CliError(f"{out}: is the dump itself; name another output")


def _xmf_name(path):
    return (path[:-len(SUFFIX)] if path.endswith(SUFFIX) else path) + ".xmf"


def cmd_virtualize(args):
    if _remote.is_url(args.path):
        raise CliError(f"{args.path}: an XDMF file points at the dump's own bytes on a disk its reader "
                       f"can open; copy the dump there first")
    out = args.output if args.output is not None else _xmf_name(args.path)
    if not out.lower().endswith((".xmf", ".xdmf")):
        raise CliError(f"{out}: viewers pick their XDMF reader by the name; name it *.xmf")
    if os.path.isdir(out):
        raise CliError(f"{out}: is a directory; name the XDMF file inside it")
    _check_target(out, args.path)
    header = _inspect(args.path, args.n_dimensions)
    _require_whole(header)
    from . import xdmf

    try:
        with _writing(out, "the XDMF file"):
            if isinstance(header, FieldHeader):
                grids = xdmf.write_field_xdmf(header, out, absolute=args.absolute)
            else:
                grids = xdmf.write_phase_space_xdmf(header, out, absolute=args.absolute)
    except xdmf.XdmfError as e:
        raise CliError(str(e)) from None
    print(f"wrote {out}: {_plural(grids, 'grid')} reading {header.path} in place")
    return 0


@contextlib.contextmanager
def _converting(path, out):
    """Turns what a conversion raises into a CliError: the dump's faults
    name the dump, a failed write names both."""
    try:
        yield
    except MemoryError:
        raise CliError(f"{path}: not enough memory to convert the dump") from None
    except (EOFError, ValueError, struct.error) as e:
        raise CliError(f"{path}: cannot convert the dump: {e}") from None
    except OSError as e:
        raise CliError(f"cannot convert {path} to {out}: {e.strerror or e}") from None


def cmd_convert(args):
    from . import convert

    out = args.out
    try:
        suffix = convert.output_format(out)
    except ValueError as e:
        raise CliError(str(e)) from None
    if os.path.lexists(out) and not args.overwrite:
        raise CliError(f"{out}: exists; pass --overwrite to replace it")
    if suffix == ".nc" and os.path.isdir(out):
        raise CliError(f"{out}: is a directory; name the NetCDF file inside it")
    _check_target(out, args.path)
    try:
        convert.require(suffix)
    except convert.ConvertMissing as e:
        raise CliError(str(e)) from None
    header = _inspect(args.path, args.n_dimensions)
    _require_whole(header)
    n_dimensions = header.n_dimensions if isinstance(header, PhaseSpaceHeader) else None
    with _converting(header.path, out):
        convert.convert(header.path, out, n_dimensions, progress=sys.stderr.isatty(), overwrite=args.overwrite)
    print(f"wrote {out}")
    return 0


def _sample(name):
    return resources.files(__package__).joinpath("samples", name)


def cmd_demo(args):
    out = Path(args.out)
    # The folder for the pictures is made before anything is loaded, and
    # only when there is something to draw with.
    try:
        plot = _require_matplotlib()
    except CliError as e:
        print(f"{PROG}: plots skipped: {e}", file=sys.stderr)
        plot = None
    if plot is not None:
        try:
            out.mkdir(parents=True, exist_ok=True)
        except OSError as e:
            raise CliError(f"{out}: cannot make the output directory: {e.strerror}") from None
    field_res, phase_res = _sample("field.bin"), _sample("phase_space.bin")
    with resources.as_file(field_res) as field_path, resources.as_file(phase_res) as phase_path:
        fh = _inspect(os.fspath(field_path), None)
        ph = _inspect(os.fspath(phase_path), 3)
        print(format_field(field_summary(fh)))
        print()
        print(format_phase(phase_summary(ph)))
        print()

        f, x, y, z = load_field(fh)
        ps = load_phase_space(ph)
    print(f"meshdump.read_Vintar_bin  -> field {f.shape} {f.dtype}, "
          f"axes {x.shape} {y.shape} {z.shape}, values {f.min():.4g} to {f.max():.4g}")
    print(f"beamdump.total_phase_space_read  -> particles {ps.shape} {ps.dtype}")
    if plot is None:
        return 0
    with _writing(out):
        plot.plot_field(f, x, y, z, out / "field.png", title="sample field dump: a laser pulse")
        plot.plot_phase_space(ps, 0, 3, out / "phase_space.png", names=("x", "px"),
                              title="sample phase-space dump: px against x")
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
    return [{"min": _json_number(float(m["min"][k])), "max": _json_number(float(m["max"][k])),
             "mean": _json_number(float(m["mean"][k])), "std": _json_number(float(m["std"][k])),
             "nan": int(m["nan"][k])}
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
    p.add_argument("path", metavar="PATH", help=PATH_HELP)
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

PATH_HELP = ("the dump's file, by its full name (with its .bin), or its URL (http(s)://, s3://, gs://, ...; "
             "needs pip install 'dorvo.quickio[remote]')")
DIMS_HELP = ("dimension count of a phase-space dump (its particles have 2N+1 components); "
             "required for one, since the file does not record it; ignored for a field dump")


def _add_virtualize(sub):
    text = ("write an XDMF file that lets ParaView, VisIt and other VTK-based viewers open a dump in "
            "place: one rectilinear grid per block of a field dump, one point cloud per block of a "
            "phase-space dump; no values are copied")
    p = sub.add_parser("virtualize", help=text, description=text[0].upper() + text[1:] + ".")
    p.add_argument("path", metavar="PATH", help=PATH_HELP)
    p.add_argument("-o", "--output", metavar="OUT.xmf",
                   help="the XDMF file to write (default: PATH with .xmf for its .bin); its folder must exist")
    paths = p.add_mutually_exclusive_group()
    paths.add_argument("--relative", dest="absolute", action="store_false",
                       help="name the dump by its path relative to the XDMF file's folder, so that both "
                            "can move together (the default)")
    paths.add_argument("--absolute", dest="absolute", action="store_true",
                       help="name the dump by its absolute path, so that the XDMF file can move alone")
    p.add_argument("--n-dimensions", type=int, metavar="N", help=DIMS_HELP)
    p.set_defaults(func=cmd_virtualize, absolute=False)


def _add_convert(sub):
    text = ("convert a dump to NetCDF-4 or Zarr, as the dataset that xarray's 'vintar' engine opens, "
            "chunk by chunk in bounded memory")
    p = sub.add_parser("convert", help=text, description=text[0].upper() + text[1:] + ". Needs the "
                       "'convert' extra.")
    p.add_argument("path", metavar="PATH", help=PATH_HELP)
    p.add_argument("out", metavar="OUT",
                   help="the output: a NetCDF-4 file when it ends in .nc, a Zarr store (a folder) when it "
                        "ends in .zarr; its folder must exist")
    p.add_argument("--n-dimensions", type=int, metavar="N", help=DIMS_HELP)
    p.add_argument("--overwrite", action="store_true", help="replace OUT if it exists")
    p.set_defaults(func=cmd_convert)


def build_parser():
    parser = _Parser(prog=PROG, description="Inspect, plot, convert and demonstrate field and phase-space dumps.",
                     epilog="Exit status: 0 success, 1 'info' found the dump not well-formed, 2 error.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}",
                        help="print the version and exit")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser,
                                help="what to do; 'quickio COMMAND --help' tells more")

    text = ("summarise a dump: header, grid and axes or particle count, block table, and whether the "
            "file is whole and well-formed; reads no field or particle data")
    p = sub.add_parser("info", help=text, description=text[0].upper() + text[1:] + ".",
                       epilog="Exit status: 0 well-formed, 1 not well-formed, 2 error.")
    p.add_argument("path", metavar="PATH", help=PATH_HELP)
    p.add_argument("--n-dimensions", type=int, metavar="N", help=DIMS_HELP)
    p.add_argument("--json", action="store_true", help="print the summary as one JSON object")
    p.add_argument("--blocks", action="store_true",
                   help=f"list every block; without it a table of more than {TABLE_ROWS} blocks shows its "
                        f"first {TABLE_ROWS - TAIL_ROWS} and last {TAIL_ROWS} (in text and in JSON)")
    _add_stats_option(p)
    p.set_defaults(func=cmd_info)

    text = ("write a quick-look PNG of a dump: the three mid-plane slices of a field dump, or a "
            "histogram of two components of a phase-space dump")
    p = sub.add_parser("plot", help=text, description=text[0].upper() + text[1:] + ". Needs matplotlib.")
    p.add_argument("path", metavar="PATH", help=PATH_HELP)
    p.add_argument("-o", "--output", required=True, metavar="OUT.png",
                   help="the PNG file to write; its folder must exist")
    p.add_argument("--n-dimensions", type=int, metavar="N", help=DIMS_HELP)
    p.add_argument("--components", type=int, nargs=2, metavar=("I", "J"),
                   help="phase-space components to plot, J against I (default 0 and N)")
    p.set_defaults(func=cmd_plot)
    _add_virtualize(sub)
    _add_convert(sub)

    _add_hist_parser(sub)

    text = "inspect, load and plot the sample dumps shipped with the package"
    p = sub.add_parser("demo", help=text, description=text[0].upper() + text[1:] + ".")
    p.add_argument("--out", default="quickio-demo", metavar="DIR",
                   help="directory for the pictures, made if missing (default: ./quickio-demo)")
    p.set_defaults(func=cmd_demo)
    return parser


def _one_line(text):
    return " ".join(str(text).split())


def main(argv=None):
    """Runs the command line; returns the exit status."""
    try:
        args = build_parser().parse_args(argv)
        return args.func(args)
    except CliError as e:
        print(f"{PROG}: error: {_one_line(e)}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader of our output went away (`quickio info ... | head`):
        # nothing left to say. Point stdout at devnull so that the flush at
        # exit does not complain again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
