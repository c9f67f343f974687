// Reductions of a phase-space dump in one streaming pass each, in memory
// that does not grow with the dump: the finite extent of components
// (reduce_extent.hpp), histograms of one or two components
// (reduce_histogram.hpp), the moments of every component
// (reduce_moments.hpp), and the selection of the particles inside a window
// (reduce_selection.hpp). Each is an EntrySink over stream_particles, so the
// file is read once per pass, by several threads for large dumps, through
// reused read buffers; what each thread accumulates is merged at the end.
// What they all take, the `where` filter and the pass options, is in
// reduce_pass.hpp; what their sinks share, in reduce_sink.hpp.
#pragma once

#include "reduce_extent.hpp"
#include "reduce_histogram.hpp"
#include "reduce_moments.hpp"
#include "reduce_pass.hpp"
#include "reduce_selection.hpp"
