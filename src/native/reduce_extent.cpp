// The finite-extent pass: each worker keeps the finite minimum and maximum
// of the picked components over the particles it was handed; the workers'
// extents are merged once the pass is over.
#include "reduce_extent.hpp"

#include <cerrno>
#include <cmath>

#include "reduce_sink.hpp"

namespace quickio::native {

namespace {

using reduce::component_of;
using reduce::max_workers;

// Widens `into` to hold x, a finite value.
void widen(Extent& into, double x) noexcept {
    if (into.finite == 0 || x < into.lo) into.lo = x;
    if (into.finite == 0 || x > into.hi) into.hi = x;
    ++into.finite;
}

// Widens `into` to hold the extent of `part`, one worker's.
void absorb(Extent& into, const Extent& part) noexcept {
    if (part.finite == 0) return;
    if (into.finite == 0 || part.lo < into.lo) into.lo = part.lo;
    if (into.finite == 0 || part.hi > into.hi) into.hi = part.hi;
    into.finite += part.finite;
}

class ExtentSink final : public reduce::Sink {
public:
    ExtentSink(int32_t n, std::span<const Window> where, std::span<const int64_t> components, int64_t* progress)
        : Sink(n, where, progress), picked_(components) {}

    Error take(int worker, const unsigned char* entries, int64_t count, int64_t) noexcept override {
        if (Error e = check_worker(worker)) return e;
        auto& extents = extents_[worker];
        if (!extents) {
            extents = reduce::new_array<Extent>(static_cast<int64_t>(picked_.size()));
            if (!extents) return Error::os(ENOMEM);
        }
        Kept& kept = kept_[worker];
        for (int64_t i = 0; i < count; ++i) {
            const unsigned char* entry = entries + i * entry_bytes_;
            if (!keep(entry)) continue;
            bool all_finite = true;
            for (size_t j = 0; j < picked_.size(); ++j) {
                const double x = component_of(entry, picked_[j]);
                if (std::isfinite(x)) {
                    widen(extents[j], x);
                } else {
                    all_finite = false;
                }
            }
            ++kept.selected;
            kept.finite += all_finite;
        }
        handed(count);
        return {};
    }

    // Run after the pass: every worker's extents into `out`, their counts
    // into `kept`.
    void merge(Extent* out, Kept* kept) const noexcept {
        for (size_t j = 0; j < picked_.size(); ++j) out[j] = Extent{};
        *kept = Kept{};
        for (int w = 0; w < max_workers; ++w) {
            kept->selected += kept_[w].selected;
            kept->finite += kept_[w].finite;
            if (!extents_[w]) continue;
            for (size_t j = 0; j < picked_.size(); ++j) absorb(out[j], extents_[w][j]);
        }
    }

private:
    std::span<const int64_t> picked_;
    // One array per worker, allocated by its first take, and one count of
    // the particles it kept: each worker writes only its own.
    std::unique_ptr<Extent[]> extents_[max_workers];
    struct alignas(64) PerWorker : Kept {};
    PerWorker kept_[max_workers];
};

}  // namespace

Error finite_extent(Source& src, int32_t n, std::span<const Window> where, std::span<const int64_t> components,
                    Extent* out, Kept* kept, const PassOptions& options) noexcept {
    if (Error e = check_dimensions(n)) return e;
    const int64_t ncomponents = 2 * int64_t{n} + 1;
    if (Error e = reduce::check_windows(where, ncomponents)) return e;
    for (int64_t k : components) {
        if (Error e = reduce::check_component(k, ncomponents, "histogram")) return e;
    }
    ExtentSink sink(n, where, components, options.progress);
    if (Error e = stream_particles(src, n, sink, options.read)) return e;
    sink.merge(out, kept);
    return {};
}

}  // namespace quickio::native
