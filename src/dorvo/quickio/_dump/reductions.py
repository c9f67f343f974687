"""The streamed reductions of a phase-space dump: argument checks, memory
bounds, bin edges and the native passes (``_particles``). The passes run
over `passes`: ``FilePasses``, the dump's file by its exact name, or
``streamed.StreamedPasses``, its bytes fetched by range (a remote dump, a
file object, a part of a dump on a worker). ``dorvo.quickio.particles``
and ``Dump`` call them."""

from __future__ import annotations

import math
import operator
import os
from typing import NamedTuple

import numpy as np

from .. import _particles, _scan
from ..components import component_index
from . import headers as _headers
from . import progress as progress_

# ---------------------------------------------------------------- arguments


def component_of(k, n, what, labels=None):
    """An index or a name of a component, as its index."""
    return component_index(k, n, labels, what)


def _real(v, what):
    try:
        return float(v)
    except (TypeError, ValueError):
        raise TypeError(f"{what}: {v!r} is not a real number") from None


def _where(where, n, labels=None):
    """The windows as (component, lo, hi) triples."""
    if where is None:
        return ()
    if not hasattr(where, "items"):
        raise TypeError("where must be a dict {component: (lo, hi)}")
    out = []
    for k, window in where.items():
        k = component_of(k, n, "where", labels)
        try:
            lo, hi = window
        except (TypeError, ValueError):
            raise TypeError(f"where: the window of component {k} must be a pair (lo, hi), not {window!r}") from None
        lo, hi = _real(lo, f"where, component {k}"), _real(hi, f"where, component {k}")
        if math.isnan(lo) or math.isnan(hi) or lo > hi:
            raise ValueError(f"where: the window of component {k} must have lo <= hi, got ({lo}, {hi})")
        out.append((k, lo, hi))
    return tuple(out)


def _per_axis(value, naxes, what):
    """`value` for each axis: one value for all, or a sequence of one per axis."""
    if isinstance(value, (list, tuple, np.ndarray)):
        if len(value) != naxes:
            raise ValueError(f"{what}: expected one per component ({naxes}), got {len(value)}")
        return list(value)
    return [value] * naxes


def bins_of(bins, naxes):
    out = []
    for b in _per_axis(bins, naxes, "bins"):
        try:
            b = operator.index(b)
        except TypeError:
            raise TypeError(f"bins must be an int or one int per component, not {type(b).__name__}") from None
        if b < 1:
            raise ValueError(f"bins must be at least 1, got {b}")
        out.append(b)
    return out


def ranges_of(range_, components):
    """One (lo, hi) pair or None per component; a single pair is taken for
    a histogram of one component."""
    if range_ is None:
        return [None] * len(components)
    if len(components) == 1 and len(range_) == 2 and all(np.ndim(v) == 0 and v is not None for v in range_):
        range_ = [range_]
    if len(range_) != len(components):
        raise ValueError(f"range: expected one (lo, hi) per component ({len(components)}), got {len(range_)}")
    out = []
    for c, r in zip(components, range_):
        if r is None:
            out.append(None)
            continue
        try:
            lo, hi = r
        except (TypeError, ValueError):
            raise TypeError(f"range of component {c} must be a pair (lo, hi), not {r!r}") from None
        if not (np.isfinite(lo) and np.isfinite(hi)):
            raise ValueError(f"range of component {c} is not finite: ({lo}, {hi})")
        if lo > hi:
            raise ValueError(f"range of component {c} must have lo <= hi, got ({lo}, {hi})")
        out.append((lo, hi))
    return out


# ---------------------------------------------------------------- memory
#
# A result that cannot fit is refused before any work, with MemoryError.
# The bound is the machine's physical memory, or the process's address-space
# limit when one is set and lower: a result larger than physical memory can
# only be had by paging it (or by the kernel ending the process once it is
# touched), while what happens to be free at the moment changes with every
# other process, so a bound on it would refuse the same call one moment and
# accept it the next.


def _memory_limit():
    """The bytes one call may count on, or None when nothing says."""
    limit = None
    try:
        limit = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (AttributeError, OSError, ValueError):
        pass
    try:
        import resource

        soft, _ = resource.getrlimit(resource.RLIMIT_AS)
    except (ImportError, OSError, ValueError):
        soft = None
    if soft is not None and soft != resource.RLIM_INFINITY and soft > 0 and (limit is None or soft < limit):
        limit = soft
    return limit


def _refuse_beyond_memory(need, what):
    limit = _memory_limit()
    if limit is not None and need > limit:
        raise MemoryError(
            f"{what} would take about {need / 2**30:,.1f} GiB, more than the {limit / 2**30:,.1f} GiB "
            f"of memory this process can use"
        )


# Per bin edge: its float64 array, the list of Python floats handed to the
# native pass (a pointer and a float object each) and the native copy of
# the edges. Per cell: the result (8 bytes). The native pass's per-thread
# copies of a histogram (one per reader thread) take at most
# _scan.HISTOGRAM_COPIES_BYTES in all.
_BYTES_PER_EDGE = 64
_BYTES_PER_CELL = 8
# Per component of moments: the five result arrays, the native results and
# one running state per reader thread.
_BYTES_PER_MOMENT = 32 + 32 + _scan.MAX_THREADS * 64


def _check_histogram_fits(nbins, results: int = 1, what: str | None = None):
    """Refuses a histogram of `nbins` that cannot fit; with `results`, as
    many held at once (the histograms of a run's tasks, and their stack)."""
    cells = math.prod(nbins)
    need = (
        _BYTES_PER_CELL * cells * results
        + _BYTES_PER_EDGE * sum(b + 1 for b in nbins)
        + min(_scan.HISTOGRAM_COPIES_BYTES, _BYTES_PER_CELL * cells * _scan.MAX_THREADS)
    )
    _refuse_beyond_memory(need, what or f"a histogram of {cells:,} bins")


def check_run_histograms_fit(nbins, tasks: int, dumps: int) -> None:
    """Refuses the histograms of a run that cannot fit, before any work:
    one a task until the end, then one a dump stacked."""
    cells = math.prod(nbins)
    _check_histogram_fits(nbins, tasks + dumps, f"{dumps:,} histograms of {cells:,} bins")


# ---------------------------------------------------------------- passes


class FilePasses:
    """The native passes over a dump's file by its path. Once `expect` (the
    identity pinned at opening) is known, a pass over a file that no longer
    has it is refused before it reads, and one that read another is refused
    after."""

    def __init__(self, path, expect=None):
        self.path = os.fsencode(path)
        self.expect = expect
        try:
            self.size = os.stat(self.path).st_size
        except OSError:
            self.size = 0  # the native open reports it

    def extent(self, n, components, windows, counter):
        """(lows, highs, selected, finite): see ``_particles.extent``."""
        lows, highs, seen, selected, finite = _particles.extent(self.path, n, components, windows, counter)
        if self.expect is not None and tuple(seen) != tuple(self.expect):
            raise OSError(f"{os.fsdecode(self.path)}: the file changed since it was opened")
        self.expect = seen
        return lows, highs, selected, finite

    def histogram(self, n, axes, weight, windows, counter):
        return _particles.histogram(self.path, n, axes, weight, windows, self.expect, counter)

    def moments(self, n, windows, counter):
        return _particles.moments(self.path, n, windows, counter)

    def select(self, n, windows, counter):
        return _particles.select(self.path, n, windows, counter)


# ---------------------------------------------------------------- bin edges
#
# The edges, and the span that maps a value to its bin, are worked out here
# by NumPy itself, with the operations np.histogram and np.histogramdd apply
# to the same range, so that the native passes place every value in the bin
# NumPy would.


def _outer_edges(lo, hi):
    if lo == hi:
        lo, hi = lo - 0.5, hi + 0.5
    return lo, hi


def _span(first, last):
    """last - first as np.histogram computes it (in the range's own type,
    unsigned for integers)."""
    dt = np.result_type(last, first)
    if np.issubdtype(dt, np.integer):
        return float(int(last) - int(first))
    return float(np.subtract(last, first, dtype=dt))


def _axis_1d(component, bins, lo, hi):
    first, last = _outer_edges(lo, hi)
    with np.errstate(over="ignore", invalid="ignore"):  # a span past float64: refused below
        edges = np.linspace(first, last, bins + 1, endpoint=True, dtype=np.result_type(first, last, np.float64))
    if not np.all(np.isfinite(edges)):
        raise ValueError(f"range of component {component} is too wide: its bin edges are not finite")
    if np.any(edges[:-1] >= edges[1:]):
        raise ValueError(f"Too many bins for data range. Cannot create {bins} finite-sized bins.")
    return edges, (component, edges.tolist(), _span(first, last))


def _axis_dd(component, bins, lo, hi):
    first, last = _outer_edges(lo, hi)
    with np.errstate(over="ignore", invalid="ignore"):
        edges = np.linspace(first, last, bins + 1)
    wide = np.asarray(edges, np.float64)
    if not np.all(np.isfinite(wide)):
        raise ValueError(f"range of component {component} is too wide: its bin edges are not finite")
    if np.any(wide[:-1] > wide[1:]):
        raise ValueError(f"Too many bins for data range. Cannot create {bins} finite-sized bins.")
    return edges, (component, wide.tolist(), None)


# ---------------------------------------------------------------- reductions


def histogram_components(components, n, labels) -> list:
    """The one or two components of a histogram, as indices."""
    comps = [components] if isinstance(components, str) or np.ndim(components) == 0 else list(components)
    if not 1 <= len(comps) <= 2:
        raise ValueError(f"components: one or two component indices, got {len(comps)}")
    return [component_of(c, n, "components", labels) for c in comps]


def _finite_range(lo, hi) -> tuple:
    """The range a histogram takes from the finite extent of its values:
    NumPy's (0, 1) for no finite value."""
    return (0, 1) if lo is None else (np.float64(lo), np.float64(hi))


class Census(NamedTuple):
    """What one pass counts of the particles a histogram of `components`
    takes: ``selected`` by `where`, of those the ones ``finite`` in every
    component, and the ``ranges`` a histogram takes when none is given (the
    finite extent of each component over the selected particles)."""

    selected: int
    finite: int
    ranges: list


def census(passes, n_dimensions, components, where=None, *, progress=None, labels=None) -> Census:
    """The Census of the histogram of `components` (one or two) of the
    particles `where` keeps, in one pass."""
    n = _headers.dimensions(n_dimensions)
    comps = histogram_components(components, n, labels)
    windows = _where(where, n, labels)
    with progress_.Watch(progress, passes.size) as shown:
        lows, highs, selected, finite = passes.extent(n, comps, windows, shown.counter)
    return Census(selected, finite, [_finite_range(lo, hi) for lo, hi in zip(lows, highs)])


def extent(passes, n_dimensions, components, where=None, *, progress=None, labels=None) -> list:
    """The finite (min, max) of each of `components` over the particles
    that `where` keeps, as float64; None for a component without a finite
    value there. One pass."""
    n = _headers.dimensions(n_dimensions)
    comps = histogram_components(components, n, labels)
    windows = _where(where, n, labels)
    with progress_.Watch(progress, passes.size) as shown:
        lows, highs, _, _ = passes.extent(n, comps, windows, shown.counter)
    return [None if lo is None else (np.float64(lo), np.float64(hi)) for lo, hi in zip(lows, highs)]


def histogram(
    passes, n_dimensions, components, bins=10, range=None, weights=None, where=None, *, progress=None, labels=None
):
    """The streamed histogram that ``particles.histogram`` documents."""
    n = _headers.dimensions(n_dimensions)
    comps = histogram_components(components, n, labels)
    nbins = bins_of(bins, len(comps))
    _check_histogram_fits(nbins)
    ranges = ranges_of(range, comps)
    weight = None if weights is None else component_of(weights, n, "weights", labels)
    windows = _where(where, n, labels)

    auto = [i for i, r in enumerate(ranges) if r is None]
    passes_made = 1 + (1 if auto else 0)
    with progress_.Watch(progress, passes_made * passes.size) as shown:
        if auto:
            lows, highs, _, _ = passes.extent(n, [comps[i] for i in auto], windows, shown.counter)
            for i, lo, hi in zip(auto, lows, highs):
                ranges[i] = _finite_range(lo, hi)
        make_axis = _axis_1d if len(comps) == 1 else _axis_dd
        edges, axes = zip(*(make_axis(c, b, *r) for c, b, r in zip(comps, nbins, ranges)))
        hist = passes.histogram(n, axes, weight, windows, shown.counter)
    if len(comps) == 1:
        return hist, edges[0]
    return hist.astype(np.float64, copy=False), edges[0], edges[1]


def moments(passes, n_dimensions, where=None, *, progress=None, labels=None):
    """The streamed moments that ``particles.moments`` documents."""
    n = _headers.dimensions(n_dimensions)
    _refuse_beyond_memory(_BYTES_PER_MOMENT * (2 * n + 1), f"the moments of {2 * n + 1:,} components")
    windows = _where(where, n, labels)
    with progress_.Watch(progress, passes.size) as shown:
        count, lo, hi, mean, std, nan = passes.moments(n, windows, shown.counter)
    return {"count": count, "min": lo, "max": hi, "mean": mean, "std": std, "nan": nan}


def select(passes, n_dimensions, where, *, progress=None, labels=None):
    """The streamed selection that ``particles.select`` documents."""
    n = _headers.dimensions(n_dimensions)
    windows = _where(where, n, labels)
    with progress_.Watch(progress, 2 * passes.size) as shown:
        return passes.select(n, windows, shown.counter)
