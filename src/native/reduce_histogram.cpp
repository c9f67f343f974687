// The histogram pass: every kept particle's bin along one or two axes,
// counted or summed into per-worker copies of the histogram that are added
// up once the pass is over (or, for a large histogram on one thread,
// straight into the caller's result).
#include "reduce_histogram.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "reduce_sink.hpp"

namespace quickio::native {

namespace {

using reduce::component_of;
using reduce::max_workers;

// The memory that per-thread copies of a histogram share (see limits.hpp).
constexpr int64_t histogram_copies_bytes = limits::histogram_copies_bytes;

// ---- finding a bin --------------------------------------------------------

// An axis with what finding a bin needs at hand.
struct BinRule {
    const double* edges;
    int64_t bins;
    double first, last;
    double span;   // uniform: the caller's last - first
    double scale;  // search: bins / (last - first), for a first guess
    bool uniform;
    int64_t component;
};

BinRule rule_of(const Axis& a) noexcept {
    BinRule r;
    r.edges = a.edges.data();
    r.bins = static_cast<int64_t>(a.edges.size()) - 1;
    r.first = r.edges[0];
    r.last = r.edges[r.bins];
    r.span = a.span;
    const double width = r.last - r.first;
    r.scale = width > 0 && std::isfinite(width) ? static_cast<double>(r.bins) / width : 0.0;
    r.uniform = a.uniform;
    r.component = a.component;
    return r;
}

// NumPy's histogram for equal bins: the index from the linear map, then
// corrected by one either way against the edges it must lie between.
inline bool uniform_bin(const BinRule& r, double x, int64_t* bin) noexcept {
    if (!(x >= r.first && x <= r.last)) return false;
    const double f = ((x - r.first) / r.span) * static_cast<double>(r.bins);
    int64_t i;
    if (!(f < static_cast<double>(r.bins))) {
        i = r.bins;  // also NaN, from a span of zero: cannot pass the checks below
    } else if (!(f >= 0)) {
        i = 0;
    } else {
        i = static_cast<int64_t>(f);
    }
    if (i == r.bins) --i;
    if (i > 0 && x < r.edges[i]) --i;
    if (i < r.bins - 1 && x >= r.edges[i + 1]) ++i;
    *bin = i;
    return true;
}

// NumPy's histogramdd: the number of edges at or below x, less one, with x
// on the last edge in the last bin. A guess from the linear map is taken
// when the edges around it confirm it; otherwise a binary search decides.
inline bool search_bin(const BinRule& r, double x, int64_t* bin) noexcept {
    if (!(x >= r.first && x <= r.last)) return false;
    const double f = (x - r.first) * r.scale;
    int64_t g = f < static_cast<double>(r.bins) ? static_cast<int64_t>(f) : r.bins - 1;
    if (g < 0) g = 0;
    if (r.edges[g] <= x && x < r.edges[g + 1]) {
        *bin = g;
        return true;
    }
    if (x == r.last) {
        *bin = r.bins - 1;
        return true;
    }
    const double* ub = std::upper_bound(r.edges, r.edges + r.bins + 1, x);
    *bin = (ub - r.edges) - 1;  // x >= first and x < last: 0 to bins - 1
    return true;
}

inline bool bin_of(const BinRule& r, double x, int64_t* bin) noexcept {
    return r.uniform ? uniform_bin(r, x, bin) : search_bin(r, x, bin);
}

// ---- the sink -------------------------------------------------------------

class HistogramSink final : public reduce::Sink {
public:
    // With `counts` or `sums` (zeroed), the one worker adds straight into
    // the result instead of a copy of its own.
    HistogramSink(int32_t n, std::span<const Window> where, const BinRule* rules, int naxes, int64_t weight,
                  int64_t cells, int64_t* counts, double* sums, int64_t* progress) noexcept
        : Sink(n, where, progress),
          rules_(rules),
          naxes_(naxes),
          weight_(weight),
          cells_(cells),
          direct_counts_(counts),
          direct_sums_(sums) {}

    // How many copies of each count a worker keeps side by side: several for
    // histograms small enough to stay in cache that way, else one.
    static int64_t copies_of(int64_t cells) noexcept { return cells <= copied_cells ? count_copies : 1; }

    Error take(int worker, const unsigned char* entries, int64_t count, int64_t) noexcept override {
        if (Error e = check_worker(worker)) return e;
        if (Error e = weight_ < 0 ? take_counts(worker, entries, count) : take_sums(worker, entries, count)) return e;
        handed(count);
        return {};
    }

    // Run after the pass: every worker's copy added into the result.
    void merge(int64_t* counts, double* sums) const noexcept {
        if (weight_ < 0) {
            std::fill(counts, counts + cells_, int64_t{0});
            for (const auto& copy : counts_) {
                if (!copy) continue;
                for (int64_t c = 0; c < cells_ * copies_; ++c) counts[c / copies_] += copy[c];
            }
        } else {
            std::fill(sums, sums + cells_, 0.0);
            for (const auto& copy : sums_) {
                if (!copy) continue;
                for (int64_t c = 0; c < cells_; ++c) sums[c] += copy[c];
            }
        }
    }

private:
    Error take_counts(int worker, const unsigned char* entries, int64_t count) noexcept {
        auto& copy = counts_[worker];
        if (!direct_counts_ && !copy && !(copy = reduce::new_array<int64_t>(cells_ * copies_))) {
            return Error::os(ENOMEM);
        }
        int64_t* const c = direct_counts_ ? direct_counts_ : copy.get();
        if (copies_ == 1) {
            fill(entries, count, [c](int64_t cell, int64_t, const unsigned char*) { ++c[cell]; });
        } else {
            // Particles in a row often share a bin: counting them into
            // alternate copies keeps the increments from waiting on each
            // other.
            fill(entries, count, [c](int64_t cell, int64_t i, const unsigned char*) {
                ++c[cell * count_copies + (i & (count_copies - 1))];
            });
        }
        return {};
    }

    Error take_sums(int worker, const unsigned char* entries, int64_t count) noexcept {
        auto& copy = sums_[worker];
        if (!direct_sums_ && !copy && !(copy = reduce::new_array<double>(cells_))) return Error::os(ENOMEM);
        double* const sum = direct_sums_ ? direct_sums_ : copy.get();
        const int64_t weight = weight_;
        fill(entries, count, [sum, weight](int64_t cell, int64_t, const unsigned char* entry) {
            sum[cell] += static_cast<double>(component_of(entry, weight));
        });
        return {};
    }

    // Hands each kept particle with a bin on every axis to `add`, with its
    // cell, its index in the run and its entry. The rules and the layout are
    // copied into locals: the counts are int64 too, and the compiler would
    // otherwise reload them after every count it adds.
    template <class Add>
    void fill(const unsigned char* entries, int64_t count, Add add) const noexcept {
        const BinRule a = rules_[0];
        const int64_t stride = entry_bytes_;
        const bool filtered = !where_.empty();
        if (naxes_ == 1) {
            for (int64_t i = 0; i < count; ++i) {
                const unsigned char* entry = entries + i * stride;
                int64_t bx;
                if (!bin_of(a, component_of(entry, a.component), &bx) || (filtered && !keep(entry))) continue;
                add(bx, i, entry);
            }
            return;
        }
        const BinRule b = rules_[1];
        for (int64_t i = 0; i < count; ++i) {
            const unsigned char* entry = entries + i * stride;
            int64_t bx, by;
            if (!bin_of(a, component_of(entry, a.component), &bx) ||
                !bin_of(b, component_of(entry, b.component), &by) || (filtered && !keep(entry))) {
                continue;
            }
            add(bx * b.bins + by, i, entry);
        }
    }

    static constexpr int64_t count_copies = 4;
    static constexpr int64_t copied_cells = limits::histogram_copied_cells;

    const BinRule* rules_;
    int naxes_;
    int64_t weight_;
    int64_t cells_;
    int64_t copies_ = copies_of(cells_);
    int64_t* direct_counts_;
    double* direct_sums_;
    // One copy per worker, allocated by its first take (none when direct).
    std::unique_ptr<int64_t[]> counts_[max_workers];
    std::unique_ptr<double[]> sums_[max_workers];
};

// ---- the entry point ------------------------------------------------------

Error check_axes(std::span<const Axis> axes, int64_t components, int64_t* cells) noexcept {
    if (axes.empty() || axes.size() > 2) {
        return Error::value("a histogram has one or two axes, not %zu", axes.size());
    }
    int64_t total = 1;
    for (const Axis& a : axes) {
        if (Error e = reduce::check_component(a.component, components, "histogram")) return e;
        if (a.edges.size() < 2) return Error::value("histogram: an axis needs at least two bin edges");
        for (size_t i = 0; i < a.edges.size(); ++i) {
            if (!std::isfinite(a.edges[i]) || (i > 0 && a.edges[i] < a.edges[i - 1])) {
                return Error::value("histogram: bin edges must be finite and non-decreasing");
            }
        }
        if (a.uniform && !(a.span > 0)) return Error::value("histogram: the span of equal bins must be positive");
        const auto bins = static_cast<int64_t>(a.edges.size()) - 1;
        if (__builtin_mul_overflow(total, bins, &total) || total > (int64_t{1} << 40)) {
            return Error::value("histogram: too many bins");
        }
    }
    *cells = total;
    return {};
}

// Everything the caller passes, checked before the pass; `*cells` receives
// the number of bins of the whole histogram.
Error check_histogram(int32_t n, std::span<const Window> where, std::span<const Axis> axes, int64_t weight,
                      const int64_t* counts, const double* sums, int64_t* cells) noexcept {
    if (Error e = check_dimensions(n)) return e;
    const int64_t ncomponents = 2 * int64_t{n} + 1;
    if (Error e = reduce::check_windows(where, ncomponents)) return e;
    if (Error e = check_axes(axes, ncomponents, cells)) return e;
    if (weight >= 0) {
        if (Error e = reduce::check_component(weight, ncomponents, "weights")) return e;
    }
    if (weight < 0 ? counts == nullptr : sums == nullptr) return Error::value("histogram: no place for the result");
    return {};
}

// The reader threads a histogram of `cells` bins may use: no more than
// copies of it fit in histogram_copies_bytes, one at least.
int threads_for(int64_t cells, int threads) noexcept {
    const int64_t copies = histogram_copies_bytes / (8 * cells);
    if (threads > copies) return copies > 1 ? static_cast<int>(copies) : 1;
    return threads;
}

}  // namespace

Error histogram(Source& src, int32_t n, std::span<const Window> where, std::span<const Axis> axes, int64_t weight,
                int64_t* counts, double* sums, const PassOptions& options) noexcept {
    int64_t cells = 0;
    if (Error e = check_histogram(n, where, axes, weight, counts, sums, &cells)) return e;
    BinRule rules[2];
    for (size_t i = 0; i < axes.size(); ++i) rules[i] = rule_of(axes[i]);
    ReadOptions read = options.read;
    read.threads = threads_for(cells, read.threads);
    // A large histogram read by one thread is counted in place: its memory
    // is the result's alone.
    const bool direct = read.threads == 1 && HistogramSink::copies_of(cells) == 1;
    if (direct) {
        if (weight < 0) {
            std::fill(counts, counts + cells, int64_t{0});
        } else {
            std::fill(sums, sums + cells, 0.0);
        }
    }
    HistogramSink sink(n, where, rules, static_cast<int>(axes.size()), weight, cells,
                       direct && weight < 0 ? counts : nullptr, direct && weight >= 0 ? sums : nullptr,
                       options.progress);
    if (Error e = stream_particles(src, n, sink, read)) return e;
    if (!direct) sink.merge(counts, sums);
    return {};
}

}  // namespace quickio::native
