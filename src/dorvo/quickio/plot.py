"""Pictures of dumps, written in any format matplotlib writes (PNG, PDF,
SVG, ...), chosen by the file's suffix.

matplotlib is an optional dependency (``pip install "dorvo.quickio[plot]"``)
and is imported only when a picture is drawn. Figures are made without
pyplot, so drawing one neither needs a display nor changes the backend of
a notebook that calls these functions.

Meshes (the field's cells, a histogram's bins) are rasterized inside the
vector formats, while axes, labels and text stay vector: a PDF or SVG of
a large slice stays tens of KB, and shows no hairlines between the cells
that a viewer's anti-aliasing draws between thousands of vector quads.

Values that are not finite are never drawn in a colour that a finite value
could have: NaN, +Inf and -Inf each get a colour of their own outside the
colour map, and a legend counts them.
"""

from __future__ import annotations

import numpy as np

__all__ = [
    "MatplotlibMissing",
    "field_figure",
    "histogram_figure",
    "nearest_index",
    "over_time_figure",
    "phase_space_figure",
    "picture_formats",
    "plot_field",
    "plot_histogram",
    "plot_over_time",
    "plot_phase_space",
    "require_matplotlib",
]

INSTALL_HINT = 'pip install "dorvo.quickio[plot]"'

# Colours of values that are not finite: none of them occurs in the
# diverging or the sequential map below.
NAN_COLOUR = "magenta"
POSINF_COLOUR = "black"
NEGINF_COLOUR = "0.6"  # grey; the diverging map's centre is near white, not grey
DIVERGING, SEQUENTIAL = "RdBu_r", "viridis"


class MatplotlibMissing(ImportError):
    """Raised when a picture is asked for but matplotlib is not installed."""


def require_matplotlib():
    """Raises MatplotlibMissing, with the command that installs it, when
    matplotlib cannot be imported; lets callers fail before loading data."""
    _figure_class()


def picture_formats():
    """The file suffixes (without the point) that pictures can be written
    as, each with its format's name."""
    _figure_class()
    from matplotlib.backend_bases import FigureCanvasBase

    return FigureCanvasBase.get_supported_filetypes()


# Resolution of a raster format, and of the meshes rasterized inside a
# vector one: fine enough for a projector or print, while a 256 x 128
# slice still makes a PDF of tens of KB.
DPI = 100
MESH_DPI = 200
VECTOR_FORMATS = ("pdf", "svg", "svgz", "eps", "ps")


def _save(fig, out):
    # The format follows the suffix; a vector format keeps its text vector
    # and embeds the meshes as images of MESH_DPI.
    vector = str(out).rsplit(".", 1)[-1].lower() in VECTOR_FORMATS
    fig.savefig(out, dpi=MESH_DPI if vector else DPI)


def _figure_class():
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise MatplotlibMissing(f"plotting needs matplotlib; install it with: {INSTALL_HINT}") from None
    return Figure


def _nonfinite_counts(values):
    """(NaN, +Inf, -Inf) counts of an array."""
    v = np.asarray(values)
    return int(np.isnan(v).sum()), int(np.isposinf(v).sum()), int(np.isneginf(v).sum())


def _nonfinite_handles(nan, posinf, neginf):
    """Legend entries for the values that are not finite, with their counts."""
    from matplotlib.patches import Patch

    return [
        Patch(facecolor=colour, edgecolor="0.3", label=f"{label} ({n})")
        for colour, label, n in (
            (NAN_COLOUR, "NaN", nan),
            (POSINF_COLOUR, "+Inf", posinf),
            (NEGINF_COLOUR, "-Inf", neginf),
        )
        if n
    ]


def _edges(axis):
    """Cell edges around the points of `axis`, halfway between neighbours,
    so that non-uniform axes are drawn at their true positions; a single
    point gets a cell of width 1."""
    a = np.asarray(axis, dtype=np.float64)
    if a.size == 1:
        return np.array([a[0] - 0.5, a[0] + 0.5])
    mid = 0.5 * (a[1:] + a[:-1])
    return np.concatenate([[2 * a[0] - mid[0]], mid, [2 * a[-1] - mid[-1]]])


def _coordinates(axis, name):
    """Cell edges and label of one panel axis: the axis values, or the grid
    index when the axis holds NaN or Inf (a mesh cannot be placed there)."""
    a = np.asarray(axis, dtype=np.float64)
    if np.isfinite(a).all():
        return _edges(a), name
    return _edges(np.arange(a.size, dtype=np.float64)), f"{name} index ({name} axis not finite)"


def field_colour_scale(slices):
    """One normalisation and colour map for every panel: a diverging map
    centred on zero when the finite values span zero (fields oscillate
    around it), a sequential one otherwise. NaN, +Inf and -Inf map to the
    map's bad, over and under colours."""
    from matplotlib import colormaps
    from matplotlib.colors import Normalize

    finite = [s[np.isfinite(s)] for s in slices]
    finite = [f for f in finite if f.size]
    if finite:
        lo, hi = min(float(f.min()) for f in finite), max(float(f.max()) for f in finite)
    else:
        lo, hi = 0.0, 1.0
    if lo < 0 < hi:
        m = max(-lo, hi)
        norm, name = Normalize(-m, m), DIVERGING
    else:
        if lo == hi:
            lo, hi = lo - 0.5, hi + 0.5
        norm, name = Normalize(lo, hi), SEQUENTIAL
    cmap = colormaps[name].with_extremes(bad=NAN_COLOUR, over=POSINF_COLOUR, under=NEGINF_COLOUR)
    return norm, cmap


def _for_mesh(values, norm):
    """A float64 copy of a slice in which +Inf and -Inf lie just outside the
    colour scale, so that they take its over and under colours: a mesh
    masks every value that is not finite, and would draw both as NaN."""
    v = np.array(values, dtype=np.float64)
    span = norm.vmax - norm.vmin
    v[np.isposinf(v)] = norm.vmax + span
    v[np.isneginf(v)] = norm.vmin - span
    return v


def nearest_index(axis, value):
    """The index of the point of `axis` nearest to `value` (NaN and Inf
    points never chosen); None when no point is finite."""
    a = np.asarray(axis, dtype=np.float64)
    distance = np.abs(a - value)
    distance[~np.isfinite(distance)] = np.inf
    if not np.isfinite(distance).any():
        return None
    return int(np.argmin(distance))


INDEX_NAMES = {"x": "i", "y": "j", "z": "k"}


def field_figure(field, x, y, z, title=None, slices=None, name="field"):
    """A figure of slices of `field` (an (nx, ny, nz) array on the axes x,
    y, z), in axis units, on one shared colour scale labelled `name`. `slices` lists the
    planes as (axis, index) pairs: ("z", k) is the x-y plane at z[k],
    ("y", j) the x-z plane, ("x", i) the y-z plane, one panel each. Without
    it, the three mid-planes: x-y at the middle z, x-z at the middle y and
    y-z at the middle x."""
    Figure = _figure_class()
    nx, ny, nz = field.shape
    if slices is None:
        slices = [("z", nz // 2), ("y", ny // 2), ("x", nx // 2)]
    coords = {"x": x, "y": y, "z": z}
    panels = []
    for axis, index in slices:
        h, v = [a for a in "xyz" if a != axis]
        cut = [slice(None)] * 3
        cut["xyz".index(axis)] = index
        panels.append(
            (
                h,
                coords[h],
                v,
                coords[v],
                field[tuple(cut)],
                f"{axis} = {coords[axis][index]:.4g} ({INDEX_NAMES[axis]} = {index})",
            )
        )
    norm, cmap = field_colour_scale([p[4] for p in panels])
    fig = Figure(figsize=(5 * len(panels), 4.6), layout="constrained")
    axes = np.atleast_1d(fig.subplots(1, len(panels)))
    any_posinf = any_neginf = False
    for ax, (hname, h, vname, v, values, where) in zip(axes, panels):
        h_edges, h_label = _coordinates(h, hname)
        v_edges, v_label = _coordinates(v, vname)
        # values is indexed [horizontal, vertical]; pcolormesh wants rows along the vertical axis.
        mesh = ax.pcolormesh(h_edges, v_edges, _for_mesh(values, norm).T, norm=norm, cmap=cmap, rasterized=True)
        ax.set_xlabel(h_label)
        ax.set_ylabel(v_label)
        ax.set_title(f"{hname}-{vname} plane at {where}")
        counts = _nonfinite_counts(values)
        any_posinf |= counts[1] > 0
        any_neginf |= counts[2] > 0
        if any(counts):
            ax.legend(
                handles=_nonfinite_handles(*counts),
                loc="upper right",
                fontsize="small",
                title="not finite",
                title_fontsize="small",
                framealpha=0.9,
            )
    # One colour bar for the three panels; its end triangles show the
    # colours of +Inf and -Inf when a slice holds them.
    extend = {(True, True): "both", (True, False): "max", (False, True): "min"}.get((any_posinf, any_neginf), "neither")
    fig.colorbar(mesh, ax=list(axes), shrink=0.9, pad=0.015, aspect=25, label=name, extend=extend)
    if title:
        fig.suptitle(title)
    return fig


def plot_field(field, x, y, z, out, title=None, slices=None, name="field"):
    """Writes field_figure(...) to the picture file `out`."""
    _save(field_figure(field, x, y, z, title, slices, name), out)


def phase_space_figure(ps, i, j, title=None, bins=None, names=None):
    """A figure of the 2-D histogram of components i and j of the particles
    in `ps` (a (2n+1, P) array), with the 1-D histogram of each on its
    margin. Counts are coloured on a log scale, since bunches have dense
    cores and sparse halos. Without `bins`, the bin count grows with the
    square root of the particle count, between 20 and 200. `names`, a pair
    of strings, names the two components on the axes.

    Particles whose component i or j is NaN or infinite cannot be binned;
    they are left out and counted in a note on the figure."""
    Figure = _figure_class()
    from matplotlib.colors import LogNorm
    from matplotlib.ticker import FormatStrFormatter, LogLocator, NullFormatter

    a, b = np.asarray(ps[i], dtype=np.float64), np.asarray(ps[j], dtype=np.float64)
    keep = np.isfinite(a) & np.isfinite(b)
    left_out = int(a.size - np.count_nonzero(keep))
    either_nan = int(np.count_nonzero(np.isnan(a) | np.isnan(b)))
    a, b = a[keep], b[keep]
    if bins is None:
        bins = int(np.clip(np.sqrt(a.size), 20, 200))
    fig = Figure(figsize=(7.5, 7), layout="constrained")
    grid = fig.add_gridspec(2, 3, width_ratios=(4, 1, 0.2), height_ratios=(1, 4))
    main = fig.add_subplot(grid[1, 0])
    top = fig.add_subplot(grid[0, 0], sharex=main)
    side = fig.add_subplot(grid[1, 1], sharey=main)
    bar = fig.add_subplot(grid[1, 2])

    label_i, label_j = (
        (f"{names[0]} (component {i})", f"{names[1]} (component {j})")
        if names
        else (f"component {i}", f"component {j}")
    )
    main.set_xlabel(label_i)
    main.set_ylabel(label_j)
    top.set_ylabel("particles")
    side.set_xlabel("particles")
    top.tick_params(labelbottom=False)
    side.tick_params(labelleft=False)
    if a.size:
        counts, xe, ye, image = main.hist2d(a, b, bins=bins, norm=LogNorm(), cmap=SEQUENTIAL, cmin=1, rasterized=True)
        top.hist(a, bins=xe, color="C0")
        side.hist(b, bins=ye, color="C0", orientation="horizontal")
        cb = fig.colorbar(image, cax=bar, label="particles per bin")
        # Label 1, 2, 5, 10, 20, ... rather than powers of ten alone, which
        # leave a short colour bar with two labels.
        cb.ax.yaxis.set_major_locator(LogLocator(subs=(1.0, 2.0, 5.0)))
        cb.ax.yaxis.set_major_formatter(FormatStrFormatter("%g"))
        cb.ax.yaxis.set_minor_formatter(NullFormatter())
    else:
        bar.set_axis_off()
    if left_out:
        infinite = left_out - either_nan
        parts = [f"{either_nan} with NaN" if either_nan else "", f"{infinite} with +/-Inf" if infinite else ""]
        main.text(
            0.02,
            0.98,
            f"not shown: {left_out} particles\n" + ", ".join(p for p in parts if p) + f"\nin component {i} or {j}",
            transform=main.transAxes,
            va="top",
            ha="left",
            fontsize="small",
            bbox=dict(facecolor="white", alpha=0.9, edgecolor="0.5"),
        )
    names_j_i = (names[1], names[0]) if names else (f"component {j}", f"component {i}")
    fig.suptitle(title or f"{a.size} particles: {names_j_i[0]} against {names_j_i[1]}")
    return fig


def plot_phase_space(ps, i, j, out, title=None, bins=None, names=None):
    """Writes phase_space_figure(...) to the picture file `out`."""
    _save(phase_space_figure(ps, i, j, title, bins, names), out)


def histogram_figure(counts, edges, components, log=False, title=None, names=None, weights=None, note=None):
    """A histogram that is already counted (as dorvo.quickio.particles
    returns it): counts over the bins of one component as steps, or the
    counts of two components (`counts[i, j]` for bin i of the first and j of
    the second) as coloured cells, the second component upwards. With `log`,
    counts are drawn on a log scale (empty bins left blank). `names` labels
    the components' axes; `weights`, the name of the weighting component,
    says that the bins hold sums of it; `note` is printed on the plot."""
    Figure = _figure_class()
    from matplotlib.colors import LogNorm

    fig = Figure(figsize=(7.5, 6), layout="constrained")
    ax = fig.add_subplot()
    counts = np.asarray(counts, dtype=np.float64)
    labels = list(names) if names is not None else [f"component {c}" for c in components]
    per_bin = "particles" if weights is None else f"sum of {weights}"
    if counts.ndim == 1:
        ax.stairs(counts, edges[0], fill=True, color="C0")
        ax.set_xlabel(labels[0])
        ax.set_ylabel(per_bin)
        if log:
            ax.set_yscale("log")
    else:
        shown = np.ma.masked_less_equal(counts, 0) if log else counts
        norm = LogNorm() if log and shown.count() else None
        mesh = ax.pcolormesh(edges[0], edges[1], shown.T, norm=norm, cmap=SEQUENTIAL, rasterized=True)
        ax.set_xlabel(labels[0])
        ax.set_ylabel(labels[1])
        fig.colorbar(mesh, ax=ax, label=f"{per_bin} per bin")
    if note:
        ax.text(
            0.02,
            0.98,
            note,
            transform=ax.transAxes,
            va="top",
            ha="left",
            fontsize="small",
            bbox=dict(facecolor="white", alpha=0.9, edgecolor="0.5"),
        )
    if title:
        ax.set_title(title)
    return fig


def plot_histogram(counts, edges, components, out, log=False, title=None, names=None, weights=None, note=None):
    """Writes histogram_figure(...) to the picture file `out`."""
    _save(histogram_figure(counts, edges, components, log, title, names, weights, note), out)


def _step_edges(steps) -> np.ndarray:
    """Edges of the columns of a run's steps: halfway between neighbours,
    the first and last as wide as their neighbours' halves (one step: a
    column of width 1)."""
    steps = np.asarray(steps, np.float64)
    if len(steps) == 1:
        return np.array([steps[0] - 0.5, steps[0] + 0.5])
    middle = (steps[:-1] + steps[1:]) / 2
    return np.concatenate([[2 * steps[0] - middle[0]], middle, [2 * steps[-1] - middle[-1]]])


def over_time_figure(counts, steps, edges, log=False, title=None, name=None, weights=None):
    """Histograms of one component, one per dump of a run (`counts[i]` over
    the bins `edges` for the dump of step `steps[i]`), as a map: the steps
    along x, each dump a column reaching halfway to its neighbours, the
    component's bins upwards, the counts as colour. With `log`, counts on a
    log scale (empty bins left blank); `name` labels the component's axis;
    `weights`, the name of the weighting component, says that the bins hold
    sums of it."""
    Figure = _figure_class()
    from matplotlib.colors import LogNorm

    fig = Figure(figsize=(9, 6), layout="constrained")
    ax = fig.add_subplot()
    counts = np.asarray(counts, dtype=np.float64)
    shown = np.ma.masked_less_equal(counts, 0) if log else counts
    norm = LogNorm() if log and shown.count() else None
    mesh = ax.pcolormesh(_step_edges(steps), edges, shown.T, norm=norm, cmap=SEQUENTIAL, rasterized=True)
    ax.set_xlabel("step")
    ax.set_ylabel(name or "value")
    fig.colorbar(mesh, ax=ax, label=f"{'particles' if weights is None else f'sum of {weights}'} per bin")
    if title:
        ax.set_title(title)
    return fig


def plot_over_time(counts, steps, edges, out, log=False, title=None, name=None, weights=None):
    """Writes over_time_figure(...) to the picture file `out`."""
    _save(over_time_figure(counts, steps, edges, log, title, name, weights), out)
