// The moments pass: each worker keeps, per component, a running count,
// mean and sum of squared deviations (merged pairwise, so that large dumps
// lose no precision to one long sum), min, max and the NaN and infinity
// counts; the workers' running moments are merged once the pass is over.
//
// The common layouts (n = 0 to 3, entries of at most 32 bytes) go through
// vector kernels built twice on x86-64 (AVX2 and baseline, picked when the
// module is loaded); every other layout, and any run that holds a value that
// is not finite, goes through plain loops over runs of gathered values.
#include "reduce_moments.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "reduce_sink.hpp"

namespace quickio::native {

namespace {

using reduce::component_of;
using reduce::max_workers;

// Moments of layouts without a vector form are taken over runs of this many
// values (see limits.hpp).
constexpr int64_t moments_run_values = limits::moments_run_values;

// ---- running moments ------------------------------------------------------

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

// The caller's moments of one component, from everything merged into `r`.
Moments moments_of(const Running& r) noexcept {
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

// ---- one component's run of values ----------------------------------------

// The common case, every value finite, in straight loops. Returns false,
// having merged nothing, when a value is not finite.
bool finite_run(const float* v, int64_t count, Running& r) noexcept {
    float lo = r.min, hi = r.max;
    bool finite = true;
    for (int64_t i = 0; i < count; ++i) {
        const float x = v[i];
        finite &= std::fabs(x) <= std::numeric_limits<float>::max();
        lo = x < lo ? x : lo;
        hi = x > hi ? x : hi;
    }
    if (!finite) return false;
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    int64_t i = 0;
    for (; i + 4 <= count; i += 4) {
        s0 += v[i];
        s1 += v[i + 1];
        s2 += v[i + 2];
        s3 += v[i + 3];
    }
    for (; i < count; ++i) s0 += v[i];
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
    return true;
}

// Any run, value by value: NaN counted and skipped, infinities counted
// apart from the finite values' mean and spread.
void mixed_run(const float* v, int64_t count, Running& r) noexcept {
    double sum = 0;
    int64_t finite_count = 0;
    for (int64_t i = 0; i < count; ++i) {
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
    for (int64_t i = 0; i < count; ++i) {
        const double x = v[i];
        if (std::isfinite(x)) m2 += (x - mean) * (x - mean);
    }
    merge_spread(r, finite_count, mean, m2);
}

void run_moments(const float* v, int64_t count, Running& r) noexcept {
    if (!finite_run(v, count, r)) mixed_run(v, count, r);
}

// ---- vector kernels of the common layouts ---------------------------------

// Vectors of four floats, their int32 masks, and four doubles: GCC's and
// clang's vector extensions, which become SIMD code on every target.
using f4 = float __attribute__((vector_size(16)));
using i4 = int32_t __attribute__((vector_size(16)));
using d4 = double __attribute__((vector_size(32)));

inline f4 blend(i4 take_a, f4 a, f4 b) noexcept {
    return reinterpret_cast<f4>((reinterpret_cast<i4>(a) & take_a) | (reinterpret_cast<i4>(b) & ~take_a));
}

// What the G vectors of a step have gathered, lane by lane: the sums of
// deviations from the run's first entry and of their squares, min, max,
// and whether every value was finite.
template <int G>
struct Lanes {
    d4 shift[G], s1[G], s2[G];
    f4 lo[G], hi[G];
    i4 ok[G];
};

// Merges what the lanes gathered over `done` entries of L words into
// `running`, one component at a time (the trailing word's lanes are
// dropped). Returns false, having merged nothing, when a lane saw a value
// that is not finite.
template <int L, int G>
[[gnu::always_inline]] inline bool fold_lanes(const float* first, const Lanes<G>& lanes, int64_t done,
                                              Running* running) noexcept {
    constexpr int C = L - 1;
    double sum[C] = {}, squares[C] = {};
    float mn[C], mx[C];
    for (int k = 0; k < C; ++k) mn[k] = mx[k] = first[k];
    for (int g = 0; g < G; ++g) {
        for (int j = 0; j < 4; ++j) {
            const int k = (4 * g + j) % L;
            if (k == C) continue;  // the trailing word
            if (!lanes.ok[g][j]) return false;
            sum[k] += lanes.s1[g][j];
            squares[k] += lanes.s2[g][j];
            mn[k] = std::min(mn[k], lanes.lo[g][j]);
            mx[k] = std::max(mx[k], lanes.hi[g][j]);
        }
    }
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
    return true;
}

// The moments of a run of `count` whole entries of L words (n = 0 to 3),
// read as a flat run of floats, B at a time: B a multiple of both L and
// four, so that every lane of every vector always holds the same word of an
// entry. The spread comes from sums of deviations from the run's first
// entry, which lies close to the run's mean, so that the squares lose
// nothing to cancellation. Returns the entries taken (a multiple of B / L;
// the rest are left to the caller), or -1, having merged nothing, when the
// run holds a value that is not finite.
template <int L>
[[gnu::always_inline]] inline int64_t vector_run(const unsigned char* entries, int64_t count,
                                                 Running* running) noexcept {
    constexpr int B = L == 6 ? 24 : 8;
    constexpr int G = B / 4;
    constexpr int per_step = B / L;
    const int64_t steps = count / per_step;
    if (steps == 0) return 0;
    float first[L];
    std::memcpy(first, entries, sizeof first);
    Lanes<G> lanes;
    for (int g = 0; g < G; ++g) {
        float words[4];
        for (int j = 0; j < 4; ++j) words[j] = first[(4 * g + j) % L];
        std::memcpy(&lanes.lo[g], words, sizeof words);
        lanes.hi[g] = lanes.lo[g];
        lanes.shift[g] = __builtin_convertvector(lanes.lo[g], d4);
        lanes.s1[g] = lanes.s2[g] = d4{};
        lanes.ok[g] = i4{} == 0;  // all set
    }
    for (int64_t s = 0; s < steps; ++s) {
        const unsigned char* p = entries + s * B * 4;
        for (int g = 0; g < G; ++g) {
            f4 v;
            i4 bits;
            std::memcpy(&v, p + 16 * g, 16);
            std::memcpy(&bits, p + 16 * g, 16);
            const d4 d = __builtin_convertvector(v, d4) - lanes.shift[g];
            lanes.s1[g] += d;
            lanes.s2[g] += d * d;
            lanes.lo[g] = blend(v < lanes.lo[g], v, lanes.lo[g]);
            lanes.hi[g] = blend(v > lanes.hi[g], v, lanes.hi[g]);
            lanes.ok[g] &= (bits & 0x7fffffff) < 0x7f800000;
        }
    }
    const int64_t done = steps * per_step;
    return fold_lanes<L, G>(first, lanes, done, running) ? done : -1;
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

// ---- the sink -------------------------------------------------------------

class MomentsSink final : public reduce::Sink {
public:
    MomentsSink(int32_t n, std::span<const Window> where, int64_t* progress) noexcept
        : Sink(n, where, progress),
          rows_(moments_run_values / components_ > 0 ? moments_run_values / components_ : 1) {}

    Error take(int worker, const unsigned char* entries, int64_t count, int64_t) noexcept override {
        if (Error e = check_worker(worker)) return e;
        Worker& w = workers_[worker];
        if (!w.running) {
            if (Error e = allocate(w)) return e;
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

    // Run after the pass: every worker's running moments merged, per
    // component, into `out`.
    void merge(int64_t* count, Moments* out) const noexcept {
        *count = 0;
        for (int64_t k = 0; k < components_; ++k) {
            Running r;
            for (const Worker& w : workers_) {
                if (w.running) merge_running(r, w.running[k]);
            }
            if (k == 0) *count = r.valid + r.nan;
            out[k] = moments_of(r);
        }
    }

private:
    // What one worker keeps, allocated by its first take.
    struct Worker {
        std::unique_ptr<Running[]> running;
        std::unique_ptr<float[]> columns;
        std::unique_ptr<unsigned char[]> packed;  // kept entries of a run, whole
    };

    // All of a worker's arrays or none: a worker with `running` has the
    // others it needs.
    Error allocate(Worker& w) const noexcept {
        Worker fresh;
        fresh.running = reduce::new_array<Running>(components_);
        fresh.columns = reduce::new_array<float>(rows_ * components_);
        if (!fresh.running || !fresh.columns) return Error::os(ENOMEM);
        if (entry_bytes_ <= 32 && !where_.empty()) {
            fresh.packed = reduce::new_array<unsigned char>(packed_entries * entry_bytes_);
            if (!fresh.packed) return Error::os(ENOMEM);
        }
        w = std::move(fresh);
        return {};
    }

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
                m = pack_kept(run, m, w.packed.get());
                run = w.packed.get();
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

    // Copies the kept ones of `count` whole entries to `packed`, returning
    // how many there were.
    int64_t pack_kept(const unsigned char* entries, int64_t count, unsigned char* packed) const noexcept {
        int64_t kept = 0;
        for (int64_t i = 0; i < count; ++i) {
            const unsigned char* entry = entries + i * entry_bytes_;
            if (!keep(entry)) continue;
            std::memcpy(packed + kept * entry_bytes_, entry, static_cast<size_t>(entry_bytes_));
            ++kept;
        }
        return kept;
    }

    void flush(Worker& w, int64_t rows) const noexcept {
        if (rows == 0) return;
        for (int64_t k = 0; k < components_; ++k) run_moments(&w.columns[k * rows_], rows, w.running[k]);
    }

    static constexpr int64_t packed_entries = limits::moments_packed_entries;

    int64_t rows_;  // values of one component a gathered run holds
    Worker workers_[max_workers];
};

}  // namespace

Error moments(Source& src, int32_t n, std::span<const Window> where, int64_t* count, Moments* out,
              const PassOptions& options) noexcept {
    if (Error e = check_dimensions(n)) return e;
    if (Error e = reduce::check_windows(where, 2 * int64_t{n} + 1)) return e;
    MomentsSink sink(n, where, options.progress);
    if (Error e = stream_particles(src, n, sink, options.read)) return e;
    sink.merge(count, out);
    return {};
}

}  // namespace quickio::native
