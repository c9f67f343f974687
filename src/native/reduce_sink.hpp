// The part every reduction's sink shares, for the reductions' own files
// only: the entry layout, the `where` filter, the progress count, the checks
// of the components a caller names, and the bound on reader workers.
//
// A reduction is an EntrySink over stream_particles. Its take() runs on the
// pool's threads at once, one thread per worker number, so each reduction
// keeps one accumulator per worker, indexed by that number, and merges them
// once stream_particles has returned (which it does only after joining every
// thread that ran a take).
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#include "limits.hpp"
#include "phase_reader.hpp"
#include "reduce_pass.hpp"
#include "result.hpp"

namespace quickio::native::reduce {

// Workers a pass may run (the read pool's limit); each keeps its own
// accumulators.
constexpr int max_workers = limits::max_threads;

inline float component_of(const unsigned char* entry, int64_t k) noexcept {
    float v;
    std::memcpy(&v, entry + 4 * k, 4);
    return v;
}

// A zeroed array of `count` T, or null when memory is short.
template <class T>
std::unique_ptr<T[]> new_array(int64_t count) noexcept {
    return std::unique_ptr<T[]>(new (std::nothrow) T[static_cast<size_t>(count)]());
}

// The caller's `where` against a dump whose particles have `components`
// components: every component in range, no NaN bound.
Error check_windows(std::span<const Window> where, int64_t components) noexcept;
// One component the caller names for `what` (a histogram's axis, its
// weights), against the same range.
Error check_component(int64_t k, int64_t components, const char* what) noexcept;

class Sink : public EntrySink {
protected:
    Sink(int32_t n, std::span<const Window> where, int64_t* progress) noexcept
        : components_(2 * int64_t{n} + 1), entry_bytes_(8 * int64_t{n} + 8), where_(where), progress_(progress) {}
    ~Sink() = default;

    // Whether the particle at `entry` passes every window.
    bool keep(const unsigned char* entry) const noexcept {
        for (const Window& w : where_) {
            const double x = component_of(entry, w.component);
            if (!(w.lo <= x && x <= w.hi)) return false;
        }
        return true;
    }
    // Counts `count` entries as handed over, for the progress display.
    void handed(int64_t count) noexcept;
    // A worker number beyond the accumulators is refused, never indexed.
    static Error check_worker(int worker) noexcept;

    int64_t components_;
    int64_t entry_bytes_;
    std::span<const Window> where_;
    int64_t* progress_;
};

}  // namespace quickio::native::reduce
