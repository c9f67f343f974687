// Histograms of one or two components of a phase-space dump over its kept
// particles, counted or weighted by a third component, in one pass.
#pragma once

#include <cstdint>
#include <span>

#include "reduce_pass.hpp"
#include "result.hpp"
#include "source.hpp"

namespace quickio::native {

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

}  // namespace quickio::native
