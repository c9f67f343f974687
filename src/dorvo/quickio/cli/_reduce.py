"""Histograms and per-component statistics of a phase-space dump, for
`hist` and `info --stats`.

A local dump is streamed through dorvo.quickio.particles, in memory that
does not grow with the dump; it is read by its exact name, so that a file
not named *.bin is refused rather than its ".bin" sibling read. A URL, which
the streamed passes cannot open, is loaded by byte ranges and reduced by
NumPy: the same results (particles.py promises NumPy's), in memory.
"""
from __future__ import annotations

import warnings

import numpy as np

from ..header import PhaseSpaceHeader
from ._dump import is_url, load_phase_space, progress_bar, reading


def _streaming(header: PhaseSpaceHeader, result: str):
    # The header said the dump is whole: what a pass raises is about the
    # file as it is now, or about the result asked for (its bins).
    return reading(header.path, what=f"compute {result} of", refusal=f"cannot compute {result}")


def histogram(header: PhaseSpaceHeader, components, bins, ranges, where, weights=None):
    """(counts, edges...) as particles.histogram() gives them."""
    if is_url(header.path):
        return _loaded_histogram(load_phase_space(header), components, bins, ranges, where, weights)
    from .. import particles

    with _streaming(header, "the histogram"):
        return particles.histogram(header.path, header.n_dimensions, components, bins=bins, range=ranges,
                                   weights=weights, where=where, progress=progress_bar("histogram"))


# The largest finite float32: a window of +-FINITE keeps exactly the finite values.
FINITE = float(np.finfo(np.float32).max)


def selection(header: PhaseSpaceHeader, components, where):
    """(selected, finite): the particles that `where` keeps, and those of
    them whose listed components are all finite (the ones a histogram can
    count)."""
    finite_where = dict(where)
    for c in components:
        lo, hi = finite_where.get(c, (-FINITE, FINITE))
        finite_where[c] = (max(lo, -FINITE), min(hi, FINITE))
    empty = any(lo > hi for lo, hi in finite_where.values())
    if is_url(header.path):
        ps = load_phase_space(header)
        return (int(_kept(ps, where).sum()), 0 if empty else int(_kept(ps, finite_where).sum()))
    from .. import particles

    with _streaming(header, "the selection"):
        selected = particles.moments(header.path, header.n_dimensions, where=where,
                                     progress=progress_bar("selection"))["count"]
        if selected == 0 or empty:
            return int(selected), 0
        finite = particles.moments(header.path, header.n_dimensions, where=finite_where,
                                   progress=progress_bar("selection"))["count"]
    return int(selected), int(finite)


def moments(header: PhaseSpaceHeader) -> dict:
    """min, max, mean, std and NaN count of each component, as
    particles.moments() gives them."""
    if is_url(header.path):
        return _loaded_moments(load_phase_space(header))
    from .. import particles

    with _streaming(header, "the statistics"):
        return particles.moments(header.path, header.n_dimensions, progress=progress_bar("statistics"))


def _kept(ps, where):
    keep = np.ones(ps.shape[1], bool)
    for k, (lo, hi) in where.items():
        # float32 values compared exactly with float64 bounds; NaN fails.
        v = ps[k].astype(np.float64)
        keep &= (v >= lo) & (v <= hi)
    return keep


def _loaded_histogram(ps, components, bins, ranges, where, weights=None):
    keep = _kept(ps, where)
    w = None if weights is None else ps[weights, keep].astype(np.float64)
    columns = [ps[c, keep].astype(np.float64) for c in components]
    if ranges is None:
        ranges = []
        for column in columns:
            # The finite extent of the kept values; NumPy's range for none.
            finite = column[np.isfinite(column)]
            ranges.append((finite.min(), finite.max()) if finite.size else (0.0, 1.0))
    if len(columns) == 1:
        return np.histogram(columns[0], bins, ranges[0], weights=w)
    return np.histogram2d(columns[0], columns[1], bins, ranges, weights=w)


def _loaded_moments(ps) -> dict:
    components, count = ps.shape
    if count == 0:
        nan = np.full(components, np.nan)
        return {"count": 0, "min": nan.astype(np.float32), "max": nan.astype(np.float32), "mean": nan,
                "std": nan, "nan": np.zeros(components, np.int64)}
    with warnings.catch_warnings():
        # A component of NaN only has NaN statistics, which NumPy warns of.
        warnings.simplefilter("ignore", RuntimeWarning)
        wide = ps.astype(np.float64)
        return {"count": count, "min": np.nanmin(ps, axis=1), "max": np.nanmax(ps, axis=1),
                "mean": np.nanmean(wide, axis=1), "std": np.nanstd(wide, axis=1),
                "nan": np.isnan(ps).sum(axis=1).astype(np.int64)}
