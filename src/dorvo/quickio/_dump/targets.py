"""Where a target lives and what it is called, for the layers above, which
reach the sources only through the dump layer: URLs and their globs, the
name by which messages call a target, the ".bin" name rule, and the step
of a run that a dump's name gives."""

from __future__ import annotations

import re

from .._io import remote as _remote
from .._io import sources as _sources
from .._io.local import SUFFIX, dump_name, without_suffix

__all__ = [
    "SUFFIX",
    "dump_name",
    "glob",
    "is_remote",
    "is_url",
    "local_path",
    "step_number",
    "target_name",
    "without_suffix",
]

is_url = _remote.is_url
is_remote = _remote.is_remote


def local_path(target):
    """The local path of a target that names a local file under another
    name (a file:// URL, possibly behind fsspec's caches), else None."""
    return _sources.local_path(target)


def glob(pattern: str, storage_options=None) -> list:
    """The URLs that a URL pattern matches, through fsspec."""
    return _remote.glob(pattern, storage_options)


def target_name(target) -> str:
    """The name by which messages call `target`: a path as given, a URL, or
    the name of a file object."""
    return _sources.target_name(target)


def step_number(name) -> int | None:
    """The step of a run that a dump's name gives: the last number in its
    file name, less the ".bin" suffix (Ex_50.bin and run2/Ex_0050.bin are
    step 50), or None for a name that holds no digits. Time series of
    dumps, in xarray and in XDMF views, take their steps by this one rule."""
    numbers = re.findall(r"\d+", dump_name(name))
    return int(numbers[-1]) if numbers else None
