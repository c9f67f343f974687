#include "reductions.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "phase_format.hpp"
#include "phase_reader.hpp"

namespace quickio::native {

namespace {

using ll = long long;

// Workers a pass may run (the read pool's limit); each keeps its own
// accumulators.
constexpr int max_workers = 16;
// Per-thread copies of a histogram share this much memory at most; larger
// histograms are filled by fewer threads.
constexpr int64_t histogram_copies_bytes = int64_t{256} << 20;
// Moments of layouts without a vector form are taken over runs of this many
// values, gathered component by component: the run's own mean and spread
// are computed in two passes over values in cache, then merged into the
// running ones.
constexpr int64_t moments_run_values = 8192;
// The counting pass of a selection keeps the selected particles, in case
// the whole selection fits in this much; otherwise a filling pass follows.
constexpr int64_t selection_staging_bytes = int64_t{64} << 20;
// The counting pass notes how many particles each run of entries kept, so
// that the filling pass can place runs read out of order; past this many
// runs it stops noting and the filling pass runs in file order, alone.
constexpr int64_t selection_max_runs = int64_t{1} << 20;

float component_of(const unsigned char* entry, int64_t k) noexcept {
    float v;
    std::memcpy(&v, entry + 4 * k, 4);
    return v;
}

Error check_windows(std::span<const Window> where, int64_t components) noexcept {
    for (const Window& w : where) {
        if (w.component < 0 || w.component >= components) {
            return Error::value("where: component %d out of range: the dump's particles have components 0 to %lld",
                                w.component, static_cast<ll>(components - 1));
        }
        if (std::isnan(w.lo) || std::isnan(w.hi)) {
            return Error::value("where: the bounds of component %d are NaN", w.component);
        }
    }
    return {};
}

Error check_component(int32_t k, int64_t components, const char* what) noexcept {
    if (k < 0 || k >= components) {
        return Error::value("%s: component %d out of range: the dump's particles have components 0 to %lld", what, k,
                            static_cast<ll>(components - 1));
    }
    return {};
}

// What every reduction's sink shares: the entry layout, the filter and the
// progress count.
class ReductionSink : public EntrySink {
protected:
    ReductionSink(int32_t n, std::span<const Window> where, int64_t* progress) noexcept
        : components_(2 * int64_t{n} + 1), entry_bytes_(8 * int64_t{n} + 8), where_(where), progress_(progress) {}
    ~ReductionSink() = default;

    bool keep(const unsigned char* entry) const noexcept {
        for (const Window& w : where_) {
            const double x = component_of(entry, w.component);
            if (!(w.lo <= x && x <= w.hi)) return false;
        }
        return true;
    }
    void handed(int64_t count) noexcept {
        if (progress_ != nullptr) {
            std::atomic_ref<int64_t>(*progress_).fetch_add(count * entry_bytes_, std::memory_order_relaxed);
        }
    }
    static Error check_worker(int worker) noexcept {
        if (worker < 0 || worker >= max_workers) {
            return Error::value("reader worker %d beyond the %d a reduction provides for", worker, max_workers);
        }
        return {};
    }

    int64_t components_;
    int64_t entry_bytes_;
    std::span<const Window> where_;
    int64_t* progress_;
};

template <class T>
std::unique_ptr<T[]> new_array(int64_t count) noexcept {
    return std::unique_ptr<T[]>(new (std::nothrow) T[static_cast<size_t>(count)]());
}

// ---- finite extent ----------------------------------------------------

class ExtentSink final : public ReductionSink {
public:
    ExtentSink(int32_t n, std::span<const Window> where, std::span<const int32_t> components, int64_t* progress)
        : ReductionSink(n, where, progress), picked_(components) {}

    Error take(int worker, const unsigned char* entries, int64_t count, int64_t) noexcept override {
        if (Error e = check_worker(worker)) return e;
        auto& acc = acc_[worker];
        if (!acc) {
            acc = new_array<Extent>(static_cast<int64_t>(picked_.size()));
            if (!acc) return Error::os(ENOMEM);
        }
        for (int64_t i = 0; i < count; ++i) {
            const unsigned char* entry = entries + i * entry_bytes_;
            if (!keep(entry)) continue;
            for (size_t j = 0; j < picked_.size(); ++j) {
                const double x = component_of(entry, picked_[j]);
                if (!std::isfinite(x)) continue;
                Extent& a = acc[j];
                if (a.finite == 0 || x < a.lo) a.lo = x;
                if (a.finite == 0 || x > a.hi) a.hi = x;
                ++a.finite;
            }
        }
        handed(count);
        return {};
    }

    void merge(Extent* out) const noexcept {
        for (size_t j = 0; j < picked_.size(); ++j) out[j] = Extent{};
        for (const auto& acc : acc_) {
            if (!acc) continue;
            for (size_t j = 0; j < picked_.size(); ++j) {
                const Extent& a = acc[j];
                Extent& o = out[j];
                if (a.finite == 0) continue;
                if (o.finite == 0 || a.lo < o.lo) o.lo = a.lo;
                if (o.finite == 0 || a.hi > o.hi) o.hi = a.hi;
                o.finite += a.finite;
            }
        }
    }

private:
    std::span<const int32_t> picked_;
    std::unique_ptr<Extent[]> acc_[max_workers];
};

// ---- histogram ----------------------------------------------------------

// An axis with what finding a bin needs at hand.
struct BinRule {
    const double* edges;
    int64_t bins;
    double first, last;
    double span;   // uniform: the caller's last - first
    double scale;  // search: bins / (last - first), for a first guess
    bool uniform;
    int32_t component;
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

class HistogramSink final : public ReductionSink {
public:
    // With `counts` or `sums` (zeroed), the one worker adds straight into
    // the result instead of a copy of its own.
    HistogramSink(int32_t n, std::span<const Window> where, const BinRule* rules, int naxes, int32_t weight,
                  int64_t cells, int64_t* counts, double* sums, int64_t* progress) noexcept
        : ReductionSink(n, where, progress), rules_(rules), naxes_(naxes), weight_(weight), cells_(cells),
          direct_counts_(counts), direct_sums_(sums) {}

    static bool copies_needed(int64_t cells) noexcept { return cells <= copied_cells; }

    Error take(int worker, const unsigned char* entries, int64_t count, int64_t) noexcept override {
        if (Error e = check_worker(worker)) return e;
        if (weight_ < 0) {
            auto& acc = counts_[worker];
            if (!direct_counts_ && !acc && !(acc = new_array<int64_t>(cells_ * copies_))) return Error::os(ENOMEM);
            int64_t* const c = direct_counts_ ? direct_counts_ : acc.get();
            if (copies_ == 1) {
                fill(entries, count, [c](int64_t cell, int64_t, const unsigned char*) { ++c[cell]; });
            } else {
                // Particles in a row often share a bin: counting them into
                // alternate copies keeps the increments from waiting on
                // each other.
                fill(entries, count, [c](int64_t cell, int64_t i, const unsigned char*) {
                    ++c[cell * count_copies + (i & (count_copies - 1))];
                });
            }
        } else {
            auto& acc = sums_[worker];
            if (!direct_sums_ && !acc && !(acc = new_array<double>(cells_))) return Error::os(ENOMEM);
            double* const sum = direct_sums_ ? direct_sums_ : acc.get();
            const int32_t weight = weight_;
            fill(entries, count, [sum, weight](int64_t cell, int64_t, const unsigned char* entry) {
                sum[cell] += static_cast<double>(component_of(entry, weight));
            });
        }
        handed(count);
        return {};
    }

    void merge(int64_t* counts, double* sums) const noexcept {
        if (weight_ < 0) {
            std::fill(counts, counts + cells_, int64_t{0});
            for (const auto& acc : counts_) {
                if (!acc) continue;
                for (int64_t c = 0; c < cells_ * copies_; ++c) counts[c / copies_] += acc[c];
            }
        } else {
            std::fill(sums, sums + cells_, 0.0);
            for (const auto& acc : sums_) {
                if (!acc) continue;
                for (int64_t c = 0; c < cells_; ++c) sums[c] += acc[c];
            }
        }
    }

private:
    // The rules and the layout are copied into locals: the counts are
    // int64 too, and the compiler would otherwise reload them after every
    // count it adds.
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
            if (!bin_of(a, component_of(entry, a.component), &bx) || !bin_of(b, component_of(entry, b.component), &by) ||
                (filtered && !keep(entry))) {
                continue;
            }
            add(bx * b.bins + by, i, entry);
        }
    }

    static constexpr int64_t count_copies = 4;
    static constexpr int64_t copied_cells = int64_t{32} << 10;

    const BinRule* rules_;
    int naxes_;
    int32_t weight_;
    int64_t cells_;
    // Copies of each count, side by side: several for histograms small
    // enough to stay in cache that way.
    int64_t copies_ = cells_ <= copied_cells ? count_copies : 1;
    int64_t* direct_counts_;
    double* direct_sums_;
    std::unique_ptr<int64_t[]> counts_[max_workers];
    std::unique_ptr<double[]> sums_[max_workers];
};

Error check_axes(std::span<const Axis> axes, int64_t components, int64_t* cells) noexcept {
    if (axes.empty() || axes.size() > 2) {
        return Error::value("a histogram has one or two axes, not %zu", axes.size());
    }
    int64_t total = 1;
    for (const Axis& a : axes) {
        if (Error e = check_component(a.component, components, "histogram")) return e;
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

// ---- moments ------------------------------------------------------------

// What a worker knows of one component so far. `mean` and `m2` (the sum
// of squared deviations) are over the finite values; infinities are counted
// apart, since a single one makes the mean infinite and the spread NaN.
struct Running {
    int64_t valid = 0;  // values that are not NaN
    int64_t nan = 0;
    int64_t finite = 0;
    int64_t pos_inf = 0;
    int64_t neg_inf = 0;
    double mean = 0;
    double m2 = 0;
    float min = std::numeric_limits<float>::infinity();
    float max = -std::numeric_limits<float>::infinity();
};

// Merges the mean and spread of `count` finite values into `r`
// (Chan, Golub and LeVeque's pairwise update).
void merge_spread(Running& r, int64_t count, double mean, double m2) noexcept {
    if (count == 0) return;
    if (r.finite == 0) {
        r.finite = count;
        r.mean = mean;
        r.m2 = m2;
        return;
    }
    const double na = static_cast<double>(r.finite), nb = static_cast<double>(count);
    const double total = na + nb;
    const double delta = mean - r.mean;
    r.mean += delta * (nb / total);
    r.m2 += m2 + delta * delta * (na * nb / total);
    r.finite += count;
}

void merge_running(Running& into, const Running& r) noexcept {
    merge_spread(into, r.finite, r.mean, r.m2);
    into.valid += r.valid;
    into.nan += r.nan;
    into.pos_inf += r.pos_inf;
    into.neg_inf += r.neg_inf;
    into.min = std::min(into.min, r.min);
    into.max = std::max(into.max, r.max);
}

// One component's run of values: the common case (every value finite) in
// two straight loops, the other one value by value.
void run_moments(const float* v, int64_t count, Running& r) noexcept {
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    float lo = r.min, hi = r.max;
    bool finite = true;
    int64_t i = 0;
    for (; i + 4 <= count; i += 4) {
        s0 += v[i];
        s1 += v[i + 1];
        s2 += v[i + 2];
        s3 += v[i + 3];
    }
    for (; i < count; ++i) s0 += v[i];
    for (i = 0; i < count; ++i) {
        const float x = v[i];
        finite &= std::fabs(x) <= std::numeric_limits<float>::max();
        lo = x < lo ? x : lo;
        hi = x > hi ? x : hi;
    }
    if (finite) {
        const double mean = ((s0 + s1) + (s2 + s3)) / static_cast<double>(count);
        double d0 = 0, d1 = 0;
        for (i = 0; i + 2 <= count; i += 2) {
            const double a = v[i] - mean, b = v[i + 1] - mean;
            d0 += a * a;
            d1 += b * b;
        }
        if (i < count) {
            const double a = v[i] - mean;
            d0 += a * a;
        }
        r.min = lo;
        r.max = hi;
        r.valid += count;
        merge_spread(r, count, mean, d0 + d1);
        return;
    }
    double sum = 0;
    int64_t finite_count = 0;
    for (i = 0; i < count; ++i) {
        const float x = v[i];
        if (std::isnan(x)) {
            ++r.nan;
            continue;
        }
        ++r.valid;
        r.min = std::min(r.min, x);
        r.max = std::max(r.max, x);
        if (std::isinf(x)) {
            ++(x > 0 ? r.pos_inf : r.neg_inf);
        } else {
            sum += x;
            ++finite_count;
        }
    }
    if (finite_count == 0) return;
    const double mean = sum / static_cast<double>(finite_count);
    double m2 = 0;
    for (i = 0; i < count; ++i) {
        const double x = v[i];
        if (std::isfinite(x)) m2 += (x - mean) * (x - mean);
    }
    merge_spread(r, finite_count, mean, m2);
}

// Vectors of four floats, their int32 masks, and four doubles: GCC's and
// clang's vector extensions, which become SIMD code on every target.
using f4 = float __attribute__((vector_size(16)));
using i4 = int32_t __attribute__((vector_size(16)));
using d4 = double __attribute__((vector_size(32)));

inline f4 blend(i4 take_a, f4 a, f4 b) noexcept {
    return reinterpret_cast<f4>((reinterpret_cast<i4>(a) & take_a) | (reinterpret_cast<i4>(b) & ~take_a));
}

// The moments of a run of `count` whole entries of L words (n = 0 to 3),
// read as a flat run of floats, B at a time: B a multiple of both L and
// four, so that every lane of every vector always holds the same word of an
// entry (the trailing word's lanes are dropped at the end). The spread comes
// from sums of deviations from the run's first entry, which lies close to
// the run's mean, so that the squares lose nothing to cancellation.
// Returns the entries taken (a multiple of B / L; the rest are left to the
// caller), or -1, having merged nothing, when the run holds a value that is
// not finite.
template <int L>
[[gnu::always_inline]] inline int64_t vector_run(const unsigned char* entries, int64_t count,
                                                 Running* running) noexcept {
    constexpr int B = L == 6 ? 24 : 8;
    constexpr int G = B / 4;
    constexpr int per_step = B / L;
    constexpr int C = L - 1;
    const int64_t steps = count / per_step;
    if (steps == 0) return 0;
    float first[L];
    std::memcpy(first, entries, sizeof first);
    d4 shift[G], s1[G], s2[G];
    f4 lo[G], hi[G];
    i4 ok[G];
    for (int g = 0; g < G; ++g) {
        float lanes[4];
        for (int j = 0; j < 4; ++j) lanes[j] = first[(4 * g + j) % L];
        std::memcpy(&lo[g], lanes, sizeof lanes);
        hi[g] = lo[g];
        shift[g] = __builtin_convertvector(lo[g], d4);
        s1[g] = s2[g] = d4{};
        ok[g] = i4{} == 0;  // all set
    }
    for (int64_t s = 0; s < steps; ++s) {
        const unsigned char* p = entries + s * B * 4;
        for (int g = 0; g < G; ++g) {
            f4 v;
            i4 bits;
            std::memcpy(&v, p + 16 * g, 16);
            std::memcpy(&bits, p + 16 * g, 16);
            const d4 d = __builtin_convertvector(v, d4) - shift[g];
            s1[g] += d;
            s2[g] += d * d;
            lo[g] = blend(v < lo[g], v, lo[g]);
            hi[g] = blend(v > hi[g], v, hi[g]);
            ok[g] &= (bits & 0x7fffffff) < 0x7f800000;
        }
    }
    double sum[C] = {}, squares[C] = {};
    float mn[C], mx[C];
    for (int k = 0; k < C; ++k) mn[k] = mx[k] = first[k];
    for (int g = 0; g < G; ++g) {
        for (int j = 0; j < 4; ++j) {
            const int k = (4 * g + j) % L;
            if (k == C) continue;  // the trailing word
            if (!ok[g][j]) return -1;
            sum[k] += s1[g][j];
            squares[k] += s2[g][j];
            mn[k] = std::min(mn[k], lo[g][j]);
            mx[k] = std::max(mx[k], hi[g][j]);
        }
    }
    const int64_t done = steps * per_step;
    const double n = static_cast<double>(done);
    for (int k = 0; k < C; ++k) {
        Running& r = running[k];
        double m2 = squares[k] - sum[k] * (sum[k] / n);
        if (m2 < 0) m2 = 0;
        r.valid += done;
        r.min = std::min(r.min, mn[k]);
        r.max = std::max(r.max, mx[k]);
        merge_spread(r, done, static_cast<double>(first[k]) + sum[k] / n, m2);
    }
    return done;
}

// One entry point per layout, built twice on x86-64: for processors with
// AVX2, whose vectors hold four doubles at once, and for the others; the
// loader picks one when the module is loaded (where the C++ runtime has the
// processor check that needs; the build says so).
#if defined(__x86_64__) && !defined(QUICKIO_NO_TARGET_CLONES)
#define QUICKIO_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define QUICKIO_VECTOR_CLONES
#endif

QUICKIO_VECTOR_CLONES int64_t vector_run_2(const unsigned char* e, int64_t count, Running* r) noexcept {
    return vector_run<2>(e, count, r);
}
QUICKIO_VECTOR_CLONES int64_t vector_run_4(const unsigned char* e, int64_t count, Running* r) noexcept {
    return vector_run<4>(e, count, r);
}
QUICKIO_VECTOR_CLONES int64_t vector_run_6(const unsigned char* e, int64_t count, Running* r) noexcept {
    return vector_run<6>(e, count, r);
}
QUICKIO_VECTOR_CLONES int64_t vector_run_8(const unsigned char* e, int64_t count, Running* r) noexcept {
    return vector_run<8>(e, count, r);
}

class MomentsSink final : public ReductionSink {
public:
    MomentsSink(int32_t n, std::span<const Window> where, int64_t* progress) noexcept
        : ReductionSink(n, where, progress),
          rows_(moments_run_values / components_ > 0 ? moments_run_values / components_ : 1) {}

    Error take(int worker, const unsigned char* entries, int64_t count, int64_t) noexcept override {
        if (Error e = check_worker(worker)) return e;
        Worker& w = workers_[worker];
        if (!w.running) {
            w.running = new_array<Running>(components_);
            w.columns = new_array<float>(rows_ * components_);
            if (!w.running || !w.columns) return Error::os(ENOMEM);
            if (entry_bytes_ <= 32 && !where_.empty()) {
                w.packed = new_array<unsigned char>(packed_entries * entry_bytes_);
                if (!w.packed) return Error::os(ENOMEM);
            }
        }
        // The last entry may lack its trailing word, which the fixed
        // layouts read: it goes the general way.
        int64_t done = 0;
        if (count > 1 && entry_bytes_ <= 32) {
            done = count - 1;
            fixed(entries, done, w);
        }
        general(entries + done * entry_bytes_, count - done, w);
        handed(count);
        return {};
    }

    void merge(int64_t* count, Moments* out) const noexcept {
        *count = 0;
        for (int64_t k = 0; k < components_; ++k) {
            Running r;
            for (const Worker& w : workers_) {
                if (w.running) merge_running(r, w.running[k]);
            }
            if (k == 0) *count = r.valid + r.nan;
            out[k] = finish(r);
        }
    }

private:
    struct Worker {
        std::unique_ptr<Running[]> running;
        std::unique_ptr<float[]> columns;
        std::unique_ptr<unsigned char[]> packed;  // kept entries of a run, whole
    };

    // Any layout: the kept particles' components are gathered a run at a
    // time, component-major, so that each component's run is contiguous.
    void general(const unsigned char* entries, int64_t count, Worker& w) const noexcept {
        int64_t rows = 0;
        for (int64_t i = 0; i < count; ++i) {
            const unsigned char* entry = entries + i * entry_bytes_;
            if (!keep(entry)) continue;
            for (int64_t k = 0; k < components_; ++k) w.columns[k * rows_ + rows] = component_of(entry, k);
            if (++rows == rows_) {
                flush(w, rows);
                rows = 0;
            }
        }
        flush(w, rows);
    }

    // Runs of whole entries of the common layouts (n = 0 to 3), the kept
    // ones packed together first when a filter applies, through vector_run;
    // what it leaves goes the general way.
    void fixed(const unsigned char* entries, int64_t count, Worker& w) const noexcept {
        for (int64_t at = 0; at < count; at += packed_entries) {
            const unsigned char* run = entries + at * entry_bytes_;
            int64_t m = count - at < packed_entries ? count - at : packed_entries;
            if (!where_.empty()) {
                int64_t kept = 0;
                for (int64_t i = 0; i < m; ++i) {
                    const unsigned char* entry = run + i * entry_bytes_;
                    if (!keep(entry)) continue;
                    std::memcpy(&w.packed[kept * entry_bytes_], entry, static_cast<size_t>(entry_bytes_));
                    ++kept;
                }
                run = w.packed.get();
                m = kept;
            }
            int64_t done;
            switch (entry_bytes_) {
                case 8: done = vector_run_2(run, m, w.running.get()); break;
                case 16: done = vector_run_4(run, m, w.running.get()); break;
                case 24: done = vector_run_6(run, m, w.running.get()); break;
                default: done = vector_run_8(run, m, w.running.get()); break;
            }
            if (done < 0) done = 0;  // a value that is not finite
            general(run + done * entry_bytes_, m - done, w);
        }
    }

    void flush(Worker& w, int64_t rows) const noexcept {
        if (rows == 0) return;
        for (int64_t k = 0; k < components_; ++k) run_moments(&w.columns[k * rows_], rows, w.running[k]);
    }

    static constexpr int64_t packed_entries = 2048;

    static Moments finish(const Running& r) noexcept {
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        Moments m;
        m.nan = r.nan;
        if (r.valid == 0) {
            m.min = m.max = std::numeric_limits<float>::quiet_NaN();
            m.mean = m.std = nan;
            return m;
        }
        m.min = r.min;
        m.max = r.max;
        if (r.pos_inf > 0 || r.neg_inf > 0) {
            // The sum is infinite (NaN with both signs), and so is every
            // deviation from the mean.
            m.mean = r.pos_inf > 0 && r.neg_inf > 0 ? nan
                     : r.pos_inf > 0                ? std::numeric_limits<double>::infinity()
                                                    : -std::numeric_limits<double>::infinity();
            m.std = nan;
            return m;
        }
        m.mean = r.mean;
        m.std = std::sqrt(r.m2 / static_cast<double>(r.finite));
        return m;
    }

    int64_t rows_;
    Worker workers_[max_workers];
};

}  // namespace

// ---- entry points ----------------------------------------------------------

Error finite_extent(Source& src, int32_t n, std::span<const Window> where, std::span<const int32_t> components,
                    Extent* out, const PassOptions& options) noexcept {
    if (Error e = check_dimensions(n)) return e;
    const int64_t comp = 2 * int64_t{n} + 1;
    if (Error e = check_windows(where, comp)) return e;
    for (int32_t k : components) {
        if (Error e = check_component(k, comp, "histogram")) return e;
    }
    ExtentSink sink(n, where, components, options.progress);
    if (Error e = stream_particles(src, n, sink, options.read)) return e;
    sink.merge(out);
    return {};
}

Error histogram(Source& src, int32_t n, std::span<const Window> where, std::span<const Axis> axes, int32_t weight,
                int64_t* counts, double* sums, const PassOptions& options) noexcept {
    if (Error e = check_dimensions(n)) return e;
    const int64_t comp = 2 * int64_t{n} + 1;
    if (Error e = check_windows(where, comp)) return e;
    int64_t cells = 0;
    if (Error e = check_axes(axes, comp, &cells)) return e;
    if (weight >= 0) {
        if (Error e = check_component(weight, comp, "weights")) return e;
    }
    if (weight < 0 ? counts == nullptr : sums == nullptr) return Error::value("histogram: no place for the result");
    BinRule rules[2];
    for (size_t i = 0; i < axes.size(); ++i) rules[i] = rule_of(axes[i]);
    ReadOptions read = options.read;
    const int64_t copies = histogram_copies_bytes / (8 * cells);
    if (read.threads > copies) read.threads = copies > 1 ? static_cast<int>(copies) : 1;
    // A large histogram read by one thread is counted in place: its memory
    // is the result's alone.
    const bool direct = read.threads == 1 && !HistogramSink::copies_needed(cells);
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

Error moments(Source& src, int32_t n, std::span<const Window> where, int64_t* count, Moments* out,
              const PassOptions& options) noexcept {
    if (Error e = check_dimensions(n)) return e;
    if (Error e = check_windows(where, 2 * int64_t{n} + 1)) return e;
    MomentsSink sink(n, where, options.progress);
    if (Error e = stream_particles(src, n, sink, options.read)) return e;
    sink.merge(count, out);
    return {};
}

// ---- selection ----------------------------------------------------------

namespace {

// One run of entries that a take handed over: its first particle, how
// many entries it held, how many of them were kept, and (while staging) the
// kept particles' components.
struct Run {
    int64_t first = 0;
    int64_t count = 0;
    int64_t kept = 0;
    std::unique_ptr<float[]> staged;
};

Error changed(const char* what) noexcept {
    return Error::in_file(Status::changed, "the file changed while it was read: %s", what);
}

}  // namespace

struct Selection::State {
    int32_t n;
    int64_t components;
    int64_t entry_bytes;
    std::span<const Window> where;
    Error bad_where;

    // Counting pass.
    std::vector<Run> runs[max_workers];
    std::atomic<int64_t> kept{0};
    std::atomic<int64_t> nruns{0};
    std::atomic<int64_t> staged_bytes{0};
    std::atomic<bool> noting{true};   // every run noted so far
    std::atomic<bool> staging{true};  // every run's particles kept so far
    // After it: the noted runs in file order, and where each one's
    // particles start in the result.
    std::vector<Run> ordered;
    std::vector<int64_t> starts;
};

namespace {

class SelectionSink : public ReductionSink {
protected:
    SelectionSink(Selection::State& st, int64_t* progress) noexcept
        : ReductionSink(st.n, st.where, progress), st_(st) {}
    ~SelectionSink() = default;

    // Copies the kept particles of a run to `out` (room for `room`
    // particles), returning how many were kept, or -1 past `room`.
    int64_t copy_kept(const unsigned char* entries, int64_t count, float* out, int64_t room) const noexcept {
        int64_t k = 0;
        const auto bytes = static_cast<size_t>(4 * components_);
        for (int64_t i = 0; i < count; ++i) {
            const unsigned char* entry = entries + i * entry_bytes_;
            if (!keep(entry)) continue;
            if (k == room) return -1;
            std::memcpy(out + k * components_, entry, bytes);
            ++k;
        }
        return k;
    }
    int64_t count_kept(const unsigned char* entries, int64_t count) const noexcept {
        int64_t k = 0;
        for (int64_t i = 0; i < count; ++i) k += keep(entries + i * entry_bytes_) ? 1 : 0;
        return k;
    }

    Selection::State& st_;
};

class CountSink final : public SelectionSink {
public:
    CountSink(Selection::State& st, int64_t* progress) noexcept : SelectionSink(st, progress) {}

    Error take(int worker, const unsigned char* entries, int64_t count, int64_t first) noexcept override {
        if (Error e = check_worker(worker)) return e;
        const int64_t kept = count_kept(entries, count);
        st_.kept.fetch_add(kept, std::memory_order_relaxed);
        handed(count);
        if (!st_.noting.load(std::memory_order_relaxed)) return {};
        if (st_.nruns.fetch_add(1, std::memory_order_relaxed) >= selection_max_runs) {
            st_.noting.store(false, std::memory_order_relaxed);
            st_.staging.store(false, std::memory_order_relaxed);
            return {};
        }
        Run run;
        run.first = first;
        run.count = count;
        run.kept = kept;
        const int64_t bytes = 4 * kept * components_;
        if (kept > 0 && st_.staging.load(std::memory_order_relaxed)) {
            if (st_.staged_bytes.fetch_add(bytes, std::memory_order_relaxed) + bytes > selection_staging_bytes ||
                !(run.staged = new_array<float>(kept * components_))) {
                st_.staging.store(false, std::memory_order_relaxed);
            } else {
                copy_kept(entries, count, run.staged.get(), kept);
            }
        }
        try {
            st_.runs[worker].push_back(std::move(run));
        } catch (const std::bad_alloc&) {
            return Error::os(ENOMEM);
        }
        return {};
    }
};

// The filling pass: each run goes where the counting pass's notes put it.
class PlacedFillSink final : public SelectionSink {
public:
    PlacedFillSink(Selection::State& st, FloatSpan out, int64_t* progress) noexcept
        : SelectionSink(st, progress), out_(out) {}

    Error take(int worker, const unsigned char* entries, int64_t count, int64_t first) noexcept override {
        if (Error e = check_worker(worker)) return e;
        const auto& runs = st_.ordered;
        auto it = std::lower_bound(runs.begin(), runs.end(), first,
                                   [](const Run& r, int64_t f) { return r.first < f; });
        if (it == runs.end() || it->first != first || it->count != count) {
            // The reader cut the dump into other runs than the first time:
            // the fill is redone in file order.
            mismatch_.store(true, std::memory_order_relaxed);
            return Error::interrupted();
        }
        const auto r = static_cast<size_t>(it - runs.begin());
        const int64_t start = st_.starts[r];
        const int64_t room = out_.length / components_ - start;
        const int64_t k = copy_kept(entries, count, out_.data + start * components_, it->kept < room ? it->kept : room);
        if (k != it->kept) return changed("it holds other values than when its particles were counted");
        handed(count);
        return {};
    }
    bool mismatch() const noexcept { return mismatch_.load(std::memory_order_relaxed); }

private:
    FloatSpan out_;
    std::atomic<bool> mismatch_{false};
};

// The filling pass in file order, on one thread.
class OrderedFillSink final : public SelectionSink {
public:
    OrderedFillSink(Selection::State& st, FloatSpan out, int64_t* progress) noexcept
        : SelectionSink(st, progress), out_(out) {}

    Error take(int, const unsigned char* entries, int64_t count, int64_t) noexcept override {
        const int64_t room = out_.length / components_ - next_;
        const int64_t k = copy_kept(entries, count, out_.data + next_ * components_, room);
        if (k < 0) return changed("it holds more selected particles than when they were counted");
        next_ += k;
        handed(count);
        return {};
    }
    int64_t written() const noexcept { return next_; }

private:
    FloatSpan out_;
    int64_t next_ = 0;
};

}  // namespace

Selection::Selection(int32_t n, std::span<const Window> where) noexcept : state_(new (std::nothrow) State) {
    if (!state_) return;
    state_->n = n;
    state_->components = 2 * int64_t{n} + 1;
    state_->entry_bytes = 8 * int64_t{n} + 8;
    state_->where = where;
    if (Error e = check_dimensions(n)) {
        state_->bad_where = e;
    } else {
        state_->bad_where = check_windows(where, state_->components);
    }
}

Selection::~Selection() = default;

int64_t Selection::kept() const noexcept { return state_ ? state_->kept.load() : 0; }

Error Selection::count(Source& src, const PassOptions& options) noexcept {
    if (!state_) return Error::os(ENOMEM);
    State& st = *state_;
    if (st.bad_where) return st.bad_where;
    CountSink sink(st, options.progress);
    if (Error e = stream_particles(src, st.n, sink, options.read)) return e;
    if (!st.noting.load()) {
        // Too many runs to place: the filling pass goes in file order.
        for (auto& runs : st.runs) runs = std::vector<Run>();
        return {};
    }
    try {
        for (auto& runs : st.runs) {
            for (Run& r : runs) st.ordered.push_back(std::move(r));
            runs = std::vector<Run>();
        }
        std::sort(st.ordered.begin(), st.ordered.end(), [](const Run& a, const Run& b) { return a.first < b.first; });
        st.starts.resize(st.ordered.size());
    } catch (const std::bad_alloc&) {
        return Error::os(ENOMEM);
    }
    int64_t at = 0;
    for (size_t i = 0; i < st.ordered.size(); ++i) {
        st.starts[i] = at;
        at += st.ordered[i].kept;
    }
    return {};
}

Error Selection::fill(Source& src, FloatSpan out, const PassOptions& options) noexcept {
    if (!state_) return Error::os(ENOMEM);
    State& st = *state_;
    const int64_t kept = st.kept.load();
    if (out.length != kept * st.components) {
        return Error::value("selection: the result holds %lld values, not the %lld selected",
                            static_cast<ll>(out.length), static_cast<ll>(kept * st.components));
    }
    if (st.noting.load() && st.staging.load()) {
        for (size_t i = 0; i < st.ordered.size(); ++i) {
            const Run& r = st.ordered[i];
            if (r.kept > 0) {
                std::memcpy(out.data + st.starts[i] * st.components, r.staged.get(),
                            static_cast<size_t>(4 * r.kept * st.components));
            }
        }
        if (options.progress != nullptr) {
            std::atomic_ref<int64_t>(*options.progress).fetch_add(src.size(), std::memory_order_relaxed);
        }
        return {};
    }
    for (Run& r : st.ordered) r.staged.reset();
    if (st.noting.load()) {
        PlacedFillSink sink(st, out, options.progress);
        const Error e = stream_particles(src, st.n, sink, options.read);
        if (!sink.mismatch()) return e;
    }
    ReadOptions alone = options.read;
    alone.threads = 1;
    OrderedFillSink sink(st, out, options.progress);
    if (Error e = stream_particles(src, st.n, sink, alone)) return e;
    if (sink.written() != kept) return changed("it holds fewer selected particles than when they were counted");
    return {};
}

}  // namespace quickio::native
