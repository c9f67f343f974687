#include "phase_format.hpp"

namespace quickio::native {

namespace {
using ll = long long;
// The trailing word of an entry: no reader reads it.
constexpr int64_t trailing_word = 4;
}  // namespace

Error check_dimensions(int32_t n) noexcept {
    if (n >= 0) return {};
    return Error::value("n_dimensions must be >= 0, got %d", n);
}

Error PhaseWalk::accept(int32_t stored, PhaseBlock* out) noexcept {
    const int64_t at = pos_;
    *out = PhaseBlock{at, stored, 0, particles_, at + 4, 0};
    pos_ = at + 4;
    ++blocks_;
    if (stored <= 0) return {};
    const int64_t remain = size_ - pos_;
    // Up to 2^31 entries of up to 2^34 bytes: the product may pass int64.
    int64_t bytes;
    if (__builtin_mul_overflow(int64_t{stored}, entry_bytes_, &bytes) || bytes - trailing_word > remain) {
        stop_ = at;
        return Error::in_file(Status::eof_error,
                              "block at offset %lld announces %d particle%s of %lld bytes each but only %lld bytes "
                              "remain",
                              static_cast<ll>(at), stored, stored == 1 ? "" : "s", static_cast<ll>(entry_bytes_),
                              static_cast<ll>(remain));
    }
    // The last entry of the file may end without its trailing word.
    if (bytes > remain) bytes = remain;
    out->count = stored;
    out->bytes = bytes;
    particles_ += stored;
    pos_ += bytes;
    return {};
}

}  // namespace quickio::native
