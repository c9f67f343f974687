#include "field_format.hpp"

#include <cstdio>
#include <cstring>

namespace quickio::native {

namespace {

// Fortran sequential records: a 4-byte length marker on each side.
constexpr int64_t marker = 4;
// An extent record is marker, three int32, marker; the data record's
// opening marker follows it.
constexpr int64_t extents_record = 12 + 2 * marker;

using ll = long long;

}  // namespace

bool field::framed(const unsigned char head[framing_bytes]) noexcept {
    int32_t w[4];
    std::memcpy(w, head, sizeof w);
    return w[0] == 4 && w[1] >= 0 && w[2] == 4 && int64_t{w[3]} == 4 * int64_t{w[1]};
}

Error FieldWalk::need(int64_t at, int64_t n, const char* what_fmt, long long a, long long b) const noexcept {
    if (at >= 0 && n >= 0 && at <= size_ && n <= size_ - at) return {};
    char what[96];
    std::snprintf(what, sizeof what, what_fmt, a, b);
    const int64_t left = at < size_ ? size_ - at : 0;
    return stop(at, Error::in_file(Status::eof_error, "file ends inside %s: %lld bytes needed at offset %lld, %lld left",
                                   what, static_cast<ll>(n), static_cast<ll>(at), static_cast<ll>(left)));
}

Error FieldWalk::nparam_record(int64_t* at) const noexcept {
    if (Error e = need(field::nparam_at, 4, "the parameter count")) return e;
    *at = field::nparam_at;
    return {};
}

Error FieldWalk::take_nparam(int32_t nparam) noexcept {
    if (nparam < field::min_nparam) {
        return stop(field::nparam_at,
                    Error::in_file(Status::value_error, "the header gives Nparam = %d, but the reader needs at least %d",
                                   nparam, field::min_nparam));
    }
    // Integer parameters at 16, real parameters at 24 + 4*Nparam, blocks at
    // 28 + 8*Nparam. Nparam < 2^31 keeps all of these well inside int64.
    const int64_t np = nparam;
    if (Error e = need(field::int_params_at, 4 * np, "the integer parameters")) return e;
    const int64_t real_at = field::int_params_at + 4 * np + 2 * marker;
    if (Error e = need(real_at, 4 * np, "the real parameters")) return e;
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

Error FieldWalk::accept(const int32_t ext[3], FieldBlock* out) noexcept {
    const int64_t bx = ext[0], by = ext[1], bz = ext[2];
    if (bx != h_.nx || by < 0 || bz < 0 || by > h_.ny - yoff_ || bz > h_.nz - zoff_ || (iy_ > 0 && bz != height_)) {
        return stop(pos_ + marker, Error::in_file(Status::value_error,
                              "block (layer %lld, column %lld) has extents (%lld, %lld, %lld) that do not fit the "
                              "grid (%lld, %lld, %lld)",
                              static_cast<ll>(iz_), static_cast<ll>(iy_), static_cast<ll>(bx), static_cast<ll>(by),
                              static_cast<ll>(bz), static_cast<ll>(h_.nx), static_cast<ll>(h_.ny),
                              static_cast<ll>(h_.nz)));
    }
    const int64_t count = bx * by * bz;  // fits: the block lies inside the grid
    const int64_t data_at = pos_ + extents_record + marker;
    // Its bytes need not fit: a grid of up to 2^62 points passes the header
    // checks, and 4 * count may then pass int64.
    int64_t bytes;
    if (__builtin_mul_overflow(count, int64_t{4}, &bytes)) {
        return stop(pos_ + marker, Error::in_file(Status::eof_error,
                                                  "file ends inside the data of block (layer %lld, column %lld): "
                                                  "it claims %lld values, more bytes than any file holds",
                                                  static_cast<ll>(iz_), static_cast<ll>(iy_), static_cast<ll>(count)));
    }
    if (Error e = need(data_at, bytes, "the data of block (layer %lld, column %lld)", iz_, iy_)) return e;
    *out = FieldBlock{iz_, iy_, yoff_, zoff_, bx, by, bz, count, pos_ + marker, data_at};
    pos_ = data_at + bytes + marker;
    yoff_ += by;
    height_ = bz;
    ++accepted_;
    if (++iy_ == h_.nproc_y) return layer_done();
    return {};
}

Error FieldWalk::layer_done() noexcept {
    if (yoff_ != h_.ny) {
        return stop(pos_, Error::in_file(Status::value_error,
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

Error FieldWalk::axes(FieldAxis out[3]) noexcept {
    // A layer of no blocks still has to cover its rows.
    if (h_.nproc_y == 0 && iz_ < layers_) {
        if (Error e = layer_done()) return e;
    }
    if (zoff_ != h_.nz) {
        return stop(pos_, Error::in_file(Status::value_error,
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
        const int64_t at = pos_ + marker;
        if (Error e = need(at, 4 * lens[i], names[i])) return e;
        out[i] = {at, lens[i]};
        pos_ = at + 4 * lens[i] + (i < 2 ? marker : 0);
    }
    return {};
}

}  // namespace quickio::native
