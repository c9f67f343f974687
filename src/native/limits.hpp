// The sizes at which the native readers, the scan and the reductions split
// their work, in one place, each with the reason for its value. The readers
// use them from here; the private module _scan exports every one of them by
// the name in `all` (upper-cased), so that the Python layer and the tests
// read them instead of copying them: a test that puts a dump's blocks at
// and around a limit follows it when it changes.
#pragma once

#include <cstdint>

namespace quickio::native::limits {

// Threads one read or one reduction pass runs, the walking thread included.
// The pool keeps its workers in a fixed array, and each reduction one
// accumulator per thread, so this bounds both.
inline constexpr int max_threads = 16;

// ---- the field reader
// The buffer of the walk: extent records, the header and small blocks come
// through it, many to one read where they lie close together.
inline constexpr int64_t field_window = int64_t{1} << 20;
// Blocks of at least this many bytes not already in the window are read
// straight into the field; smaller ones come through the window.
inline constexpr int64_t field_min_direct = int64_t{16} << 10;
// One task reads up to this much: large enough that storage sees large
// requests and that one task holds a whole layer of small blocks, small
// enough that several are in flight on a dump of 100 MiB.
inline constexpr int64_t field_task_bytes = int64_t{8} << 20;
// Below this much field data, the calling thread reads alone: starting
// threads costs more than they save.
inline constexpr int64_t field_min_parallel = int64_t{64} << 20;

// ---- the phase-space reader and the reductions' passes
// The buffer of the walk: block counts, and the entries of small blocks,
// many blocks to one read where they lie close together.
inline constexpr int64_t phase_window = int64_t{2} << 20;
// Blocks with at least this many bytes of entries not already in the window
// are read in tasks of whole entries; smaller ones through the window.
inline constexpr int64_t phase_min_direct = int64_t{64} << 10;
// One task reads up to this much into its thread's read buffer.
inline constexpr int64_t phase_task_bytes = int64_t{4} << 20;
// Below this file size, the calling thread reads alone.
inline constexpr int64_t phase_min_parallel = int64_t{64} << 20;

// Both readers ask for an interrupt after about this much work.
inline constexpr int64_t check_every = int64_t{16} << 20;

// ---- sources
// One pread asks for at most this much. Linux moves at most about 2 GiB per
// call anyway; a moderate cap keeps each call short.
inline constexpr int64_t max_read_chunk = int64_t{64} << 20;
// The smallest refill of a window, after a jump: the header of the next
// block and a little more. Each block of a dump of large blocks costs one
// such read, so it is kept short; reads that follow on double it, so a dump
// of tiny blocks soon reads a whole buffer per call.
inline constexpr int64_t min_window = 512;
// The pieces of one task, and the iovec entries handed to one preadv: the
// kernel's limit, IOV_MAX on Linux, so that a task of small block rows is
// one call.
inline constexpr int max_pieces = 1024;

// ---- the scan
// The window that extents, block counts and the header come through: reads
// that follow on grow to this size, a jump over a large block starts small.
inline constexpr int64_t scan_window = int64_t{1} << 20;
// A table of its own starts with room for this many rows and doubles.
inline constexpr int64_t scan_first_rows = 256;
// The interrupt is asked every so many blocks.
inline constexpr int64_t scan_check_blocks = int64_t{1} << 14;
// At most this many parameters of each kind are kept. A real dump has a few
// dozen; a file of another kind can claim a count as large as itself, which
// is no reason to hold that much.
inline constexpr int64_t scan_kept_params = int64_t{1} << 16;
// The module's first pass keeps up to this many rows of a block table
// itself (4 MiB for a field dump); a larger table is counted, made to
// measure and filled by a second pass, so that a dump of millions of tiny
// blocks needs the memory of its table once, not twice.
inline constexpr int64_t scan_kept_rows = int64_t{1} << 16;

// ---- the reductions
// Per-thread copies of a histogram share this much memory at most; larger
// histograms are filled by fewer threads.
inline constexpr int64_t histogram_copies_bytes = int64_t{256} << 20;
// A histogram of at most this many cells keeps several copies of each count
// side by side in each worker (it stays in cache that way), a larger one a
// single copy.
inline constexpr int64_t histogram_copied_cells = int64_t{32} << 10;
// Moments of layouts without a vector form are taken over runs of this many
// values, gathered component by component: the run's own mean and spread
// are computed in two passes over values in cache, then merged into the
// running ones.
inline constexpr int64_t moments_run_values = 8192;
// Entries of the common layouts (n = 0 to 3) the moments take at a time,
// the kept ones packed together first when a filter applies.
inline constexpr int64_t moments_packed_entries = 2048;
// The counting pass of a selection keeps the selected particles, in case
// the whole selection fits in this much; otherwise a filling pass follows.
inline constexpr int64_t selection_staging_bytes = int64_t{64} << 20;
// The counting pass notes how many particles each run of entries kept, so
// that the filling pass can place runs read out of order; past this many
// runs it stops noting and the filling pass runs in file order, alone.
inline constexpr int64_t selection_max_runs = int64_t{1} << 20;

// Every limit by the name _scan exports it under (upper-cased).
struct Named {
    const char* name;
    int64_t value;
};
inline constexpr Named all[] = {
    {"max_threads", max_threads},
    {"field_window", field_window},
    {"field_min_direct", field_min_direct},
    {"field_task_bytes", field_task_bytes},
    {"field_min_parallel", field_min_parallel},
    {"phase_window", phase_window},
    {"phase_min_direct", phase_min_direct},
    {"phase_task_bytes", phase_task_bytes},
    {"phase_min_parallel", phase_min_parallel},
    {"check_every", check_every},
    {"max_read_chunk", max_read_chunk},
    {"min_window", min_window},
    {"max_pieces", max_pieces},
    {"scan_window", scan_window},
    {"scan_first_rows", scan_first_rows},
    {"scan_check_blocks", scan_check_blocks},
    {"scan_kept_params", scan_kept_params},
    {"scan_kept_rows", scan_kept_rows},
    {"histogram_copies_bytes", histogram_copies_bytes},
    {"histogram_copied_cells", histogram_copied_cells},
    {"moments_run_values", moments_run_values},
    {"moments_packed_entries", moments_packed_entries},
    {"selection_staging_bytes", selection_staging_bytes},
    {"selection_max_runs", selection_max_runs},
};

}  // namespace quickio::native::limits
