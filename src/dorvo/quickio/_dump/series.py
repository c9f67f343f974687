"""Reductions over a run of dumps: the histogram or the moments of the
particles of every dump of a run, one result per dump, stacked along a
"step" dimension as an xarray object.

The run is a glob pattern or a sequence of paths, URLs or file objects,
ordered and labelled by step as ``xarray.open_series`` does (``run``).
Every dump is opened here first (its identity pinned, its blocks scanned);
then the work goes out as tasks, one per dump, or one per part of about
PART_BYTES of a larger dump. With a ``dask.distributed`` client active, the
tasks run on its workers: each carries its opened dump, which pickles as
its target, its pinned identity and its scan (the worker opens the file
itself and fails the task with OSError when it is not the file pinned), and
sends back only its histogram or moments. Without one, and for dumps opened
from file objects, which cannot travel, local threads run the tasks.

The bins are the same for every dump: a range not given is taken from a
first pass over all the dumps (the finite minimum and maximum of each
component over the kept particles of the whole run), and the result says
which in ``attrs["range"]``.
"""

from __future__ import annotations

import concurrent.futures
import sys
import threading

import numpy as np

from ..components import check_labels
from . import headers as _headers
from . import reductions as _reductions
from . import run as _run
from . import streamed as _streamed
from .dump import Dump

# A dump larger than this is reduced in parts of about this many bytes, one
# task each, so that the workers of a cluster share a large dump.
PART_BYTES = 1 << 30
# Tasks that local threads run at once. Each native pass has reader threads
# of its own; a few dumps at a time keep the cores busy through the scans
# and the merges between passes of small dumps.
LOCAL_TASKS = 4

RANGE_GIVEN = "given"
RANGE_FOUND = "from a first pass over all dumps"


def _xarray():
    try:
        import xarray as xr
    except ImportError as e:
        raise ImportError(
            "reductions over a run of dumps give xarray objects: pip install 'dorvo.quickio[xarray]'"
        ) from e
    return xr


def active_client():
    """The active ``dask.distributed`` client, or None. distributed is not
    imported for the asking: no client can be active before it is."""
    if "distributed" not in sys.modules:
        return None
    try:
        from distributed import default_client

        return default_client()
    except (ImportError, ValueError):  # ValueError: no client
        return None


def _task(dump: Dump, method: str, part, args: tuple, kwargs: dict, stop=None):
    """One task: `method` of `dump` (of its `part`, when given); on a local
    thread, a streamed dump stops waiting for its server once `stop` is set."""
    if stop is None:
        return getattr(dump, method)(*args, part=part, **kwargs)
    token = _streamed.STOP.set(stop)
    try:
        return getattr(dump, method)(*args, part=part, **kwargs)
    finally:
        _streamed.STOP.reset(token)


class Run:
    """The opened dumps of a run in step order, their steps and files."""

    def __init__(self, targets, n_dimensions, storage_options=None):
        found = _run.targets(targets, storage_options)
        self.dumps = []
        try:
            for target in found:
                self.dumps.append(Dump(target, n_dimensions=n_dimensions, storage_options=storage_options))
        except BaseException:
            self.close()
            raise
        files = _run.file_labels([d.name for d in self.dumps])
        order, steps = _run.step_labels(files)
        self.dumps = [self.dumps[i] for i in order]
        self.files = [files[i] for i in order]
        self.steps = np.arange(len(self.dumps)) if steps is None else np.array(steps, np.int64)

    def close(self) -> None:
        for d in self.dumps:
            d.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def tasks(self) -> list:
        """(dump index, part, bytes) of every task: a part (k, count) for a
        dump of more than PART_BYTES, else None."""
        out = []
        for i, d in enumerate(self.dumps):
            size = d.header.file_size
            count = max(1, -(-size // PART_BYTES))
            out += [(i, None if count == 1 else (k, count), size / count) for k in range(count)]
        return out

    def each(self, method: str, args: tuple, kwargs: dict, progress=None) -> list:
        """For each dump, the results of `method` of its parts, in order."""
        tasks = self.tasks()
        client = active_client()
        remote = [t for t in tasks if client is not None and self.dumps[t[0]].travels]
        local = [t for t in tasks if t not in remote]
        results = {}
        total, done = sum(t[2] for t in tasks), 0

        def finished(task, value):
            nonlocal done
            results[task[:2]] = value
            done += task[2]
            if progress is not None:
                progress(int(done), int(total))

        if remote:
            from distributed import as_completed

            futures = {
                client.submit(_task, self.dumps[i], method, part, args, kwargs, pure=False): (i, part, b)
                for i, part, b in remote
            }
            try:
                for future in as_completed(futures):
                    finished(futures[future], future.result())
            except BaseException:
                client.cancel(list(futures))
                raise
        if local:
            # On an error or Ctrl-C, the tasks not begun are dropped, and those
            # streaming a dump stop at their next wait for a batch (a pass
            # over a local file ends with its part).
            stop = threading.Event()
            with concurrent.futures.ThreadPoolExecutor(
                min(LOCAL_TASKS, len(local)), thread_name_prefix="quickio-run"
            ) as pool:
                futures = {
                    pool.submit(_task, self.dumps[i], method, part, args, kwargs, stop): (i, part, b)
                    for i, part, b in local
                }
                try:
                    for future in concurrent.futures.as_completed(futures):
                        finished(futures[future], future.result())
                except BaseException:
                    stop.set()
                    for future in futures:
                        future.cancel()
                    raise
        return [[results[i, part] for j, part, _ in tasks if j == i] for i in range(len(self.dumps))]

    def coords(self) -> dict:
        return {"step": self.steps, "file": ("step", np.array(self.files, dtype=object))}


def _common_ranges(extents: list, count: int) -> list:
    """The (lo, hi) of each of `count` components over every part's
    extent; NumPy's (0, 1) for a component with no finite value."""
    out = []
    for k in range(count):
        found = [e[k] for parts in extents for e in parts if e[k] is not None]
        out.append((min(lo for lo, _ in found), max(hi for _, hi in found)) if found else (0, 1))
    return out


def _dims(names: list) -> list:
    """Dimension names of the histogram axes: the components' names, the
    second made distinct from the first when they are the same."""
    return names if len(set(names)) == len(names) else [names[0], names[1] + "_2"]


def histogram(
    targets,
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
    """The histogram of every dump of a run on the same bins, as an xarray
    DataArray (step, component[, component]); see particles.histogram."""
    xr = _xarray()
    n = _headers.dimensions(n_dimensions)
    names = check_labels(labels, n)
    comps = _reductions.histogram_components(components, n, labels)
    nbins = _reductions.bins_of(bins, len(comps))
    ranges = _reductions.ranges_of(range, comps)
    weight = None if weights is None else _reductions.component_of(weights, n, "weights", labels)
    auto = [i for i, r in enumerate(ranges) if r is None]
    with Run(targets, n, storage_options) as run:
        _reductions.check_run_histograms_fit(nbins, len(run.tasks()), len(run.dumps))
        if auto:
            extents = run.each("extent", ([comps[i] for i in auto], where), {"labels": labels}, progress)
            for i, r in zip(auto, _common_ranges(extents, len(auto))):
                ranges[i] = r
        found = run.each("histogram", (comps, nbins, ranges, weight, where), {"labels": labels}, progress)
    counts = np.stack([sum(part[0] for part in parts) if len(parts) > 1 else parts[0][0] for parts in found])
    edges = found[0][0][1:]
    dims = _dims([names[c] for c in comps])
    coords = run.coords()
    for dim, e in zip(dims, edges):
        coords[dim] = (dim, (e[:-1] + e[1:]) / 2)
        coords[f"{dim}_lower"] = (dim, e[:-1])
        coords[f"{dim}_upper"] = (dim, e[1:])
    attrs = {
        "n_dimensions": n,
        "components": ", ".join(names[c] for c in comps),
        "weights": "" if weight is None else names[weight],
        "range": RANGE_FOUND if auto else RANGE_GIVEN,
        "where": repr(where or {}),
    }
    return xr.DataArray(
        counts,
        dims=["step", *dims],
        coords=coords,
        attrs=attrs,
        name="histogram" if weight is None else f"sum of {names[weight]}",
    )


def _merged_moments(parts: list) -> tuple:
    if len(parts) == 1:
        m = parts[0]
        return m["count"], m["min"], m["max"], m["mean"], m["std"], m["nan"]
    running = _streamed.Moments(len(parts[0]["min"]))
    for m in parts:
        running.add(m["count"], m["min"], m["max"], m["mean"], m["std"], m["nan"])
    return running.result()


def moments(targets, n_dimensions, where=None, *, progress=None, labels=None, storage_options=None):
    """The moments of every dump of a run, as an xarray Dataset: "count"
    (step) and "min", "max", "mean", "std", "nan" (step, component); see
    particles.moments."""
    xr = _xarray()
    n = _headers.dimensions(n_dimensions)
    names = check_labels(labels, n)
    with Run(targets, n, storage_options) as run:
        found = [_merged_moments(parts) for parts in run.each("moments", (where,), {"labels": labels}, progress)]
    columns = list(zip(*found))
    data = {"count": ("step", np.array(columns[0], np.int64))}
    for key, values in zip(("min", "max", "mean", "std", "nan"), columns[1:]):
        data[key] = (("step", "component"), np.stack(values))
    return xr.Dataset(
        data,
        coords={**run.coords(), "component": np.array(names, dtype=object)},
        attrs={"n_dimensions": n, "where": repr(where or {})},
    )
