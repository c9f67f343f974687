"""``load()``: one call for either kind of dump, by any name of it."""
from __future__ import annotations

import os

import numpy as np

SUFFIX = ".bin"


def _names(path) -> tuple:
    """The dump's file name and the name the loaders take (without ".bin")."""
    path = os.fsdecode(os.fspath(path))
    if path.endswith(SUFFIX):
        return path, path[:-len(SUFFIX)]
    return path + SUFFIX, path


def load(path, *, n_dimensions=None, storage_options=None):
    """Loads the dump at `path`, a str or os.PathLike naming the file with
    or without its ".bin"; or a URL read through fsspec (http(s)://, s3://,
    gs://, ...; `storage_options` go to its file system), an fsspec
    OpenFile or a binary file object, each by its full name, read by byte
    ranges: the header and block extents first, then the data in a few
    large ranges.

    A field dump gives ``(f, x, y, z)`` exactly as
    ``meshdump.read_Vintar_bin`` does with the sizes of the dump's own
    header: the field as an (nx, ny, nz) float32 array in column-major
    order and the three axes.

    A phase-space dump does not record its dimension count: give it as
    `n_dimensions`. It gives the (2n+1, P) float32 array in column-major
    order that ``beamdump.total_phase_space_read`` returns; a dump of no
    particles (an empty file, or only empty blocks) gives an empty
    (2n+1, 0) array.

    A file that is not a field dump, loaded without `n_dimensions`, raises
    ValueError saying so. A bad dump raises what the loaders raise for it;
    ``dorvo.quickio.header`` tells beforehand, without loading, whether a
    dump would load (``well_formed``) and why not. A remote dump that is
    not well-formed raises ValueError (EOFError when it ends within its
    parameters) with that reason."""
    from . import _remote

    if _remote.is_remote(path):
        return _remote.load(path, n_dimensions, storage_options)
    file_name, dump_name = _names(path)
    if n_dimensions is None:
        return _load_field(file_name, dump_name)
    return _load_phase_space(file_name, dump_name, n_dimensions)


def _load_field(file_name: str, dump_name: str):
    from . import _scan, meshdump

    s = _scan.field(file_name)
    if not s["framed"] and s["axes"] is None:
        raise ValueError(f"{file_name}: not a field dump ({s['reason'] or s['refusal']}); "
                         f"to load a phase-space dump, pass n_dimensions=N")
    if s["int_params"] is None:
        raise (EOFError if s["eof"] else ValueError)(f"{file_name}: {s['reason']}")
    ints = s["int_params"]
    return meshdump.read_Vintar_bin(dump_name, {"nx": int(ints[3]), "ny": int(ints[4]), "nz": int(ints[6])})


def _load_phase_space(file_name: str, dump_name: str, n_dimensions):
    from . import beamdump
    from .header import read_phase_space_header

    try:
        return beamdump.total_phase_space_read(dump_name, {"n_dimensions": n_dimensions})
    except ValueError:
        # The loader cannot make an array of no particles; a whole dump of
        # none is an empty array here.
        try:
            h = read_phase_space_header(file_name, n_dimensions)
        except (OSError, ValueError, TypeError, OverflowError):
            h = None
        if h is None or not (h.well_formed and h.particles == 0):
            raise
    return np.empty((2 * h.n_dimensions + 1, 0), np.float32, order="F")
