// The moments of every component of a phase-space dump over its kept
// particles, in one pass: min, max, mean, standard deviation and the count
// of NaN values.
#pragma once

#include <cstdint>
#include <span>

#include "reduce_pass.hpp"
#include "result.hpp"
#include "source.hpp"

namespace quickio::native {

// The moments of one component over the kept particles, ignoring NaN:
// min and max (infinities included), mean and population standard
// deviation, and the number of NaN values.
struct Moments {
    float min = 0;
    float max = 0;
    double mean = 0;
    double std = 0;
    int64_t nan = 0;
};

// `out` holds 2n+1 entries; `count` receives the number of kept particles.
Error moments(Source& src, int32_t n, std::span<const Window> where, int64_t* count, Moments* out,
              const PassOptions& options) noexcept;

}  // namespace quickio::native
