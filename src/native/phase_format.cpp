#include "phase_format.hpp"

namespace quickio::native {

namespace {
using ll = long long;
}  // namespace

Error check_dimensions(int32_t n) noexcept {
    if (n >= 0) return {};
    return Error::value("n_dimensions must be >= 0, got %d", n);
}

int32_t most_dimensions(int64_t file_size) noexcept {
    const int64_t fits = (file_size - 8) / 8;  // one_particle_bytes(fits) <= file_size
    if (fits <= small_file_dimensions) return small_file_dimensions;
    return fits < INT32_MAX ? static_cast<int32_t>(fits) : INT32_MAX;
}

Error PhaseWalk::cut_short(int64_t at, int32_t stored, int64_t remain) noexcept {
    stop_ = at;
    return Error::in_file(
        Status::eof_error, "block at offset %lld announces %d particle%s of %lld bytes each but only %lld bytes remain",
        static_cast<ll>(at), stored, stored == 1 ? "" : "s", static_cast<ll>(entry_bytes_), static_cast<ll>(remain));
}

}  // namespace quickio::native
