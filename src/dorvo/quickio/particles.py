"""Histograms, moments and selections of phase-space dumps of any size.

Each function streams the dump through native code, one pass per result
(a histogram without a range takes one more, for the range), with the
interpreter lock released, in memory that does not grow with the dump: the
reader's buffers and the result. Ctrl-C ends a pass with KeyboardInterrupt.
A bad dump raises what ``beamdump.total_phase_space_read`` raises for it
(EOFError for a cut block, OSError for a file that cannot be read or that
changed while it was read).

    from dorvo.quickio import particles

    H, xedges, yedges = particles.histogram("run/Phasespace.bin", 3, (0, 3), bins=(200, 100))
    stats = particles.moments("run/Phasespace", 3, where={6: (1.5, float("inf"))})
    fast = particles.select("run/Phasespace.bin", 3, where={6: (1.5, float("inf"))})

The results equal NumPy's on the loaded array ``ps =
beamdump.total_phase_space_read(name, {"n_dimensions": n})``: ``histogram``
with one component is ``np.histogram(ps[c].astype(np.float64), bins, range,
weights=ps[w].astype(np.float64))``, with two ``np.histogram2d`` of the two
components (as float64): the edges and the counts bin for bin; the sums of a
weighted histogram within float64 rounding, since the weights are added in
another order (NumPy adds a one-component histogram in blocks of 65,536
particles, this pass in each reading thread's share of the file), so a bin
of k particles may differ by k * 2**-52 times the sum of their weights'
magnitudes; ``moments`` are ``np.nanmin``, ``np.nanmax``, ``np.nanmean`` and
``np.nanstd`` of each component (mean and std in float64, equal within its
rounding); ``select`` is ``ps[:, mask]``.

``where`` keeps the particles whose listed components lie inside their
windows: ``{component: (lo, hi)}`` keeps lo <= value <= hi for every listed
component, the float32 values compared exactly with the bounds (as float64);
NaN never passes. ``range=None`` takes each component's finite minimum and
maximum over the kept particles, so NaN and infinite values are never
counted (NumPy refuses such data without a range).

A result that cannot fit in the machine's memory (or under the process's
address-space limit, when one is set lower), such as a histogram of 10^10
bins, is refused with MemoryError before any work.

Every function also takes ``progress``, a callable that is called about ten
times a second, from another thread, with the bytes of the dump handled so
far and the bytes the whole call will handle.
"""
from __future__ import annotations

from ._dump import Dump

__all__ = ["histogram", "moments", "select"]


def histogram(path, n_dimensions, components, bins=10, range=None, weights=None, where=None, *, progress=None):
    """Histogram of one or two components of the particles of a phase-space
    dump, streamed from the file.

    `components` is one component index or a sequence of one or two;
    `bins` an int or one int per component; `range` None or one (lo, hi)
    (or None) per component, values outside it not counted (the last bin
    holds its right edge); `weights` None or the index of the component
    whose values weight the counts; `where` a dict {component: (lo, hi)}.

    Returns (hist, edges) for one component, as np.histogram does (int64
    counts, float64 sums with weights), and (H, xedges, yedges) for two,
    as np.histogram2d does (float64).
    """
    with _opened(path, n_dimensions) as d:
        return d.histogram(components, bins, range, weights, where, progress=progress)


def moments(path, n_dimensions, where=None, *, progress=None):
    """Moments of every component of the (kept) particles of a phase-space
    dump, ignoring NaN, in one pass.

    Returns a dict: "count", the number of particles taken; and arrays of
    one value per component: "min" and "max" (float32, as np.nanmin and
    np.nanmax give them), "mean" and "std" (float64; std the population
    standard deviation, np.nanstd with ddof=0) and "nan" (int64, the number
    of NaN values). Components without a value that is not NaN have NaN
    statistics.
    """
    with _opened(path, n_dimensions) as d:
        return d.moments(where, progress=progress)


def select(path, n_dimensions, where, *, progress=None):
    """The particles of a phase-space dump that `where` keeps, in file
    order: a (2n+1, K) float32 array in column-major order, as
    ``ps[:, mask]`` of the loaded array. Memory: the result, and a bounded
    buffer; the file is read once when the selection fits in 64 MiB, twice
    otherwise (once to count, once to fill). `where` None keeps every
    particle."""
    with _opened(path, n_dimensions) as d:
        return d.select(where, progress=progress)


def _opened(path, n_dimensions):
    from ._reductions import _dimensions

    return Dump(path, n_dimensions=_dimensions(n_dimensions))
