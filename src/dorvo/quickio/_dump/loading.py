"""``load()``: one call for either kind of dump."""

from __future__ import annotations

from .dump import Dump


def load(path, *, n_dimensions=None, storage_options=None):
    """Loads the dump at `path`, a str or os.PathLike naming the file (the
    name as given, or, when no such file exists, the name plus ".bin"); or a URL read through fsspec (http(s)://, s3://,
    gs://, ...; `storage_options` go to its file system), an fsspec
    OpenFile or a binary file object, each by its full name, read by byte
    ranges: the header and block extents first, then the data in a few
    large ranges. It is ``open(path, ...).load()`` in one call.

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
    ValueError saying so (and that a phase-space dump needs its dimension
    count); a field dump loaded with `n_dimensions` raises ValueError
    saying that it is a field dump. A bad dump raises what the loaders
    raise for it; ``dorvo.quickio.header`` tells beforehand, without loading, whether a
    dump would load (``well_formed``) and why not. A remote dump that is
    not well-formed raises ValueError (EOFError when it ends within its
    parameters) with that reason."""
    with Dump(path, n_dimensions=n_dimensions, storage_options=storage_options) as d:
        return d.load()
