# Types of the private scan module: what a dump holds and where it lies in
# its file, and the limits of the native readers.
import os
from typing import IO, SupportsInt

import numpy as np
import numpy.typing as npt

_Source = str | bytes | os.PathLike[str] | os.PathLike[bytes] | IO[bytes]

class FieldScan(tuple[object, ...]):
    """What the scan of a field dump found: its header, block table, axes
    and where its records lie."""

    file_size: int
    framed: bool
    nparam: int | None
    int_params: npt.NDArray[np.int32] | None
    real_params: npt.NDArray[np.float32] | None
    nproc_y: int | None
    nproc_z: int | None
    nx: int | None
    ny: int | None
    nz: int | None
    ndimension: int | None
    blocks: npt.NDArray[np.int64]
    segments: npt.NDArray[np.int64]
    axes: tuple[npt.NDArray[np.float32], npt.NDArray[np.float32], npt.NDArray[np.float32]] | None
    axis_offsets: tuple[int, int, int] | None
    end: int | None
    expected_size: int | None
    first_count: int | None
    holds_first_block: bool
    stopped_at: int | None
    reason: str
    eof: bool
    refusal: str

class PhaseScan(tuple[object, ...]):
    """What the scan of a phase-space dump read with a dimension count
    found: its block table and particle count."""

    file_size: int
    n_dimensions: int
    entry_bytes: int
    particles: int
    blocks: npt.NDArray[np.int64]
    end: int
    trailing_bytes: int
    stopped_at: int | None
    reason: str
    eof: bool

def field(source: _Source) -> FieldScan:
    """The header, block table, axes and verdict of the field dump at
    `source`, without its data."""

def phase(source: _Source, n_dimensions: SupportsInt) -> PhaseScan:
    """The block table, particle count and verdict of the phase-space dump
    at `source` read with n_dimensions."""

def most_dimensions(file_size: int) -> int:
    """The largest dimension count a phase-space dump of `file_size` bytes
    is read with."""

def particle_bytes(n_dimensions: int) -> int:
    """The bytes one particle takes in a phase-space dump of n_dimensions."""

MAX_SUBRECORD: int
MAX_THREADS: int
FIELD_WINDOW: int
FIELD_MIN_DIRECT: int
FIELD_TASK_BYTES: int
FIELD_MIN_PARALLEL: int
PHASE_WINDOW: int
PHASE_MIN_DIRECT: int
PHASE_TASK_BYTES: int
PHASE_MIN_PARALLEL: int
CHECK_EVERY: int
MAX_READ_CHUNK: int
MIN_WINDOW: int
MAX_PIECES: int
SCAN_WINDOW: int
SCAN_FIRST_ROWS: int
SCAN_CHECK_BLOCKS: int
SCAN_KEPT_PARAMS: int
SCAN_KEPT_ROWS: int
HISTOGRAM_COPIES_BYTES: int
HISTOGRAM_COPIED_CELLS: int
MOMENTS_RUN_VALUES: int
MOMENTS_PACKED_ENTRIES: int
SELECTION_STAGING_BYTES: int
SELECTION_MAX_RUNS: int
