// Scans of dumps: what a dump's header and block table say, and whether the
// loaders would take it, without reading field or particle data.
//
// A scan drives the very walk of each format that the readers drive
// (FieldWalk, PhaseWalk), reading extents and block counts through a window
// and seeking over the data. It never fails because a file is broken: it
// keeps what it could read and reports why the walk stopped and where. Only
// a failing source (an I/O error, a file that changed, an interrupt) ends a
// scan with an error.
#pragma once

#include <cstdint>
#include <memory>

#include "field_format.hpp"
#include "phase_format.hpp"
#include "result.hpp"
#include "source.hpp"

namespace quickio::native {

// The rows of a block table, one int64 column per field of a block.
//
// Either the table keeps them itself, growing as rows come up to a limit,
// or it writes them into the caller's columns of a fixed capacity. Past its
// room it counts the rows without keeping them, so a caller whose table was
// too small learns how large to make it and scans again.
class TableRows {
public:
    static constexpr int max_columns = 8;

    // Own storage for up to `limit` rows.
    TableRows(int ncols, int64_t limit) noexcept;
    // The caller's `ncols` columns of `capacity` rows each.
    TableRows(int ncols, int64_t* const* columns, int64_t capacity) noexcept;
    TableRows(const TableRows&) = delete;
    TableRows& operator=(const TableRows&) = delete;

    // Adds one row of ncols values. Fails only when growing the table's own
    // storage fails (ENOMEM).
    Error add(const int64_t* row) noexcept {
        if (count_ < cap_) {
            for (int c = 0; c < ncols_; ++c) columns_[c][count_] = row[c];
            ++count_;
            return {};
        }
        return add_slow(row);
    }

    int columns() const noexcept { return ncols_; }
    // Rows added, kept or not.
    int64_t count() const noexcept { return count_; }
    // True when every row added was kept.
    bool complete() const noexcept { return count_ <= room_; }
    // Column `c`, holding min(count(), room) rows.
    const int64_t* column(int c) const noexcept { return columns_[c]; }
    // Drops the table's own storage (its rows are no longer needed).
    void release() noexcept;

private:
    Error add_slow(const int64_t* row) noexcept;
    Error grow() noexcept;

    int ncols_;
    int64_t* columns_[max_columns] = {};
    std::unique_ptr<int64_t[]> own_;  // own storage: ncols_ columns of cap_ rows, back to back
    int64_t cap_ = 0;                 // rows the storage holds now
    int64_t room_ = 0;                // rows it may ever hold: the limit, or the caller's capacity
    int64_t count_ = 0;
};

// The columns of a field dump's block table, and of a phase-space dump's.
namespace field_column {
enum : int { layer, column, y0, z0, nx, ny, nz, offset, ncols };
}
namespace phase_column {
enum : int { offset, count, entries, ncols };
}
// The columns of the segments of a field dump's records that are split
// into subrecords: the payload offset of the record's first subrecord (a
// block's offset, an axis's), where the segment starts in the payload,
// where in the file, and its length in bytes.
namespace segment_column {
enum : int { record, start, offset, length, ncols };
}

// Why a walk ended before the end of its format: a format error (Status
// eof_error or value_error) and the offset of the record it could not take;
// an ok error when the walk reached the end.
struct Stop {
    Error error;
    int64_t at = -1;
};

struct FieldScan {
    int64_t file_size = 0;
    // The first records carry the markers a Fortran writer puts there. No
    // reader relies on markers; this only tells a field dump whose walk
    // fails apart from a file of another kind.
    bool framed = false;
    bool has_nparam = false;  // Nparam was read
    int32_t nparam = 0;
    // The parameter records fit the file and were read: the first
    // `params_kept` integer and real parameters (all of them, unless Nparam
    // is absurdly large).
    bool has_params = false;
    int64_t params_kept = 0;
    std::unique_ptr<int32_t[]> int_params;
    std::unique_ptr<float[]> real_params;
    // The tiling and the grid sizes were accepted; `header` holds them.
    bool has_grid = false;
    FieldHeader header;
    // Every block and the three axes are in the file; `axes` hold the axes
    // (nx, ny and nz values), `axes_at` the payload offsets of their records
    // and `end` is the offset just past the z values.
    bool whole = false;
    std::unique_ptr<float[]> axes[3];
    int64_t axes_at[3] = {0, 0, 0};
    int64_t end = 0;
    // Every segment of the records split into subrecords, of the blocks
    // accepted and of the axes, in file order (segment_column order), and
    // the bytes of the markers between them.
    TableRows segments{segment_column::ncols, INT64_MAX};
    int64_t split_bytes = 0;
    // The values of the blocks accepted.
    int64_t values = 0;
    // The length of a dump of this header and these blocks, counting the
    // blocks the file lacks as well-formed ones (field::expected_size); -1
    // when the parameters were not read or give no length.
    int64_t expected_size = -1;
    // The file's first word read as a phase-space dump's first block count,
    // and whether the file holds that block with the shortest entries
    // (n = 0): what tells a phase-space dump from a file of another kind
    // when the field walk fails. A file under 4 bytes holds no count.
    bool has_first_count = false;
    int32_t first_count = 0;
    bool holds_first_block = true;
    Stop stop;
    // For a dump whose header was read: what the field loader refuses beyond
    // the walk (too few parameters for it, a grid without points).
    Error refusal;
};

// Scans a field dump: the header, every block into `rows` (field_column
// order: layer, column, y0, z0, nx_loc, ny_loc, nz_loc and the offset of
// its data), the axes, the segments of records split into subrecords, and
// the length the header gives the file.
Error scan_field(Source& src, FieldScan* out, TableRows& rows, const ReadOptions& options) noexcept;

struct PhaseScan {
    int64_t file_size = 0;
    int64_t entry_bytes = 0;  // of one particle's entry, its trailing word included
    int64_t particles = 0;    // in the blocks the walk accepted
    // Where the walk ended: after the last block (followed by `file_size -
    // end` stray bytes, at most 3) or, when it stopped, at stop.at.
    int64_t end = 0;
    // The bytes after the last block of a walk that went through, too few
    // for another count (0 to 3); 0 when the walk stopped.
    int64_t trailing_bytes = 0;
    Stop stop;
};

// Scans a phase-space dump read with dimension count `n`: every block into
// `rows` (phase_column order: the offset of its count word, the count as
// stored, and the offset of its first entry). A negative `n` is the
// caller's error.
Error scan_phase(Source& src, int32_t n, PhaseScan* out, TableRows& rows, const ReadOptions& options) noexcept;

}  // namespace quickio::native
