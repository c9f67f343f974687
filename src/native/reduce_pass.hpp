// What every reduction of a phase-space dump takes besides the dump: the
// filter that decides which particles it keeps (`where`), and how its pass
// runs (PassOptions).
//
// Every reduction takes `where`: particles are kept when lo <= value <= hi
// for every listed component, the float32 value compared exactly (as a
// double) with the bounds; NaN never passes.
#pragma once

#include <cstdint>

#include "result.hpp"

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

}  // namespace quickio::native
