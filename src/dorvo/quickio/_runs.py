"""The rules of a run of field dumps, one place for every tool that forms a
time series (``xarray.open_series``, the XDMF and HDF5 views of
``views.virtualize``), besides which dumps a run holds and their order and
labels (``_dump.run``, whose names this module hands on):

- a time may come from real parameter K of each field dump;
- the field dumps of a run share their grid sizes, but not their axes: a
  moving window shifts an axis from dump to dump, and each dump keeps its
  own.
"""

from __future__ import annotations

import os

import numpy as np

from ._dump.run import file_labels, step_labels, steps_of
from .header import FieldHeader

__all__ = ["check_grid_sizes", "file_labels", "moving_axes", "real_times", "step_labels", "steps_of"]

AXES = "xyz"


def real_times(headers, k: int) -> np.ndarray:
    """Real parameter `k` of each dump of `headers`, as float64: the times
    of a run. Raises ValueError for a phase-space dump (which has no
    parameters) and for a dump with no parameter `k`."""
    out = []
    for h in headers:
        if not isinstance(h, FieldHeader):
            raise ValueError(f"{h.path}: a phase-space dump has no real parameters to take times from")
        if not 0 <= k < len(h.real_params):
            raise ValueError(f"{h.path}: has {len(h.real_params)} real parameters, no parameter {k}")
        out.append(float(h.real_params[k]))
    return np.array(out, np.float64)


def check_grid_sizes(headers) -> None:
    """Raises ValueError naming the first dump (in the order given) whose
    grid has another number of points along an axis than the first's."""
    first = headers[0]
    for h in headers[1:]:
        for axis, n, m in zip(AXES, h.shape, first.shape):
            if n != m:
                raise ValueError(
                    f"{h.path}: its grid has {n} points along {axis} where {first.path} has {m}; "
                    f"the dumps of a run share their grid sizes"
                )


def moving_axes(headers) -> list:
    """For each axis whose values differ between the dumps of a run (in run
    order), one line that says how it moves: by how much from the first
    dump to the last, and by a constant step when it is one."""
    lines = []
    for axis in AXES:
        values = [np.asarray(getattr(h, axis), np.float64) for h in headers]
        if all(np.array_equal(v, values[0]) for v in values[1:]):
            continue
        starts = np.array([v[0] for v in values])
        moved = starts[-1] - starts[0]
        shifts = np.diff(starts)
        # Equal within the rounding of float32 axes of this magnitude.
        tolerance = 8 * np.finfo(np.float32).eps * float(np.abs(np.concatenate(values)).max())
        steady = np.allclose(shifts, shifts[0], rtol=0, atol=tolerance)
        shifted = all(np.allclose(v - v[0], values[0] - values[0][0], rtol=0, atol=tolerance) for v in values[1:])
        first, last = os.path.basename(headers[0].path), os.path.basename(headers[-1].path)
        line = (
            f"{axis} moves by {moved:g} from {first} to {last} ({axis}[0] from {starts[0]:g} to {starts[-1]:g}"
            + (f", {shifts[0]:g} a dump" if steady and len(shifts) > 1 else "")
            + ")"
        )
        if not shifted:
            line += "; its spacing changes too"
        lines.append(line)
    return lines
