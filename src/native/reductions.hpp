// Reductions of a phase-space dump in one streaming pass each, in memory
// that does not grow with the dump: histograms of one or two components,
// the moments of every component, and the selection of the particles inside
// a window. Each is an EntrySink over stream_particles, so the file is read
// once per pass, by several threads for large dumps, through reused read
// buffers; what each thread accumulates is merged at the end.
//
// Every reduction takes `where`: particles are kept when lo <= value <= hi
// for every listed component, the float32 value compared exactly (as a
// double) with the bounds; NaN never passes.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "result.hpp"
#include "source.hpp"

namespace quickio::native {

// Components are int64: a dump of n dimensions has 2n+1 of them, up to
// 2^32 - 1.
struct Window {
    int64_t component = 0;
    double lo = 0;
    double hi = 0;
};

// How a pass runs: the reader's options, and where to count the bytes of
// particle entries handed over so far (read by another thread while the pass
// runs, to show progress; null for none).
struct PassOptions {
    ReadOptions read;
    int64_t* progress = nullptr;
};

// Finite minimum and maximum of each of `components` over the kept
// particles: what a histogram takes as its range when none is given.
// `finite` counts the values that took part; lo and hi mean nothing when it
// is zero.
struct Extent {
    int64_t finite = 0;
    double lo = 0;
    double hi = 0;
};
Error finite_extent(Source& src, int32_t n, std::span<const Window> where, std::span<const int64_t> components,
                    Extent* out, const PassOptions& options) noexcept;

// One axis of a histogram: the component, its bin edges (non-decreasing,
// finite, at least two) and how a value finds its bin.
//
// With `uniform`, the edges are equally spaced from edges[0] to edges.back()
// and the bin is found the way NumPy's histogram does it for equal bins:
// i = floor((x - first) / span * bins), moved down by one when x lies
// below edge i and up by one when it lies on or above edge i + 1 (except
// into the last bin, which holds its right edge). `span` is last - first as
// the caller computed it. Without `uniform`, the bin is the one a search of
// the edges gives, as NumPy's histogramdd does it: the number of edges at or
// below x, less one; x on the last edge goes into the last bin.
struct Axis {
    int64_t component = 0;
    std::span<const double> edges;
    bool uniform = false;
    double span = 0;
};

// Counts (int64, `weight` < 0) or sums of the weight component (double) of
// the kept particles over one or two axes, row-major (the first axis
// slowest) into `counts` or `sums`, which hold the product of the bin counts.
// Values outside an axis's edges, and NaN, are not counted.
Error histogram(Source& src, int32_t n, std::span<const Window> where, std::span<const Axis> axes, int64_t weight,
                int64_t* counts, double* sums, const PassOptions& options) noexcept;

// The moments of each component over the kept particles, ignoring NaN:
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

// The selection of the kept particles, in file order, as a (2n+1)-strided
// float32 run: a counting pass, then, unless the counting pass could keep
// them all within a bounded staging memory, a filling pass.
class Selection {
public:
    Selection(int32_t n, std::span<const Window> where) noexcept;
    ~Selection();
    Selection(const Selection&) = delete;
    Selection& operator=(const Selection&) = delete;

    // The counting pass. Afterwards kept() is the number of kept particles.
    Error count(Source& src, const PassOptions& options) noexcept;
    int64_t kept() const noexcept;
    // Writes the kept particles into `out`, which holds exactly
    // kept() * (2n+1) values: from what the counting pass staged, or by a
    // second pass over `src`. A file whose contents differ from the
    // counting pass's is reported as changed, and nothing is written outside
    // `out`.
    Error fill(Source& src, FloatSpan out, const PassOptions& options) noexcept;

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace quickio::native
