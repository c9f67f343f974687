"""What a dump holds, read without loading its data.

``read_field_header`` gives a field dump's parameters, block table and axes;
``read_phase_space_header`` a phase-space dump's block table and particle
count. Both open the dump (``dorvo.quickio.open``) and give its scan, which
walks a dump exactly as the loaders do, reading the block extents or counts
and seeking over the data, and says whether the loaders would take the
file: ``well_formed`` is true exactly when ``dorvo.quickio.load()`` of the
dump returns. A broken dump is reported, not refused: what could be read,
why it is not well-formed (``reason``) and where the walk stopped
(``stopped_at``).

Block tables are ``BlockTable`` objects: a sequence of ``FieldBlock`` or
``PhaseBlock`` rows, and one read-only int64 NumPy array per column
(``header.blocks.offset``), so that a dump of millions of blocks costs one
array per column, not one Python object per block. A field dump's records
longer than one subrecord holds (2 GiB - 9 bytes) are split; their
``Segment`` rows say where each piece lies.

Each function takes a dump as a path (the name as given, or, when no such
file exists, the name plus ".bin"), as a URL read through fsspec
(http(s)://, s3://, gs://, ...; `storage_options` go to its file system),
as an fsspec ``OpenFile`` or as a binary file object with seek() and read();
a remote dump is read by byte ranges: the header, the block extents or
counts and the axes, never the data.
"""

from __future__ import annotations

from ._dump.dump import Dump
from ._dump.headers import BlockTable, FieldBlock, FieldHeader, PhaseBlock, PhaseSpaceHeader, Segment, json_number

__all__ = [
    "BlockTable",
    "FieldBlock",
    "FieldHeader",
    "PhaseBlock",
    "PhaseSpaceHeader",
    "Segment",
    "is_field_dump",
    "json_number",
    "read_field_header",
    "read_field_header_if_dump",
    "read_phase_space_header",
    "whole_with",
]


def _field_scan(path, storage_options):
    with Dump(path, storage_options=storage_options, strict=False) as d:
        return d


def is_field_dump(path, *, storage_options=None) -> bool:
    """True when the file at `path` is a field dump: either its first
    records are framed as a field dump's (markers 4, 4 and 4*Nparam around
    Nparam), or, whatever its markers, it holds a whole field dump. A
    phase-space dump has no markers and practically never passes either
    test. Raises OSError when the file cannot be read."""
    return _field_scan(path, storage_options).is_field_dump


def read_field_header(path, *, storage_options=None) -> FieldHeader:
    """Reads the header, the block table and the axes of the field dump at
    `path`, without its field data.

    Raises OSError (FileNotFoundError, ...) for a file that cannot be read,
    EOFError for a file too short for its three parameter records and
    ValueError for a parameter count that no field dump has. Anything past
    the parameter records that is missing or inconsistent (a cut-off block,
    blocks that do not tile the grid, a missing axis), and whatever the
    field loader refuses, is reported through ``well_formed``, ``reason``
    and ``stopped_at``, with whatever could be read."""
    return _field_scan(path, storage_options).field_header()


def read_field_header_if_dump(path, *, storage_options=None) -> FieldHeader | None:
    """``read_field_header(path)`` when ``is_field_dump(path)`` is true,
    else None: one scan for both, which over a network is half the
    requests."""
    return _field_scan(path, storage_options).header


def read_phase_space_header(path, n_dimensions: int, *, storage_options=None) -> PhaseSpaceHeader:
    """Walks the blocks of the phase-space dump at `path` read with
    `n_dimensions` dimensions, reading only the block counts.

    Raises OSError for a file that cannot be read, and ValueError for a
    negative dimension count and for a field dump, which the walk would
    take for blocks of a billion particles. A block that announces more
    particles than the file holds is reported through ``well_formed``,
    ``reason`` and ``stopped_at``."""
    with Dump(path, n_dimensions=n_dimensions, storage_options=storage_options) as d:
        return d.header


def whole_with(path, n_dimensions: int, *, storage_options=None) -> int | None:
    """For a phase-space dump that is not whole when read with
    `n_dimensions`, another dimension count (1 to 3, or 0) with which the
    walk goes through the whole file: the count the dump was likely written
    with. None when the dump is whole, or when no other count makes it
    whole (the file is cut short or broken, whatever its count)."""
    with Dump(path, n_dimensions=n_dimensions, storage_options=storage_options) as d:
        return d.whole_with()
