// Fuzz target: the scans against the readers over arbitrary bytes.
//
// Input: [n u8][dump bytes...]. The dump is scanned and read both as a field
// dump and as a phase-space dump of dimension count n % 8. When n >> 3 is
// not 0, field records longer than 56 + (n >> 3) bytes are split into
// subrecords, for the scan and the reader alike.
//
// Checked beyond "no memory error": a scan of memory never fails; the field
// scan goes through exactly when the field reader, given buffers of the grid
// the scan found, reads the dump, with the same axes, and its table's blocks
// lie inside the grid and the file; a whole dump of every block its header
// counts is as long as the scan expects it to be, up to the z axis's closing
// marker; the phase-space scan stops exactly when the count pass fails, and
// counts the same particles when it does not, and each block's entries
// follow its count word.
#include <cstdint>
#include <cstring>

#include "field_reader.hpp"
#include "fuzz_support.hpp"
#include "phase_reader.hpp"
#include "scan.hpp"
#include "source.hpp"

using namespace quickio;

namespace {

constexpr int64_t max_rows = int64_t{1} << 12;
// Far beyond any grid an input of a few KiB can hold whole.
constexpr int64_t max_elements = int64_t{1} << 16;

void check_field(native::Source& src, const native::ReadOptions& options) {
    native::FieldScan s;
    native::TableRows rows(native::field_column::ncols, max_rows);
    fuzz::check(!native::scan_field(src, &s, rows, options));
    fuzz::check(rows.complete());
    const native::FieldHeader& h = s.header;
    for (int64_t i = 0; i < rows.count(); ++i) {
        using namespace native::field_column;
        const auto col = [&](int c) { return rows.column(c)[i]; };
        fuzz::check(col(nx) == h.nx && col(y0) + col(ny) <= h.ny && col(z0) + col(nz) <= h.nz);
        fuzz::check(col(offset) + 4 * col(nx) * col(ny) * col(nz) <= src.size());
    }
    // The segments of a split record follow each other in its payload and
    // lie in the file, in order.
    const native::TableRows& seg = s.segments;
    for (int64_t i = 0; i < seg.count(); ++i) {
        using namespace native::segment_column;
        const auto col = [&](int c) { return seg.column(c)[i]; };
        fuzz::check(col(length) > 0 && col(offset) >= col(record) && col(offset) + col(length) <= src.size());
        const bool first = col(start) == 0;
        fuzz::check(first ? col(offset) == col(record)
                          : i > 0 && seg.column(record)[i - 1] == col(record) &&
                                seg.column(start)[i - 1] + seg.column(length)[i - 1] == col(start) &&
                                seg.column(offset)[i - 1] + seg.column(length)[i - 1] + 8 == col(offset));
    }
    // The reader, given buffers of exactly the grid the scan found, must
    // read the dump exactly when the scan went through. A whole dump's grid
    // fits the input; a larger grid is only checked not to be whole.
    const bool sized =
        s.has_grid && h.cells <= max_elements && h.nx <= max_elements && h.ny <= max_elements && h.nz <= max_elements;
    if (s.has_grid && !sized) {
        fuzz::check(!s.whole);
        return;
    }
    const int64_t lens[4] = {sized ? h.cells : 0, sized ? h.nx : 0, sized ? h.ny : 0, sized ? h.nz : 0};
    fuzz::Buffer f(lens[0]), x(lens[1]), y(lens[2]), z(lens[3]);
    const native::Error read = native::read_grid_dump(src, {f.span(), x.span(), y.span(), z.span(), sized}, options);
    fuzz::check(!read == s.whole);
    if (!s.whole) return;
    if (rows.count() == h.nproc_y * h.nproc_z) fuzz::check(s.expected_size == s.end + 4);
    const fuzz::Buffer* axes[3] = {&x, &y, &z};
    for (int i = 0; i < 3; ++i) {
        fuzz::check(lens[i + 1] == 0 ||
                    std::memcmp(axes[i]->span().data, s.axes[i].get(), 4 * static_cast<size_t>(lens[i + 1])) == 0);
    }
}

void check_phase(native::Source& src, int32_t n) {
    native::PhaseScan s;
    native::TableRows rows(native::phase_column::ncols, max_rows);
    fuzz::check(!native::scan_phase(src, n, &s, rows, {}));
    int64_t particles = -1;
    const native::Error counted = native::count_particles(src, n, &particles, {});
    fuzz::check(!counted == !s.stop.error);
    if (!counted) fuzz::check(particles == s.particles && src.size() - s.end < 4);
    if (s.stop.error) fuzz::check(s.stop.at == s.end && s.end <= src.size() - 4);
    // Blocks follow each other: each count word four bytes and its entries
    // past the one before.
    const int64_t* at = rows.column(native::phase_column::offset);
    const int64_t* entries = rows.column(native::phase_column::entries);
    for (int64_t i = 0; i < rows.count() && rows.complete(); ++i) {
        fuzz::check(entries[i] == at[i] + 4 && (i == 0 || at[i] >= at[i - 1] + 4));
    }
    if (!s.stop.error) fuzz::check(s.trailing_bytes == src.size() - s.end);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t control = in.u8();
    const int32_t n = control % 8;
    native::ReadOptions options;
    if (control >> 3) options.max_subrecord = 56 + (control >> 3);
    native::MemorySource src(in.rest(), in.rest_size());
    check_field(src, options);
    check_phase(src, n);
    return 0;
}
