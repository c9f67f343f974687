// The checks and the progress count that every reduction's sink shares
// (declared in reduce_sink.hpp).
#include "reduce_sink.hpp"

#include <atomic>
#include <cmath>

namespace quickio::native::reduce {

namespace {

using ll = long long;

}  // namespace

Error check_windows(std::span<const Window> where, int64_t components) noexcept {
    for (const Window& w : where) {
        if (w.component < 0 || w.component >= components) {
            return Error::value("where: component %lld out of range: the dump's particles have components 0 to %lld",
                                static_cast<ll>(w.component), static_cast<ll>(components - 1));
        }
        if (std::isnan(w.lo) || std::isnan(w.hi)) {
            return Error::value("where: the bounds of component %lld are NaN", static_cast<ll>(w.component));
        }
    }
    return {};
}

Error check_component(int64_t k, int64_t components, const char* what) noexcept {
    if (k < 0 || k >= components) {
        return Error::value("%s: component %lld out of range: the dump's particles have components 0 to %lld", what,
                            static_cast<ll>(k), static_cast<ll>(components - 1));
    }
    return {};
}

void Sink::handed(int64_t count) noexcept {
    // Another thread reads the count while the pass runs; only the sum
    // matters, so the additions need no order among themselves.
    if (progress_ != nullptr) {
        std::atomic_ref<int64_t>(*progress_).fetch_add(count * entry_bytes_, std::memory_order_relaxed);
    }
}

Error Sink::check_worker(int worker) noexcept {
    if (worker < 0 || worker >= max_workers) {
        return Error::value("reader worker %d beyond the %d a reduction provides for", worker, max_workers);
    }
    return {};
}

}  // namespace quickio::native::reduce
