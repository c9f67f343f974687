# Types of the private scan module behind dorvo.quickio.header.
import os
from typing import IO, Any, SupportsInt

_Source = str | bytes | os.PathLike[str] | os.PathLike[bytes] | IO[bytes]

def field(source: _Source) -> dict[str, Any]:
    """The header, block table (one int64 array, a column per field of a
    block) and verdict of the field dump at `source`, without its data."""

def phase(source: _Source, n_dimensions: SupportsInt) -> dict[str, Any]:
    """The block table (one int64 array: offsets and counts), particle count
    and verdict of the phase-space dump at `source` read with n_dimensions."""
