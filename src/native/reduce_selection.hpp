// The selection of the kept particles of a phase-space dump, in file order:
// a counting pass, which tells the caller how large the result is, then the
// result filled from what the counting pass staged or by a second pass.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "reduce_pass.hpp"
#include "result.hpp"
#include "source.hpp"

namespace quickio::native {

// The selection of the kept particles, in file order, as a (2n+1)-strided
// float32 run: a counting pass, then, unless the counting pass could keep
// them all within a bounded staging memory, a filling pass.
class Selection {
public:
    Selection(int32_t n, std::span<const Window> where) noexcept;
    ~Selection();
    Selection(const Selection&) = delete;
    Selection& operator=(const Selection&) = delete;

    // The counting pass, once. Afterwards kept() is the number of kept
    // particles.
    Error count(Source& src, const PassOptions& options) noexcept;
    int64_t kept() const noexcept;
    // Writes the kept particles into `out`, which holds exactly
    // kept() * (2n+1) values: from what the counting pass staged, or by a
    // second pass over `src`. A file whose contents differ from the
    // counting pass's is reported as changed, and nothing is written outside
    // `out`. Only after count() succeeded: a selection whose counting pass
    // failed describes part of the file, and is refused.
    Error fill(Source& src, FloatSpan out, const PassOptions& options) noexcept;

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace quickio::native
