"""Quick-look pictures of loaded dumps, written as PNG files.

matplotlib is an optional dependency (``pip install "dorvo.quickio[plot]"``)
and is imported only when a picture is drawn, always with the Agg backend
so that plotting works on machines without a display.
"""
from __future__ import annotations

import numpy as np

__all__ = ["MatplotlibMissing", "plot_field", "plot_histogram", "plot_phase_space", "require_matplotlib"]

INSTALL_HINT = 'pip install "dorvo.quickio[plot]"'


class MatplotlibMissing(ImportError):
    """Raised when a picture is asked for but matplotlib is not installed."""


def require_matplotlib():
    """Raises MatplotlibMissing, with the command that installs it, when
    matplotlib cannot be imported; lets callers fail before loading data."""
    _pyplot()


def _pyplot():
    try:
        import matplotlib
    except ImportError:
        raise MatplotlibMissing(f"plotting needs matplotlib; install it with: {INSTALL_HINT}") from None
    matplotlib.use("Agg", force=True)
    import matplotlib.pyplot as plt

    return plt


def _edges(axis):
    """Cell edges around the points of `axis`, halfway between neighbours,
    so that non-uniform axes are drawn at their true positions; a single
    point gets a cell of width 1."""
    a = np.asarray(axis, dtype=np.float64)
    if a.size == 1:
        return np.array([a[0] - 0.5, a[0] + 0.5])
    mid = 0.5 * (a[1:] + a[:-1])
    return np.concatenate([[2 * a[0] - mid[0]], mid, [2 * a[-1] - mid[-1]]])


def _norm_and_cmap(values):
    """A diverging map centred on zero for data of both signs (fields
    oscillate around zero), a sequential one otherwise."""
    from matplotlib.colors import Normalize

    finite = values[np.isfinite(values)]
    lo, hi = (float(finite.min()), float(finite.max())) if finite.size else (0.0, 1.0)
    if lo < 0 < hi:
        m = max(-lo, hi)
        return Normalize(-m, m), "RdBu_r"
    if lo == hi:
        lo, hi = lo - 0.5, hi + 0.5
    return Normalize(lo, hi), "viridis"


def plot_field(field, x, y, z, out, title=None):
    """Writes the three mid-plane slices of `field` (an (nx, ny, nz) array
    on the axes x, y, z) to the PNG file `out`: x-y at the middle z, x-z
    at the middle y and y-z at the middle x, each in axis units with its
    own colour bar."""
    plt = _pyplot()
    nx, ny, nz = field.shape
    i, j, k = nx // 2, ny // 2, nz // 2
    panels = [
        ("x", x, "y", y, field[:, :, k], f"z = {z[k]:.4g} (k = {k})"),
        ("x", x, "z", z, field[:, j, :], f"y = {y[j]:.4g} (j = {j})"),
        ("y", y, "z", z, field[i, :, :], f"x = {x[i]:.4g} (i = {i})"),
    ]
    fig, axes = plt.subplots(1, 3, figsize=(15, 4.6), layout="constrained")
    for ax, (hname, h, vname, v, values, where) in zip(axes, panels):
        norm, cmap = _norm_and_cmap(values)
        # values is indexed [horizontal, vertical]; pcolormesh wants rows along the vertical axis.
        mesh = ax.pcolormesh(_edges(h), _edges(v), values.T, norm=norm, cmap=cmap)
        ax.set_xlabel(hname)
        ax.set_ylabel(vname)
        ax.set_title(f"{hname}-{vname} plane at {where}")
        fig.colorbar(mesh, ax=ax, shrink=0.9, label="field")
    if title:
        fig.suptitle(title)
    fig.savefig(out, dpi=100)
    plt.close(fig)


def plot_phase_space(ps, i, j, out, title=None, bins=None):
    """Writes a 2-D histogram of components i and j of the particles in `ps`
    (a (2n+1, P) array) with the 1-D histogram of each on its margin to the
    PNG file `out`. Counts are coloured on a log scale, since bunches have
    dense cores and sparse halos. Without `bins`, the bin count grows with
    the square root of the particle count, between 20 and 200."""
    plt = _pyplot()
    from matplotlib.colors import LogNorm
    from matplotlib.ticker import FormatStrFormatter, LogLocator, NullFormatter

    a, b = np.asarray(ps[i], dtype=np.float64), np.asarray(ps[j], dtype=np.float64)
    keep = np.isfinite(a) & np.isfinite(b)
    a, b = a[keep], b[keep]
    if bins is None:
        bins = int(np.clip(np.sqrt(a.size), 20, 200))
    fig = plt.figure(figsize=(7.5, 7), layout="constrained")
    grid = fig.add_gridspec(2, 3, width_ratios=(4, 1, 0.2), height_ratios=(1, 4))
    main = fig.add_subplot(grid[1, 0])
    top = fig.add_subplot(grid[0, 0], sharex=main)
    side = fig.add_subplot(grid[1, 1], sharey=main)
    bar = fig.add_subplot(grid[1, 2])

    counts, xe, ye, image = main.hist2d(a, b, bins=bins, norm=LogNorm(), cmap="viridis", cmin=1)
    main.set_xlabel(f"component {i}")
    main.set_ylabel(f"component {j}")
    top.hist(a, bins=xe, color="C0")
    side.hist(b, bins=ye, color="C0", orientation="horizontal")
    top.set_ylabel("particles")
    side.set_xlabel("particles")
    top.tick_params(labelbottom=False)
    side.tick_params(labelleft=False)
    cb = fig.colorbar(image, cax=bar, label="particles per bin")
    # Label 1, 2, 5, 10, 20, ... rather than powers of ten alone, which
    # leave a short colour bar with two labels.
    cb.ax.yaxis.set_major_locator(LogLocator(subs=(1.0, 2.0, 5.0)))
    cb.ax.yaxis.set_major_formatter(FormatStrFormatter("%g"))
    cb.ax.yaxis.set_minor_formatter(NullFormatter())
    fig.suptitle(title or f"{a.size} particles: component {j} against component {i}")
    fig.savefig(out, dpi=100)
    plt.close(fig)


def plot_histogram(counts, edges, components, out, log=False, title=None):
    """Writes a histogram that is already counted (as dorvo.quickio.particles
    returns it) to the PNG file `out`: counts over the bins of one component
    as steps, or the counts of two components (`counts[i, j]` for bin i of
    the first and j of the second) as coloured cells, the second component
    upwards. With `log`, counts are drawn on a log scale (empty bins left
    blank)."""
    plt = _pyplot()
    from matplotlib.colors import LogNorm

    fig, ax = plt.subplots(figsize=(7.5, 6), layout="constrained")
    counts = np.asarray(counts, dtype=np.float64)
    if counts.ndim == 1:
        ax.stairs(counts, edges[0], fill=True, color="C0")
        ax.set_xlabel(f"component {components[0]}")
        ax.set_ylabel("particles")
        if log:
            ax.set_yscale("log")
    else:
        shown = np.ma.masked_less_equal(counts, 0) if log else counts
        norm = LogNorm() if log and shown.count() else None
        mesh = ax.pcolormesh(edges[0], edges[1], shown.T, norm=norm, cmap="viridis")
        ax.set_xlabel(f"component {components[0]}")
        ax.set_ylabel(f"component {components[1]}")
        fig.colorbar(mesh, ax=ax, label="particles per bin")
    if title:
        ax.set_title(title)
    fig.savefig(out, dpi=100)
    plt.close(fig)
