"""Which dumps make a run, in which order, and how they are labelled: one
rule for every tool that takes many dumps (``xarray.open_series``, the
views of ``views.virtualize``, the reductions over a run of
``dorvo.quickio.particles``).

- A run is given as a glob pattern (a URL pattern is globbed by its file
  system) or as a sequence of paths, URLs or file objects.
- The step of a dump is the last number in its file name; the dumps of a
  run go in step order. Where a name holds no number, or two names give one
  step, the run keeps the order of the names (numbers compared by value),
  labelled 0 to n-1.
- A dump is labelled by its file name, or by its whole path where two
  dumps of the run have the same name.
"""

from __future__ import annotations

import glob as _glob
import os
import re

import numpy as np

from .._io import remote as _remote
from .._io import sources as _sources
from .targets import step_number

__all__ = ["file_labels", "is_pattern", "step_labels", "step_number", "steps_of", "targets"]


def file_labels(paths) -> list:
    """The names by which a run labels its dumps: the file names, or the
    whole paths where two dumps have the same name."""
    files = [os.path.basename(p) for p in paths]
    return files if len(set(files)) == len(files) else list(paths)


def steps_of(files):
    """The step numbers of the dumps named `files` when every name gives
    one and no two give the same, else None."""
    steps = [step_number(f) for f in files]
    # A label is an int64: a longer run of digits is no step either.
    if None in steps or len(set(steps)) < len(steps) or max(steps) > np.iinfo(np.int64).max:
        return None
    return steps


def step_labels(files) -> tuple:
    """(order, steps) of dumps named `files`: their steps_of() with the
    order that sorts them; else the given order and None."""
    steps = steps_of(files)
    if steps is None:
        return list(range(len(files))), None
    order = sorted(range(len(files)), key=steps.__getitem__)
    return order, [steps[i] for i in order]


def _natural_key(target):
    """Sorts file names with their numbers by value: dump_9 before dump_10."""
    label = _sources.target_name(target)
    name = os.path.basename(label)
    return [(0, int(part), "") if part.isdigit() else (1, 0, part) for part in re.split(r"(\d+)", name)], label


def is_pattern(target) -> bool:
    """True for a str or os.PathLike that is a glob pattern (holds *, ? or
    [...]) and names no file as it is."""
    if not isinstance(target, (str, os.PathLike)) or isinstance(target, bytes):
        return False
    text = os.fspath(target)
    return _glob.has_magic(text) and (_remote.is_url(text) or not os.path.exists(text))


def targets(paths_or_glob, storage_options=None, what="a run") -> list:
    """The dumps of a run as its pattern or its sequence gives them, in the
    order of their names (numbers compared by value)."""
    if _remote.is_url(paths_or_glob):
        found = _remote.glob(paths_or_glob, storage_options)
        if not found:
            raise FileNotFoundError(f"no files match {paths_or_glob!r}")
    elif isinstance(paths_or_glob, (str, os.PathLike)):
        pattern = os.fspath(paths_or_glob)
        found = _glob.glob(pattern)
        if not found:
            raise FileNotFoundError(f"no files match {pattern!r}")
    else:
        found = [p if _remote.is_remote(p) else os.fspath(p) for p in paths_or_glob]
        if not found:
            raise ValueError(f"{what} needs at least one dump")
    return sorted(found, key=_natural_key)
