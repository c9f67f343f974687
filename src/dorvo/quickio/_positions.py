"""``select_position``: values of a series of dumps at a position in axis
units, on axes that every dump shares and on those of a moving window,
where each dump has its own. Exported by ``dorvo.quickio.xarray``."""

from __future__ import annotations

import numpy as np
import xarray as xr

__all__ = ["select_position"]


def _nearest(axis: np.ndarray, value: float, name: str) -> int:
    """The position in `axis` of the value nearest `value`; of two as near,
    the greater value, as xarray's .sel(method="nearest") picks."""
    distance = np.abs(axis.astype(np.float64) - value)
    if not np.isfinite(value) or not np.isfinite(distance).any():
        raise ValueError(f"{name}: no finite value of the axis is nearest {value}")
    nearest = np.flatnonzero(distance == np.nanmin(distance))
    return int(nearest[np.argmax(axis[nearest])])


def _holds(axis: np.ndarray, value: float) -> bool:
    """Whether `value` lies within the finite points of `axis`."""
    finite = axis[np.isfinite(axis)]
    return bool(finite.size) and float(finite.min()) <= value <= float(finite.max())


def select_position(series, **positions):
    """The values of `series` (a dataset or a variable of ``open_series``)
    nearest the given positions, {axis: value}, in axis units.

    An axis that every dump shares selects as ``.sel(axis=value,
    method="nearest")`` does. An axis that moves from dump to dump (the
    coordinate ("dump", axis)), which ``.sel`` cannot take, selects in each
    dump the point of that dump's own axis nearest the value: the result
    keeps "dump", and the coordinate `axis` along it holds the positions
    picked. Of two points as near, the greater position is picked.

    A position outside a dump's axis (beyond its first or last point) is
    not in that dump's data: its values are NaN, and the coordinate holds
    the position asked for, never the window's edge."""
    indexers, held, kept = {}, [], {}
    for name, value in positions.items():
        if name not in series.coords:
            raise KeyError(f"{name!r} is not an axis of the series; it has {sorted(map(str, series.coords))}")
        axis = series.coords[name]
        value = float(value)
        if not np.isfinite(value):
            raise ValueError(f"{name}: a position is a finite number, not {value}")
        if axis.dims == (name,):
            inside = _holds(axis.values, value)
            indexers[name] = _nearest(axis.values, value, name) if inside else 0
            if not inside:
                held.append(False)
                kept[name] = value
        elif axis.dims == ("dump", name):
            inside = np.array([_holds(row, value) for row in axis.values])
            picked = [_nearest(row, value, name) if h else 0 for row, h in zip(axis.values, inside)]
            indexers[name] = xr.DataArray(picked, dims="dump")
            if not inside.all():
                held.append(xr.DataArray(inside, dims="dump"))
                positions_picked = axis.values[np.arange(len(picked)), picked].astype(np.float64)
                kept[name] = ("dump", np.where(inside, positions_picked, value))
        else:
            raise ValueError(f"{name!r} is a coordinate on {axis.dims}, not an axis of the dumps")
    out = series.isel(indexers)
    if held:
        mask = held[0]
        for h in held[1:]:
            mask = mask & h
        out = out.where(mask).assign_coords(kept)
    return out
