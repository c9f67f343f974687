// The selection: a counting pass that counts the kept particles of every
// run of entries the reader hands over, notes each run, and stages the kept
// particles while they fit a bounded memory; then the result filled from
// the staged particles, or by a second pass that puts each run where the
// notes place it, or, when the notes cannot place it, by a pass in file
// order on one thread.
#include "reduce_selection.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "reduce_sink.hpp"

namespace quickio::native {

namespace {

using ll = long long;
using reduce::max_workers;

// What the counting pass keeps for the filling pass (see limits.hpp).
constexpr int64_t selection_staging_bytes = limits::selection_staging_bytes;
constexpr int64_t selection_max_runs = limits::selection_max_runs;

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

// What the passes of a selection share.
//
// Threads. A pass hands runs of entries to take() on the walking thread
// (worker 0) and on the read pool's threads (1, 2, ...) at once; each worker
// number belongs to one thread for the whole pass. stream_particles returns
// only after joining every thread that ran a take (TaskPool::finish), so all
// the takes wrote, atomically or not, is visible to the code that runs after
// it. During a pass no take reads what another wrote, except the two flags,
// which only ever go from true to false: every atomic here is therefore
// relaxed, as it carries no other data between threads.
//
// A failing take. Its error stops the pass: the pool runs no further task,
// the takes already running finish, and stream_particles returns the first
// error. The state then describes part of the file only (kept may count
// particles of a run that was never noted), so count() returns the error and
// `counted` stays false: fill() refuses such a selection.
struct Selection::State {
    // Set by the constructor; read-only afterwards.
    int32_t n;
    int64_t components;
    int64_t entry_bytes;
    std::span<const Window> where;
    Error bad_where;  // `n` or `where` refused: every pass returns it

    // ---- Written by the counting pass's takes ----
    // runs[w]: the runs worker w took, in the order it took them. Only the
    // thread of worker w touches runs[w] during the pass: no lock.
    std::vector<Run> runs[max_workers];
    // The particles kept over all runs. Additions to one atomic are never
    // lost, whatever their order; the total is read after the pass.
    std::atomic<int64_t> kept{0};
    // Tickets: a take notes its run only with a ticket below
    // selection_max_runs, which bounds the notes of all workers together
    // without a lock.
    std::atomic<int64_t> nruns{0};
    // Bytes of staged particles claimed so far. A take claims its bytes
    // before it allocates them and stages only when the sum with its claim
    // stays within selection_staging_bytes; a claim is never given back.
    // Every claim sees all the claims before it (one atomic has one order
    // of changes), so the staged memory never exceeds the bound, whatever
    // the interleaving.
    std::atomic<int64_t> staged_bytes{0};
    // noting: every take so far has noted its run. The take whose ticket
    // reaches the limit sets it false, and a take that reads false notes
    // nothing. After a successful pass it is true exactly when runs[] hold
    // every run the reader handed over: their kept counts add up to `kept`.
    std::atomic<bool> noting{true};
    // staging: every noted run with kept particles holds them staged. Set
    // false when a claim passes the bound, an allocation fails, or noting
    // stops. After a successful pass, true means noting is true too, and
    // fill() copies the staged particles without reading the file again.
    // A take that still reads true after another set it false stages a run
    // that will be dropped, within the bound all the same.
    std::atomic<bool> staging{true};

    // ---- Written by count() on the calling thread, outside any pass ----
    // count() has run: the counts above no longer start from zero.
    bool count_started = false;
    // The counting pass succeeded, and the noted runs are in order.
    bool counted = false;
    // ordered: the noted runs in file order. starts[i]: the particle of the
    // result where run i's kept particles go (the kept counts of the runs
    // before it, summed), so that the runs' places never overlap. The
    // placed fill's takes read both without a lock: they are written before
    // that pass starts its threads (fill() only drops the staged particles,
    // also before).
    std::vector<Run> ordered;
    std::vector<int64_t> starts;
};

namespace {

class SelectionSink : public reduce::Sink {
protected:
    SelectionSink(Selection::State& state, int64_t* progress) noexcept
        : Sink(state.n, state.where, progress), state_(state) {}
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

    Selection::State& state_;
};

// The counting pass: counts, notes and, while it may, stages each run.
class CountSink final : public SelectionSink {
public:
    CountSink(Selection::State& state, int64_t* progress) noexcept : SelectionSink(state, progress) {}

    Error take(int worker, const unsigned char* entries, int64_t count, int64_t first) noexcept override {
        if (Error e = check_worker(worker)) return e;
        const int64_t kept = count_kept(entries, count);
        state_.kept.fetch_add(kept, std::memory_order_relaxed);
        handed(count);
        if (!state_.noting.load(std::memory_order_relaxed)) return {};
        if (state_.nruns.fetch_add(1, std::memory_order_relaxed) >= selection_max_runs) {
            state_.noting.store(false, std::memory_order_relaxed);
            state_.staging.store(false, std::memory_order_relaxed);
            return {};
        }
        Run run;
        run.first = first;
        run.count = count;
        run.kept = kept;
        if (kept > 0 && state_.staging.load(std::memory_order_relaxed)) stage(entries, run);
        try {
            state_.runs[worker].push_back(std::move(run));
        } catch (const std::bad_alloc&) {
            return Error::os(ENOMEM);
        }
        return {};
    }

private:
    // Stages the kept particles of `run`, whose entries are at `entries`,
    // when the claim of their bytes fits the bound; otherwise staging ends.
    void stage(const unsigned char* entries, Run& run) const noexcept {
        const int64_t bytes = 4 * run.kept * components_;
        if (state_.staged_bytes.fetch_add(bytes, std::memory_order_relaxed) + bytes > selection_staging_bytes ||
            !(run.staged = reduce::new_array<float>(run.kept * components_))) {
            state_.staging.store(false, std::memory_order_relaxed);
            return;
        }
        copy_kept(entries, run.count, run.staged.get(), run.kept);
    }
};

// The filling pass: each run goes where the counting pass's notes put it.
class PlacedFillSink final : public SelectionSink {
public:
    PlacedFillSink(Selection::State& state, FloatSpan out, int64_t* progress) noexcept
        : SelectionSink(state, progress), out_(out) {}

    Error take(int worker, const unsigned char* entries, int64_t count, int64_t first) noexcept override {
        if (Error e = check_worker(worker)) return e;
        const auto& runs = state_.ordered;
        auto it =
            std::lower_bound(runs.begin(), runs.end(), first, [](const Run& r, int64_t f) { return r.first < f; });
        if (it == runs.end() || it->first != first || it->count != count) {
            // The reader cut the dump into other runs than the first time:
            // the fill is redone in file order.
            mismatch_.store(true, std::memory_order_relaxed);
            return Error::interrupted();
        }
        // The run writes only its own place, at most its noted count of
        // particles: a run that now keeps more is stopped at the end of it.
        const auto r = static_cast<size_t>(it - runs.begin());
        const int64_t start = state_.starts[r];
        const int64_t room = out_.length / components_ - start;
        const int64_t k = copy_kept(entries, count, out_.data + start * components_, it->kept < room ? it->kept : room);
        if (k != it->kept) return changed("it holds other values than when its particles were counted");
        handed(count);
        return {};
    }
    // Read after the pass; set by any take, so relaxed like the counts.
    bool mismatch() const noexcept { return mismatch_.load(std::memory_order_relaxed); }

private:
    FloatSpan out_;
    std::atomic<bool> mismatch_{false};
};

// The filling pass in file order, on one thread.
class OrderedFillSink final : public SelectionSink {
public:
    OrderedFillSink(Selection::State& state, FloatSpan out, int64_t* progress) noexcept
        : SelectionSink(state, progress), out_(out) {}

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

// After a successful counting pass that noted every run: the runs of all
// workers in file order, and where each one's particles start.
Error order_runs(Selection::State& st) noexcept {
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

// The result from the staged particles of every run.
void fill_staged(const Selection::State& st, FloatSpan out) noexcept {
    for (size_t i = 0; i < st.ordered.size(); ++i) {
        const Run& r = st.ordered[i];
        if (r.kept > 0) {
            std::memcpy(out.data + st.starts[i] * st.components, r.staged.get(),
                        static_cast<size_t>(4 * r.kept * st.components));
        }
    }
}

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
        state_->bad_where = reduce::check_windows(where, state_->components);
    }
}

Selection::~Selection() = default;

int64_t Selection::kept() const noexcept { return state_ ? state_->kept.load() : 0; }

Error Selection::count(Source& src, const PassOptions& options) noexcept {
    if (!state_) return Error::os(ENOMEM);
    State& st = *state_;
    if (st.bad_where) return st.bad_where;
    if (st.count_started) return Error::value("selection: the counting pass runs once");
    st.count_started = true;
    CountSink sink(st, options.progress);
    if (Error e = stream_particles(src, st.n, sink, options.read)) return e;
    if (!st.noting.load()) {
        // Too many runs to place: the filling pass goes in file order.
        for (auto& runs : st.runs) runs = std::vector<Run>();
    } else if (Error e = order_runs(st)) {
        return e;
    }
    st.counted = true;
    return {};
}

Error Selection::fill(Source& src, FloatSpan out, const PassOptions& options) noexcept {
    if (!state_) return Error::os(ENOMEM);
    State& st = *state_;
    if (!st.counted) return Error::value("selection: no successful counting pass to fill from");
    const int64_t kept = st.kept.load();
    if (out.length != kept * st.components) {
        return Error::value("selection: the result holds %lld values, not the %lld selected",
                            static_cast<ll>(out.length), static_cast<ll>(kept * st.components));
    }
    if (st.noting.load() && st.staging.load()) {
        fill_staged(st, out);
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
