#include "scan.hpp"

#include <bit>
#include <cerrno>
#include <cstring>
#include <new>

#include "limits.hpp"

namespace quickio::native {

namespace {

static_assert(std::endian::native == std::endian::little, "dumps are little-endian and are read without byte swapping");

using ll = long long;

// The sizes that split the work; limits.hpp says why each is what it is.
constexpr int64_t window_capacity = limits::scan_window;
constexpr int64_t first_rows = limits::scan_first_rows;
constexpr int64_t check_blocks = limits::scan_check_blocks;
constexpr int64_t max_kept_params = limits::scan_kept_params;

// The walks report only these two; everything else comes from the source.
bool is_format_error(const Error& e) noexcept {
    return e.status == Status::eof_error || e.status == Status::value_error;
}

template <class T>
std::unique_ptr<T[]> allocate(int64_t n) noexcept {
    return std::unique_ptr<T[]>(new (std::nothrow) T[static_cast<size_t>(n > 0 ? n : 1)]);
}

// The segments of a record split into subrecords, one row each
// (segment_column order), and the markers between them; a record written
// whole has none.
Error add_segments(FieldScan* out, const Record& r) noexcept {
    const int64_t n = r.subrecords();
    for (int64_t k = 0; n > 1 && k < n; ++k) {
        const int64_t start = k * r.sub;
        const int64_t len = k + 1 < n ? r.sub : r.bytes - start;
        const int64_t row[segment_column::ncols] = {r.at, start, r.offset(start), len};
        if (Error e = out->segments.add(row)) return e;
    }
    out->split_bytes += r.end() - r.at - r.bytes;
    return {};
}

// The first word as a phase-space block count (see FieldScan).
Error scan_first_count(WindowReader& rd, FieldScan* out) noexcept {
    if (out->file_size < 4) return {};
    if (Error e = rd.copy(0, &out->first_count, 4)) return e;
    out->has_first_count = true;
    PhaseWalk shortest(0, out->file_size);
    PhaseBlock first;
    out->holds_first_block = !shortest.accept(out->first_count, &first);
    return {};
}

// The header: the framing hint, Nparam, the parameters, the grid.
Error scan_header(WindowReader& rd, FieldWalk& walk, FieldScan* out) noexcept {
    if (out->file_size >= field::framing_bytes) {
        unsigned char head[field::framing_bytes];
        if (Error e = rd.copy(0, head, sizeof head)) return e;
        out->framed = field::framed(head);
    }
    int64_t at;
    if (Error e = walk.nparam_record(&at)) return e;
    if (Error e = rd.copy(at, &out->nparam, 4)) return e;
    out->has_nparam = true;
    if (Error e = walk.take_nparam(out->nparam)) return e;

    const FieldHeader& h = walk.header();
    const int64_t kept = h.nparam < max_kept_params ? h.nparam : max_kept_params;
    out->int_params = allocate<int32_t>(kept);
    out->real_params = allocate<float>(kept);
    if (!out->int_params || !out->real_params) return Error::os(ENOMEM);
    if (Error e = rd.copy(field::int_params_at, out->int_params.get(), 4 * kept)) return e;
    if (Error e = rd.copy(h.real_params_at, out->real_params.get(), 4 * kept)) return e;
    out->params_kept = kept;
    out->has_params = true;
    if (Error e = walk.take_params(out->int_params.get())) return e;
    out->has_grid = true;
    out->header = walk.header();
    return {};
}

Error scan_blocks(WindowReader& rd, FieldWalk& walk, FieldScan* out, TableRows& rows,
                  const ReadOptions& options) noexcept {
    while (walk.more()) {
        int32_t ext[3];
        if (Error e = read_next_extents(rd, walk, ext)) return e;
        FieldBlock b;
        const int64_t before = walk.blocks_accepted();
        const Error e = walk.accept(ext, &b, rd);
        // A block that closes a layer is accepted before the layer is
        // checked: it belongs to the table even when the layer fails.
        if (walk.blocks_accepted() > before) {
            const int64_t row[field_column::ncols] = {b.layer, b.column, b.y0, b.z0, b.nx, b.ny, b.nz, b.data.at};
            if (Error added = rows.add(row)) return added;
            if (Error added = add_segments(out, b.data)) return added;
            out->values += b.count;
        }
        if (e) return e;
        if (rows.count() % check_blocks == 0 && options.stop_requested()) return Error::interrupted();
    }
    return {};
}

Error scan_axes(WindowReader& rd, FieldWalk& walk, FieldScan* out) noexcept {
    FieldAxis axes[3];
    if (Error e = walk.axes(axes, rd)) return e;
    for (int i = 0; i < 3; ++i) {
        out->axes[i] = allocate<float>(axes[i].len);
        if (!out->axes[i]) return Error::os(ENOMEM);
        if (Error e = copy_payload(rd, axes[i].values, 0, out->axes[i].get(), 4 * axes[i].len)) return e;
        if (Error e = add_segments(out, axes[i].values)) return e;
        out->axes_at[i] = axes[i].values.at;
    }
    out->whole = true;
    out->end = walk.position();
    return {};
}

// What the field loader refuses in a dump whose walk may well succeed: it
// takes integer parameter 14, and it allocates a grid of at least one point.
Error loader_refusal(const FieldScan& s) noexcept {
    if (s.has_nparam && s.nparam < field::loader_min_nparam) {
        return Error::in_file(Status::value_error,
                              "the header gives Nparam = %d, but the field loader needs at least %d", s.nparam,
                              field::loader_min_nparam);
    }
    if (s.has_grid && s.header.cells == 0) {
        return Error::in_file(Status::value_error, "the grid (%lld, %lld, %lld) has no points",
                              static_cast<ll>(s.header.nx), static_cast<ll>(s.header.ny), static_cast<ll>(s.header.nz));
    }
    return {};
}

}  // namespace

// ---- TableRows -------------------------------------------------------------

TableRows::TableRows(int ncols, int64_t limit) noexcept
    : ncols_(ncols > max_columns ? max_columns : ncols), room_(limit > 0 ? limit : 0) {}

TableRows::TableRows(int ncols, int64_t* const* columns, int64_t capacity) noexcept
    : ncols_(ncols > max_columns ? max_columns : ncols), cap_(capacity > 0 ? capacity : 0), room_(cap_) {
    for (int c = 0; c < ncols_; ++c) columns_[c] = columns[c];
}

Error TableRows::grow() noexcept {
    int64_t cap = cap_ > 0 ? 2 * cap_ : first_rows;
    if (cap > room_) cap = room_;
    auto storage = allocate<int64_t>(cap * ncols_);
    if (!storage) return Error::os(ENOMEM);
    for (int c = 0; c < ncols_; ++c) {
        int64_t* col = storage.get() + c * cap;
        if (count_ > 0) std::memcpy(col, columns_[c], static_cast<size_t>(count_) * sizeof(int64_t));
        columns_[c] = col;
    }
    own_ = std::move(storage);
    cap_ = cap;
    return {};
}

// A row past the storage at hand: the storage grows while the limit
// allows, and past the limit the row is only counted.
Error TableRows::add_slow(const int64_t* row) noexcept {
    if (count_ < room_) {
        if (Error e = grow()) return e;
        for (int c = 0; c < ncols_; ++c) columns_[c][count_] = row[c];
    }
    ++count_;
    return {};
}

void TableRows::release() noexcept {
    if (!own_) return;
    own_.reset();
    for (int c = 0; c < ncols_; ++c) columns_[c] = nullptr;
    cap_ = room_ = 0;
}

// ---- scans -----------------------------------------------------------------

Error scan_field(Source& src, FieldScan* out, TableRows& rows, const ReadOptions& options) noexcept {
    out->file_size = src.size();
    WindowReader rd(src);
    if (Error e = rd.init(window_capacity)) return e;
    FieldWalk walk(src.size(), options.max_subrecord);
    if (Error e = scan_first_count(rd, out)) return e;
    Error e = scan_header(rd, walk, out);
    if (!e) e = scan_blocks(rd, walk, out, rows, options);
    if (!e) e = scan_axes(rd, walk, out);
    if (e && !is_format_error(e)) return e;
    if (e) out->stop = {e, walk.stopped_at()};
    out->refusal = loader_refusal(*out);
    if (out->has_params) {
        out->expected_size =
            field::expected_size(out->nparam, out->int_params.get(), rows.count(), out->values, out->split_bytes);
    }
    return {};
}

Error scan_phase(Source& src, int32_t n, PhaseScan* out, TableRows& rows, const ReadOptions& options) noexcept {
    if (Error e = check_dimensions(n)) return e;
    out->file_size = src.size();
    WindowReader rd(src);
    if (Error e = rd.init(window_capacity)) return e;
    PhaseWalk walk(n, src.size());
    out->entry_bytes = walk.entry_bytes();
    while (!walk.done()) {
        // Counts come many to one window, so most are there already.
        const int64_t at = walk.position();
        int32_t stored;
        if (rd.available(at) >= 4) {
            std::memcpy(&stored, rd.at(at), 4);
        } else if (Error e = rd.copy(at, &stored, 4)) {
            return e;
        }
        PhaseBlock b;
        if (Error e = walk.accept(stored, &b)) {
            out->stop = {e, walk.stopped_at()};
            break;
        }
        const int64_t row[phase_column::ncols] = {b.at, b.stored, b.entries_at};
        if (Error e = rows.add(row)) return e;
        if (rows.count() % check_blocks == 0 && options.stop_requested()) return Error::interrupted();
    }
    out->particles = walk.particles();
    out->end = out->stop.error ? out->stop.at : walk.position();
    out->trailing_bytes = out->stop.error ? 0 : out->file_size - out->end;
    return {};
}

}  // namespace quickio::native
