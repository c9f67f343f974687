#include "field_format.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quickio::native {

namespace {

// Fortran sequential records: a 4-byte length marker on each side.
constexpr int64_t marker = 4;
// An extent record: marker, three int32, marker.
constexpr int64_t extents_record = 12 + 2 * marker;

using ll = long long;

}  // namespace

int64_t field::expected_size(int32_t nparam, const int32_t* params, int64_t blocks, int64_t values,
                             int64_t split_bytes) noexcept {
    // Products of int32 sizes reach 2^93: counted wide, the length is
    // checked against int64 at the end.
    using wide = __int128;
    const wide nproc_y = params[idx_nproc_y], nproc_z = params[idx_nproc_z];
    const wide nx = params[idx_nx], ny = params[idx_ny], nz = params[idx_nz];
    if (nparam < 0 || nproc_y < 0 || nproc_z < 0 || nx < 0 || ny < 0 || nz < 0) return -1;
    // A record of n payload bytes takes n plus its two markers.
    auto record = [](wide n) { return n + 2 * marker; };
    const wide header = record(4) + 2 * record(4 * wide{nparam});
    const wide missing = nproc_y * nproc_z - blocks > 0 ? nproc_y * nproc_z - blocks : 0;
    const wide missing_values = nx * ny * nz - values > 0 ? nx * ny * nz - values : 0;
    // Each block is an extent record and a data record.
    const wide per_block = record(12) + record(0);
    const wide data = 4 * (wide{values} + missing_values) + per_block * (blocks + missing);
    const wide axes = record(4 * nx) + record(4 * ny) + record(4 * nz);
    const wide size = header + data + axes + split_bytes;
    return size <= INT64_MAX ? static_cast<int64_t>(size) : -1;
}

int64_t field::process_max_subrecord() noexcept {
    if (const char* env = std::getenv("QUICKIO_MAX_SUBRECORD_BYTES")) {
        char* end = nullptr;
        const long long v = std::strtoll(env, &end, 10);
        if (end != env && *end == '\0' && v > 0 && v < max_subrecord) return v;
    }
    return max_subrecord;
}

bool field::framed(const unsigned char head[framing_bytes]) noexcept {
    int32_t w[4];
    std::memcpy(w, head, sizeof w);
    return w[0] == 4 && w[1] >= 0 && w[2] == 4 && int64_t{w[3]} == 4 * int64_t{w[1]};
}

bool FieldWalk::inside(int64_t at, int64_t n) const noexcept {
    return at >= 0 && n >= 0 && at <= size_ && n <= size_ - at;
}

Error FieldWalk::need(int64_t at, int64_t n, const char* what_fmt, long long a, long long b) const noexcept {
    if (inside(at, n)) return {};
    char what[96];
    std::snprintf(what, sizeof what, what_fmt, a, b);
    return ends_inside(at, n, what);
}

Error FieldWalk::ends_inside(int64_t at, int64_t n, const char* what) const noexcept {
    const int64_t left = at < size_ ? size_ - at : 0;
    return stop(
        at, Error::in_file(Status::eof_error, "file ends inside %s: %lld bytes needed at offset %lld, %lld left", what,
                           static_cast<ll>(n), static_cast<ll>(at), static_cast<ll>(left)));
}

Error FieldWalk::record(WindowReader& rd, int64_t opening_at, int64_t bytes, Record* out, const char* what_fmt,
                        long long a, long long b) const noexcept {
    const int64_t at = opening_at + marker;
    // Split or not, the payload takes at least its bytes from `at` on.
    if (Error e = need(at, bytes, what_fmt, a, b)) return e;
    if (bytes <= max_sub_) {
        *out = Record{at, bytes, bytes > 0 ? bytes : 1};
        return {};
    }
    // Too long for one subrecord: its opening marker says how it was
    // written.
    char what[96];
    std::snprintf(what, sizeof what, what_fmt, a, b);
    int32_t opening;
    if (Error e = rd.copy(opening_at, &opening, marker)) return e;
    return split_record(rd, opening_at, bytes, opening, out, what);
}

// A record longer than the walk's limit, which opens with the marker
// `opening`:
//   - `bytes` itself (a length that an int32 marker still holds) or -1 (as
//     quickio's writer marked longer records once): a record written whole,
//     whose closing marker must be the same;
//   - a negative length shorter than the record: the first of subrecords of
//     that length, the last of the rest; every marker between two
//     subrecords must be as a Fortran writer puts it.
// Anything else is refused.
Error FieldWalk::split_record(WindowReader& rd, int64_t opening_at, int64_t bytes, int32_t opening, Record* out,
                              const char* what) const noexcept {
    const int64_t at = opening_at + marker;
    auto refuse = [&](int64_t where, int32_t found, long long want) {
        return stop(where, Error::in_file(Status::value_error,
                                          "%s is %lld bytes, longer than one record holds whole; its marker at "
                                          "offset %lld holds %d where %lld was due",
                                          what, static_cast<ll>(bytes), static_cast<ll>(where), found, want));
    };
    if (opening == -1 || opening == bytes) {
        if (!inside(at, bytes) || !inside(at + bytes, marker)) return ends_inside(at, bytes + marker, what);
        int32_t closing;
        if (Error e = rd.copy(at + bytes, &closing, marker)) return e;
        if (closing != opening) return refuse(at + bytes, closing, opening);
        *out = Record{at, bytes, bytes};
        return {};
    }
    const int64_t sub = -int64_t{opening};
    if (sub <= 0 || sub >= bytes || sub > field::max_subrecord) {
        return stop(opening_at, Error::in_file(Status::value_error,
                                               "%s is %lld bytes, longer than one record holds whole, but its "
                                               "opening marker at offset %lld holds %d: neither its length nor the "
                                               "first of subrecords",
                                               what, static_cast<ll>(bytes), static_cast<ll>(opening_at), opening));
    }
    const Record r{at, bytes, sub};
    // The payload and the markers between the subrecords must fit the file.
    int64_t between = 0, spans = 0;
    const bool overflow = __builtin_mul_overflow(r.subrecords() - 1, Record::split_markers, &between) ||
                          __builtin_add_overflow(bytes, between, &spans);
    if (overflow || !inside(at, spans)) return ends_inside(at, overflow ? INT64_MAX : spans, what);
    const int64_t last = r.subrecords() - 1;
    for (int64_t k = 0; k < last; ++k) {
        // Closing marker of subrecord k: its length, negative but for the
        // first; opening marker of k + 1: the length, negative but for the
        // last, which holds the rest.
        const int64_t closing_at = r.offset(k * sub) + sub;
        int32_t m[2];
        if (Error e = rd.copy(closing_at, m, sizeof m)) return e;
        const long long closing = k == 0 ? sub : -sub;
        const long long next = k + 1 < last ? -sub : bytes - last * sub;
        if (m[0] != closing) return refuse(closing_at, m[0], closing);
        if (m[1] != next) return refuse(closing_at + marker, m[1], next);
    }
    *out = r;
    return {};
}

Error FieldWalk::nparam_record(int64_t* at) const noexcept {
    if (Error e = need(field::nparam_at, 4, "the parameter count")) return e;
    *at = field::nparam_at;
    return {};
}

Error FieldWalk::take_nparam(int32_t nparam) noexcept {
    if (nparam < field::min_nparam) {
        return stop(field::nparam_at, Error::in_file(Status::value_error,
                                                     "the header gives Nparam = %d, but the reader needs at least %d",
                                                     nparam, field::min_nparam));
    }
    // Integer parameters at 16, real parameters at 24 + 4*Nparam, blocks at
    // 28 + 8*Nparam. Nparam < 2^31 keeps all of these well inside int64.
    const int64_t np = nparam;
    if (Error e = need(field::int_params_at, 4 * np, "the integer parameters")) return e;
    const int64_t real_at = field::int_params_at + 4 * np + 2 * marker;
    if (Error e = need(real_at, 4 * np, "the real parameters")) return e;
    // The walk takes the parameter records whole, where they lie by
    // position; records that long would be split.
    if (4 * np > field::max_subrecord) {
        return stop(field::nparam_at,
                    Error::in_file(Status::value_error,
                                   "the header gives Nparam = %d: parameter records of %lld bytes, which a Fortran "
                                   "writer splits; no dump has so many",
                                   nparam, static_cast<ll>(4 * np)));
    }
    h_.nparam = nparam;
    h_.real_params_at = real_at;
    h_.blocks_at = real_at + 4 * np + marker;
    return {};
}

Error FieldWalk::take_params(const int32_t* p) noexcept {
    const struct {
        const char* label;
        int idx;
        int64_t* dst;
    } params[] = {
        {"nx", field::idx_nx, &h_.nx},
        {"ny", field::idx_ny, &h_.ny},
        {"nz", field::idx_nz, &h_.nz},
        {"nproc_y", field::idx_nproc_y, &h_.nproc_y},
        {"nproc_z", field::idx_nproc_z, &h_.nproc_z},
    };
    for (const auto& prm : params) {
        if (p[prm.idx] < 0) {
            return stop(field::int_params_at + 4 * prm.idx,
                        Error::in_file(Status::value_error, "the header gives %s = %d", prm.label, p[prm.idx]));
        }
        *prm.dst = p[prm.idx];
    }
    int64_t plane;
    if (__builtin_mul_overflow(h_.nx, h_.ny, &plane) || __builtin_mul_overflow(plane, h_.nz, &h_.cells)) {
        return stop(field::int_params_at,
                    Error::in_file(Status::value_error,
                                   "the grid (%lld, %lld, %lld) has more points than a 64-bit count can hold",
                                   static_cast<ll>(h_.nx), static_cast<ll>(h_.ny), static_cast<ll>(h_.nz)));
    }
    // A layer without blocks has no height and reads nothing, so only the
    // first of any number of such layers needs looking at.
    layers_ = h_.nproc_y == 0 && h_.nproc_z > 0 ? 1 : h_.nproc_z;
    pos_ = h_.blocks_at;
    return {};
}

bool FieldWalk::more() const noexcept { return h_.nproc_y > 0 && iz_ < layers_; }

Error FieldWalk::next_extents(int64_t* at) const noexcept {
    // Every block takes at least 28 bytes of file, so a header that
    // announces more blocks than the file holds ends here, early.
    if (Error e = need(pos_ + marker, 12, "the extents of block (layer %lld, column %lld)", iz_, iy_)) return e;
    *at = pos_ + marker;
    return {};
}

Error FieldWalk::accept(const int32_t ext[3], FieldBlock* out, WindowReader& rd) noexcept {
    const int64_t bx = ext[0], by = ext[1], bz = ext[2];
    if (bx != h_.nx || by < 0 || bz < 0 || by > h_.ny - yoff_ || bz > h_.nz - zoff_ || (iy_ > 0 && bz != height_)) {
        return stop(pos_ + marker,
                    Error::in_file(Status::value_error,
                                   "block (layer %lld, column %lld) has extents (%lld, %lld, %lld) that do not fit the "
                                   "grid (%lld, %lld, %lld)",
                                   static_cast<ll>(iz_), static_cast<ll>(iy_), static_cast<ll>(bx), static_cast<ll>(by),
                                   static_cast<ll>(bz), static_cast<ll>(h_.nx), static_cast<ll>(h_.ny),
                                   static_cast<ll>(h_.nz)));
    }
    const int64_t count = bx * by * bz;  // fits: the block lies inside the grid
    // Its bytes need not fit: a grid of up to 2^62 points passes the header
    // checks, and 4 * count may then pass int64.
    int64_t bytes;
    if (__builtin_mul_overflow(count, int64_t{4}, &bytes)) {
        return stop(pos_ + marker, Error::in_file(Status::eof_error,
                                                  "file ends inside the data of block (layer %lld, column %lld): "
                                                  "it claims %lld values, more bytes than any file holds",
                                                  static_cast<ll>(iz_), static_cast<ll>(iy_), static_cast<ll>(count)));
    }
    Record data;
    if (Error e =
            record(rd, pos_ + extents_record, bytes, &data, "the data of block (layer %lld, column %lld)", iz_, iy_)) {
        return e;
    }
    *out = FieldBlock{iz_, iy_, yoff_, zoff_, bx, by, bz, count, pos_ + marker, data};
    pos_ = data.end() + marker;
    yoff_ += by;
    height_ = bz;
    ++accepted_;
    if (++iy_ == h_.nproc_y) return layer_done();
    return {};
}

Error FieldWalk::layer_done() noexcept {
    if (yoff_ != h_.ny) {
        return stop(pos_,
                    Error::in_file(Status::value_error,
                                   "the blocks of layer %lld leave y rows %lld to %lld of the grid (%lld, %lld, %lld) "
                                   "uncovered",
                                   static_cast<ll>(iz_), static_cast<ll>(yoff_), static_cast<ll>(h_.ny - 1),
                                   static_cast<ll>(h_.nx), static_cast<ll>(h_.ny), static_cast<ll>(h_.nz)));
    }
    zoff_ += height_;
    ++iz_;
    iy_ = yoff_ = height_ = 0;
    return {};
}

Error FieldWalk::axes(FieldAxis out[3], WindowReader& rd) noexcept {
    // A layer of no blocks still has to cover its rows.
    if (h_.nproc_y == 0 && iz_ < layers_) {
        if (Error e = layer_done()) return e;
    }
    if (zoff_ != h_.nz) {
        return stop(pos_,
                    Error::in_file(Status::value_error,
                                   "the layers of blocks leave z planes %lld to %lld of the grid (%lld, %lld, %lld) "
                                   "uncovered",
                                   static_cast<ll>(zoff_), static_cast<ll>(h_.nz - 1), static_cast<ll>(h_.nx),
                                   static_cast<ll>(h_.ny), static_cast<ll>(h_.nz)));
    }
    // Three records back to back. The z record's closing marker is not
    // needed: nothing after the z values is read.
    const char* names[3] = {"the x axis", "the y axis", "the z axis"};
    const int64_t lens[3] = {h_.nx, h_.ny, h_.nz};
    for (int i = 0; i < 3; ++i) {
        Record values;
        if (Error e = record(rd, pos_, 4 * lens[i], &values, names[i])) return e;
        out[i] = {values, lens[i]};
        pos_ = values.end() + (i < 2 ? marker : 0);
    }
    return {};
}

}  // namespace quickio::native
