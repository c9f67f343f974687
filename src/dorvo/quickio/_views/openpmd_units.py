"""The units of an openPMD view, which the dumps do not record: given by
the user as a TOML file (or its parsed mapping), or declared absent.

    [meshes.Ex]          # one table per mesh record
    unitSI = 1.5e9
    unitDimension = [1, 1, -3, -1, 0, 0, 0]   # L, M, T, I, theta, N, J
    [grid]               # the axes' unit
    unitSI = 1e-6
    [time]               # the time of step k is k * dt, in units of unitSI seconds
    dt = 0.5
    unitSI = 1e-15
    [species.electrons]
    position_unitSI = 1e-6
    momentum_unitSI = 2.73e-22
    mass = 9.109e-31     # kg
    charge = -1.602e-19  # C
    weighting_unitSI = 1 # optional, 1 when left out

Every table that a view needs must be there, with every key; a key that
is not known here is refused (a misspelt key would otherwise be a unit
silently left at 1). Tables for records the view does not hold are
allowed, so that one file serves a whole run. Without units, every
unitSI, mass, charge and time step is 1 and every dimension 0, and the
file says so in its root attribute "comment".
"""

from __future__ import annotations

import math
import os
import sys
from typing import Any, NamedTuple

from . import ViewError

NONE = (0.0,) * 7
LENGTH, MOMENTUM, MASS, CHARGE = (
    (1.0, 0, 0, 0, 0, 0, 0),
    (1.0, 1, -1, 0, 0, 0, 0),
    (0, 1.0, 0, 0, 0, 0, 0),
    (0, 0, 1.0, 1, 0, 0, 0),
)
UNITLESS_COMMENT = (
    "unitless: the dumps record no units and none were given, so every unitSI, mass, charge and "
    "time step is 1 and every unitDimension 0"
)

_MESH_KEYS = {"unitSI", "unitDimension"}
_SPECIES_KEYS = {"position_unitSI", "momentum_unitSI", "mass", "charge"}
_SPECIES_OPTIONAL = {"weighting_unitSI"}


class Mesh(NamedTuple):
    unit_si: float
    dimension: tuple


class Species(NamedTuple):
    position_si: float
    momentum_si: float
    mass: float
    charge: float
    weighting_si: float = 1.0


class Units:
    """The units a view writes: `mesh(name)`, `species(name)`, `grid()`
    (the axes' unitSI), the time step `dt` and its unitSI; `comment` is
    what the file says of them (None with units given)."""

    def __init__(self, table: dict | None, where: str):
        self._table, self._where = table, where
        self.comment = UNITLESS_COMMENT if table is None else None
        time = {"dt": 1.0, "unitSI": 1.0} if table is None else self._section("time", {"dt", "unitSI"})
        self.dt = _number(time, "dt", where, "time", positive=False)
        self.time_si = _number(time, "unitSI", where, "time")

    def _section(self, name: str, keys: set, optional=frozenset()) -> dict:
        """The table `name` (dotted: "meshes.Ex"), checked to hold `keys`
        and nothing but them and `optional`."""
        table = self._table
        for part in name.split("."):
            table = table.get(part) if isinstance(table, dict) else None
        if not isinstance(table, dict):
            raise ViewError(
                f"{self._where}: has no table [{name}]; the units of every record written are given "
                f"(or pass --unitless)"
            )
        # A misspelt key first: it is why a key is missing.
        unknown = sorted(set(table) - keys - set(optional))
        if unknown:
            raise ViewError(
                f"{self._where}: [{name}] has {', '.join(unknown)}, which is no key of a units file; "
                f"it takes {', '.join(sorted(keys | set(optional)))}"
            )
        missing = sorted(keys - set(table))
        if missing:
            raise ViewError(f"{self._where}: [{name}] has no {', '.join(missing)}")
        return table

    def grid(self) -> float:
        return 1.0 if self._table is None else _number(self._section("grid", {"unitSI"}), "unitSI", self._where, "grid")

    def mesh(self, name: str) -> Mesh:
        if self._table is None:
            return Mesh(1.0, NONE)
        table = self._section(f"meshes.{name}", _MESH_KEYS)
        dims = table["unitDimension"]
        where = f"[meshes.{name}] unitDimension"
        if not isinstance(dims, list) or len(dims) != 7 or not all(_is_number(v) for v in dims):
            raise ViewError(f"{self._where}: {where} is not 7 numbers (L, M, T, I, theta, N, J)")
        return Mesh(_number(table, "unitSI", self._where, f"meshes.{name}"), tuple(float(v) for v in dims))

    def species(self, name: str) -> Species:
        if self._table is None:
            return Species(1.0, 1.0, 1.0, 1.0)
        section = f"species.{name}"
        table = self._section(section, _SPECIES_KEYS, _SPECIES_OPTIONAL)
        return Species(
            _number(table, "position_unitSI", self._where, section),
            _number(table, "momentum_unitSI", self._where, section),
            _number(table, "mass", self._where, section),
            _number(table, "charge", self._where, section, positive=False),
            _number(table, "weighting_unitSI", self._where, section) if "weighting_unitSI" in table else 1.0,
        )


def _is_number(value) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)


def _number(table: dict, key: str, where: str, section: str, positive: bool = True) -> float:
    value: Any = table.get(key)
    if not _is_number(value) or (positive and value <= 0):
        what = "a positive number" if positive else "a finite number"
        raise ViewError(f"{where}: [{section}] {key} = {value!r} is not {what}")
    return float(value)


def units(given, unitless: bool) -> Units:
    """The Units of `given`, a TOML file's path or its parsed mapping, or
    with `unitless` none. Neither, or both, is refused: nothing is
    guessed."""
    if unitless:
        if given is not None:
            raise ViewError("units and unitless both given; an openPMD view takes one of them")
        return Units(None, "")
    if given is None:
        raise ViewError(
            "an openPMD view needs the units of its records, which the dumps do not record: give a "
            "units file (--units FILE, units=) or declare them absent (--unitless, unitless=True)"
        )
    if isinstance(given, dict):
        return Units(given, "units")
    path = os.fspath(given)
    if sys.version_info >= (3, 11):
        import tomllib
    else:  # before Python 3.11
        import tomli as tomllib
    try:
        with open(path, "rb") as fh:
            table = tomllib.load(fh)
    except tomllib.TOMLDecodeError as e:
        raise ViewError(f"{path}: not a TOML file: {e}") from None
    return Units(table, path)
