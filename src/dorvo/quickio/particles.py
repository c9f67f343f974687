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

A component is given by its index or its name: x, y, z, px, py, pz, w
for n = 3 (``components.default_labels``), or one of ``labels=[...]``
(2n+1 names) when the call gives them; an unknown name raises ValueError
listing the names there are::

    H, xe, pe = particles.histogram("run/Phasespace.bin", 3, ("x", "px"), weights="w")

``where`` keeps the particles whose listed components lie inside their
windows: ``{component: (lo, hi)}`` keeps lo <= value <= hi for every listed
component, the float32 values compared exactly with the bounds (as float64);
NaN never passes. ``range=None`` takes each component's finite minimum and
maximum over the kept particles, so NaN and infinite values are never
counted (NumPy refuses such data without a range).

A result that cannot fit in the machine's memory (or under the process's
address-space limit, when one is set lower), such as a histogram of 10^10
bins, is refused with MemoryError before any work.

A URL (read through fsspec) or a binary file object is streamed by byte
ranges, in stretches of whole blocks fetched a few at a time while the
native passes reduce the ones before them from memory, so that memory stays
bounded (about 64 MiB besides the result); the file's identity is checked
around every batch. The results are those of the local file, but for
float64 sums merged stretch by stretch (weighted bins, means and standard
deviations), which may differ from one pass by float64 rounding.

Every function also takes ``progress``, a callable that is called about ten
times a second, from another thread, with the bytes of the dump handled so
far and the bytes the whole call will handle.
"""

from __future__ import annotations

from ._dump import run as _run
from ._dump.dump import Dump

__all__ = ["histogram", "moments", "select"]


def histogram(
    path,
    n_dimensions,
    components,
    bins=10,
    range=None,
    weights=None,
    where=None,
    *,
    progress=None,
    labels=None,
    storage_options=None,
):
    """Histogram of one or two components of the particles of a phase-space
    dump, streamed from the file.

    `components` is one component (its index or its name) or a sequence
    of one or two;
    `bins` an int or one int per component; `range` None or one (lo, hi)
    (or None) per component, values outside it not counted (the last bin
    holds its right edge); `weights` None or the index of the component
    whose values weight the counts; `where` a dict {component: (lo, hi)};
    `labels` the 2n+1 names of the components, when not the defaults;
    `storage_options` those of the file system of a URL.

    Returns (hist, edges) for one component, as np.histogram does (int64
    counts, float64 sums with weights), and (H, xedges, yedges) for two,
    as np.histogram2d does (float64).

    Over a run of dumps (`path` a list of paths, URLs or file objects, or
    a glob pattern), returns an xarray DataArray of one histogram per dump,
    on the same bins: dimensions "step" (the dumps in step order, labelled
    as ``xarray.open_series`` labels them, with their "file") and one per
    component, named by it, whose coordinates are the bins' centres and
    their "<name>_lower" and "<name>_upper" edges. A range not given is
    taken from a first pass over all the dumps; ``attrs["range"]`` says
    which. With a dask.distributed client active, the dumps (or parts of
    1 GiB of larger ones) are reduced on its workers, and only the
    histograms travel back; without one, by local threads. `progress` is
    then called as each dump's task ends.
    """
    if _is_run(path):
        from ._dump import series

        return series.histogram(
            path,
            n_dimensions,
            components,
            bins,
            range,
            weights,
            where,
            progress=progress,
            labels=labels,
            storage_options=storage_options,
        )
    with _opened(path, n_dimensions, storage_options) as d:
        return d.histogram(components, bins, range, weights, where, progress=progress, labels=labels)


def moments(path, n_dimensions, where=None, *, progress=None, labels=None, storage_options=None):
    """Moments of every component of the (kept) particles of a phase-space
    dump, ignoring NaN, in one pass.

    Returns a dict: "count", the number of particles taken; and arrays of
    one value per component: "min" and "max" (float32, as np.nanmin and
    np.nanmax give them), "mean" and "std" (float64; std the population
    standard deviation, np.nanstd with ddof=0) and "nan" (int64, the number
    of NaN values). Components without a value that is not NaN have NaN
    statistics.

    Over a run of dumps (as for histogram), returns an xarray Dataset of
    the same variables, "count" along "step" and the others along ("step",
    "component").
    """
    if _is_run(path):
        from ._dump import series

        return series.moments(
            path, n_dimensions, where, progress=progress, labels=labels, storage_options=storage_options
        )
    with _opened(path, n_dimensions, storage_options) as d:
        return d.moments(where, progress=progress, labels=labels)


def select(path, n_dimensions, where, *, progress=None, labels=None, storage_options=None):
    """The particles of a phase-space dump that `where` keeps, in file
    order: a (2n+1, K) float32 array in column-major order, as
    ``ps[:, mask]`` of the loaded array. Memory: the result, and a bounded
    buffer; the file is read once when the selection fits in 64 MiB, twice
    otherwise (once to count, once to fill). `where` None keeps every
    particle."""
    with _opened(path, n_dimensions, storage_options) as d:
        return d.select(where, progress=progress, labels=labels)


def _is_run(path) -> bool:
    """A run of dumps: a list or tuple of them, or a glob pattern."""
    return isinstance(path, (list, tuple)) or _run.is_pattern(path)


def _opened(path, n_dimensions, storage_options=None):
    return Dump(path, n_dimensions=n_dimensions, storage_options=storage_options)
