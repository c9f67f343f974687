"""The streamed reductions of a phase-space dump: argument checks, memory
bounds, bin edges and the native passes (``_particles``) over one exact
file name. ``dorvo.quickio.particles`` and ``Dump`` call them."""
from __future__ import annotations

import math
import operator
import os
import threading

import numpy as np



# ---------------------------------------------------------------- arguments


def _dimensions(n_dimensions):
    n = operator.index(n_dimensions)
    if n < 0:
        raise ValueError(f"n_dimensions must be >= 0, got {n}")
    if n > _MAX_DIMENSIONS:
        raise ValueError(f"n_dimensions must be at most {_MAX_DIMENSIONS}, got {n}")
    return n


# The readers take the dimension count as a 32-bit integer.
_MAX_DIMENSIONS = 2**31 - 1


def _component(k, n, what):
    try:
        k = operator.index(k)
    except TypeError:
        raise TypeError(f"{what}: a component is an int, not {type(k).__name__}") from None
    if not 0 <= k <= 2 * n:
        raise ValueError(f"{what}: component {k} out of range: a dump with n = {n} has components 0 to {2 * n}")
    return k


def _real(v, what):
    try:
        return float(v)
    except (TypeError, ValueError):
        raise TypeError(f"{what}: {v!r} is not a real number") from None


def _where(where, n):
    """The windows as (component, lo, hi) triples."""
    if where is None:
        return ()
    if not hasattr(where, "items"):
        raise TypeError("where must be a dict {component: (lo, hi)}")
    out = []
    for k, window in where.items():
        k = _component(k, n, "where")
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


def _bins(bins, naxes):
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


def _ranges(range_, components):
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
        raise MemoryError(f"{what} would take about {need / 2**30:,.1f} GiB, more than the {limit / 2**30:,.1f} GiB "
                          f"of memory this process can use")


# Per bin edge: its float64 array, the list of Python floats handed to the
# native pass (a pointer and a float object each) and the native copy of
# the edges. Per cell: the result (8 bytes). The native pass's per-thread
# copies of a histogram take at most 256 MiB in all.
_BYTES_PER_EDGE = 64
_BYTES_PER_CELL = 8
_HISTOGRAM_COPIES = 256 << 20
# Per component of moments: the five result arrays, the native results and
# one running state per reader thread (at most 16).
_BYTES_PER_MOMENT = 32 + 32 + 16 * 64


def _check_histogram_fits(nbins):
    cells = math.prod(nbins)
    need = (_BYTES_PER_CELL * cells + _BYTES_PER_EDGE * sum(b + 1 for b in nbins)
            + min(_HISTOGRAM_COPIES, _BYTES_PER_CELL * cells * 16))
    _refuse_beyond_memory(need, f"a histogram of {cells:,} bins")


# ---------------------------------------------------------------- progress


class _Progress:
    """Calls `callback(done, total)` from a helper thread while native
    passes count into `counter`, and once more at the end."""

    def __init__(self, callback, total):
        self.callback, self.total = callback, total
        self.counter = None if callback is None else np.zeros(1, np.int64)
        self._stop = threading.Event()
        self._thread = None

    def __enter__(self):
        if self.callback is not None:
            self._thread = threading.Thread(target=self._run, name="quickio-progress", daemon=True)
            self._thread.start()
        return self

    def _run(self):
        while not self._stop.wait(0.1):
            self.callback(min(int(self.counter[0]), self.total), self.total)

    def __exit__(self, exc_type, exc, tb):
        if self._thread is not None:
            self._stop.set()
            self._thread.join()
            if exc_type is None:
                self.callback(self.total, self.total)
        return False


def _size(path):
    try:
        return os.stat(path).st_size
    except OSError:
        return 0  # the native open reports it


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


def histogram(path, n_dimensions, components, bins=10, range=None, weights=None, where=None, *, progress=None,
              expect=None):
    """The streamed histogram that ``particles.histogram`` documents; with
    `expect`, the pass refuses a file whose identity differs from it."""
    n = _dimensions(n_dimensions)
    comps = [components] if np.ndim(components) == 0 else list(components)
    if not 1 <= len(comps) <= 2:
        raise ValueError(f"components: one or two component indices, got {len(comps)}")
    comps = [_component(c, n, "components") for c in comps]
    nbins = _bins(bins, len(comps))
    _check_histogram_fits(nbins)
    ranges = _ranges(range, comps)
    weight = None if weights is None else _component(weights, n, "weights")
    windows = _where(where, n)
    dump = os.fsencode(path)

    auto = [i for i, r in enumerate(ranges) if r is None]
    passes = 1 + (1 if auto else 0)
    with _Progress(progress, passes * _size(dump)) as shown:
        if auto:
            from . import _particles

            lows, highs, seen = _particles.extent(dump, n, [comps[i] for i in auto], windows, shown.counter)
            if expect is not None and tuple(seen) != tuple(expect):
                raise OSError(f"{os.fsdecode(dump)}: the file changed since it was opened")
            expect = seen
            for i, lo, hi in zip(auto, lows, highs):
                # No finite value: NumPy's range for no data.
                ranges[i] = (0, 1) if lo is None else (np.float64(lo), np.float64(hi))
        make_axis = _axis_1d if len(comps) == 1 else _axis_dd
        edges, axes = zip(*(make_axis(c, b, *r) for c, b, r in zip(comps, nbins, ranges)))
        from . import _particles

        hist = _particles.histogram(dump, n, axes, weight, windows, expect, shown.counter)
    if len(comps) == 1:
        return hist, edges[0]
    return hist.astype(np.float64, copy=False), edges[0], edges[1]


def moments(path, n_dimensions, where=None, *, progress=None):
    """The streamed moments that ``particles.moments`` documents."""
    n = _dimensions(n_dimensions)
    _refuse_beyond_memory(_BYTES_PER_MOMENT * (2 * n + 1), f"the moments of {2 * n + 1:,} components")
    windows = _where(where, n)
    dump = os.fsencode(path)
    from . import _particles

    with _Progress(progress, _size(dump)) as shown:
        count, lo, hi, mean, std, nan = _particles.moments(dump, n, windows, shown.counter)
    return {"count": count, "min": lo, "max": hi, "mean": mean, "std": std, "nan": nan}


def select(path, n_dimensions, where, *, progress=None):
    """The streamed selection that ``particles.select`` documents."""
    n = _dimensions(n_dimensions)
    windows = _where(where, n)
    dump = os.fsencode(path)
    from . import _particles

    with _Progress(progress, 2 * _size(dump)) as shown:
        return _particles.select(dump, n, windows, shown.counter)
