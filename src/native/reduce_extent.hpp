// The finite range of components over the kept particles of a phase-space
// dump: what a histogram takes as its range when the caller gives none.
#pragma once

#include <cstdint>
#include <span>

#include "reduce_pass.hpp"
#include "result.hpp"
#include "source.hpp"

namespace quickio::native {

// Finite minimum and maximum of one component over the kept particles.
// `finite` counts the values that took part; lo and hi mean nothing when it
// is zero.
struct Extent {
    int64_t finite = 0;
    double lo = 0;
    double hi = 0;
};

// The particles a pass kept (`selected`), and of those the ones whose
// picked components are all finite: those a histogram of them counts.
struct Kept {
    int64_t selected = 0;
    int64_t finite = 0;
};

// One pass over a dump of `n` dimensions: the extent of each of
// `components` into `out`, which holds as many entries, and the particles
// kept into `kept`.
Error finite_extent(Source& src, int32_t n, std::span<const Window> where, std::span<const int64_t> components,
                    Extent* out, Kept* kept, const PassOptions& options) noexcept;

}  // namespace quickio::native
