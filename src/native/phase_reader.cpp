#include "phase_reader.hpp"

#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "limits.hpp"
#include "pool.hpp"

namespace quickio::native {

namespace {

static_assert(std::endian::native == std::endian::little, "dumps are little-endian and are read without byte swapping");

using ll = long long;

// The sizes that split the work; limits.hpp says why each is what it is.
constexpr int64_t window_capacity = limits::phase_window;
constexpr int64_t min_direct = limits::phase_min_direct;
constexpr int64_t task_bytes = limits::phase_task_bytes;
constexpr int64_t min_parallel = limits::phase_min_parallel;
constexpr int64_t check_every = limits::check_every;
// Threads a pool may run; each may hold a read buffer.
constexpr int max_workers = limits::max_threads;

// Reads the count word at the walk's position.
Error read_count(WindowReader& rd, int64_t at, int32_t* count) noexcept {
    if (rd.available(at) >= 4) {
        std::memcpy(count, rd.at(at), 4);
        return {};
    }
    const unsigned char* p;
    if (Error e = rd.view(at, 4, &p)) return e;
    std::memcpy(count, p, 4);
    return {};
}

// Asks the interrupt after about check_every bytes of work.
class StopCheck {
public:
    explicit StopCheck(const ReadOptions& options) noexcept : options_(options) {}
    bool due(int64_t bytes) noexcept {
        work_ += bytes + 64;
        if (work_ < check_every) return false;
        work_ = 0;
        return options_.stop_requested();
    }

private:
    const ReadOptions& options_;
    int64_t work_ = 0;
};

Error count_impl(Source& src, int32_t n, int64_t* particles, const ReadOptions& options) noexcept {
    WindowReader rd(src);
    if (Error e = rd.init(window_capacity)) return e;
    PhaseWalk walk(n, src.size());
    StopCheck stop(options);
    while (!walk.done()) {
        int32_t stored;
        if (Error e = read_count(rd, walk.position(), &stored)) return e;
        PhaseBlock b;
        if (Error e = walk.accept(stored, &b)) return e;
        // Entries the window holds passed through it; others were skipped.
        if (stop.due(b.bytes < rd.capacity() ? b.bytes : 0)) return Error::interrupted();
    }
    *particles = walk.particles();
    return {};
}

// Copies the first C words of each of k entries of C+1 words.
template <int64_t C>
void copy_entries_fixed(float* dst, const unsigned char* src, int64_t k) noexcept {
    for (int64_t i = 0; i < k; ++i) std::memcpy(dst + i * C, src + i * (C + 1) * 4, C * 4);
}

void copy_entries(float* dst, const unsigned char* src, int64_t k, int64_t comp) noexcept {
    switch (comp) {
    case 1: return copy_entries_fixed<1>(dst, src, k);
    case 3: return copy_entries_fixed<3>(dst, src, k);
    case 5: return copy_entries_fixed<5>(dst, src, k);
    case 7: return copy_entries_fixed<7>(dst, src, k);
    default: break;
    }
    const auto comp_bytes = static_cast<size_t>(comp * 4);
    const int64_t stride = comp * 4 + 4;
    for (int64_t i = 0; i < k; ++i) std::memcpy(dst + i * comp, src + i * stride, comp_bytes);
}

// Reads a task's run of entries into the thread's read buffer and hands
// them to the sink.
class StreamRunner final : public TaskRunner {
public:
    StreamRunner(Source& src, EntrySink& sink, int64_t buffer_bytes) noexcept
        : src_(src), sink_(sink), buffer_bytes_(buffer_bytes) {}

    Error run(Task& task, int worker) noexcept override {
        auto& buf = buffers_[worker];
        if (!buf) {
            buf.reset(new (std::nothrow) unsigned char[static_cast<size_t>(buffer_bytes_)]);
            if (!buf) return Error::os(ENOMEM);
        }
        if (Error e = src_.read_at(task.offset, buf.get(), task.bytes)) return e;
        return sink_.take(worker, buf.get(), task.count, task.first);
    }

private:
    Source& src_;
    EntrySink& sink_;
    int64_t buffer_bytes_;
    std::unique_ptr<unsigned char[]> buffers_[max_workers];
};

// Hands a block that the window holds (or that is small) to the sink,
// refilling the window as it goes; on the walking thread.
Error take_through_window(WindowReader& rd, EntrySink& sink, const PhaseBlock& b, int64_t entry) noexcept {
    int64_t at = b.entries_at, first = b.first, left = b.count;
    const int64_t end = b.entries_at + b.bytes;
    while (left > 0) {
        const int64_t rest = end - at;
        int64_t avail = rd.available(at);
        if (avail > rest) avail = rest;
        int64_t k = avail / entry;
        if (avail == rest) k = left;  // the last entry may lack its trailing word
        if (k == 0) {
            const unsigned char* p;
            if (Error e = rd.view(at, entry < rest ? entry : rest, &p)) return e;
            continue;
        }
        if (Error e = sink.take(0, rd.at(at), k, first)) return e;
        at += k * entry < rest ? k * entry : rest;
        first += k;
        left -= k;
    }
    return {};
}

// Entries too large for a read buffer, read component by component straight
// into the place the sink keeps them.
Error read_in_place(Source& src, EntrySink& sink, const PhaseBlock& b, int64_t entry, int64_t comp,
                    StopCheck& stop) noexcept {
    for (int64_t i = 0; i < b.count; ++i) {
        if (Error e = src.read_at(b.entries_at + i * entry, sink.place(b.first + i), 4 * comp)) return e;
        if (stop.due(entry)) return Error::interrupted();
    }
    return {};
}

Error walk_stream(WindowReader& rd, PhaseWalk& walk, EntrySink& sink, TaskPool& pool, StopCheck& stop) noexcept {
    const int64_t entry = walk.entry_bytes();
    const int64_t per_task = task_bytes / entry > 0 ? task_bytes / entry : 1;
    while (!walk.done()) {
        int32_t stored;
        if (Error e = read_count(rd, walk.position(), &stored)) return e;
        PhaseBlock b;
        if (Error e = walk.accept(stored, &b)) return e;
        if (stop.due(b.bytes)) return Error::interrupted();
        if (b.count == 0) continue;
        if (Error e = sink.block(b)) return e;
        if (rd.available(b.entries_at) >= b.bytes || b.bytes < min_direct) {
            if (Error e = take_through_window(rd, sink, b, entry)) return e;
        } else if (entry > task_bytes && sink.place(b.first) != nullptr) {
            if (Error e = read_in_place(rd.source(), sink, b, entry, walk.components(), stop)) return e;
        } else {
            for (int64_t i = 0; i < b.count; i += per_task) {
                // A block may hold the whole dump: ask between its tasks too.
                if (i > 0 && stop.due(task_bytes)) return Error::interrupted();
                Task* t;
                // Once a task has failed, its error is the cause to report.
                if (Error e = pool.acquire(&t)) return e;
                const int64_t k = b.count - i < per_task ? b.count - i : per_task;
                t->offset = b.entries_at + i * entry;
                t->bytes = k * entry < b.bytes - i * entry ? k * entry : b.bytes - i * entry;
                t->first = b.first + i;
                t->count = k;
                pool.submit(t);
            }
        }
    }
    return {};
}

// The data pass's sink: components into the caller's storage.
class CompactSink final : public EntrySink {
public:
    CompactSink(FloatSpan storage, int64_t components) noexcept : storage_(storage), comp_(components) {}

    Error block(const PhaseBlock& b) noexcept override {
        // Fits: the block's entries lie inside the file, so first + count
        // times 2n+1 is below the file's length in words.
        const int64_t need = (b.first + b.count) * comp_;
        if (need > storage_.length) {
            return Error::value("buffer holds %lld elements but the dump needs at least %lld",
                                static_cast<ll>(storage_.length), static_cast<ll>(need));
        }
        return {};
    }
    Error take(int, const unsigned char* entries, int64_t count, int64_t first) noexcept override {
        copy_entries(storage_.data + first * comp_, entries, count, comp_);
        mark((first + count) * comp_);
        return {};
    }
    float* place(int64_t first) noexcept override {
        mark((first + 1) * comp_);
        return storage_.data + first * comp_;
    }
    int64_t written() const noexcept { return written_.load(std::memory_order_relaxed); }

private:
    void mark(int64_t end) noexcept {
        int64_t seen = written_.load(std::memory_order_relaxed);
        while (seen < end && !written_.compare_exchange_weak(seen, end, std::memory_order_relaxed)) {
        }
    }

    FloatSpan storage_;
    int64_t comp_;
    std::atomic<int64_t> written_{0};
};

}  // namespace

Error count_particles(Source& src, int32_t n, int64_t* particles, const ReadOptions& options) noexcept {
    if (Error e = check_dimensions(n)) return e;
    return count_impl(src, n, particles, options);
}

Error count_particles(const char* path, int32_t n, int64_t* particles, const ReadOptions& options) noexcept {
    if (Error e = check_dimensions(n)) return e;
    FileSource src;
    if (Error e = src.open(path, options.interrupt, options.expect)) return e;
    if (Error e = count_impl(src, n, particles, options)) return e;
    return src.verify_unchanged();
}

Error stream_particles(Source& src, int32_t n, EntrySink& sink, const ReadOptions& options) noexcept {
    if (Error e = check_dimensions(n)) return e;
    WindowReader rd(src);
    if (Error e = rd.init(window_capacity)) return e;
    PhaseWalk walk(n, src.size());
    StopCheck stop(options);
    const int64_t entry = walk.entry_bytes();
    StreamRunner runner(src, sink, entry > task_bytes ? entry : task_bytes);
    TaskPool pool(runner, src.size() >= min_parallel ? options.threads : 1);
    const Error error = walk_stream(rd, walk, sink, pool, stop);
    // Tasks still hand entries to the sink until the pool has finished; a
    // task's read error is the cause of any format error found after it.
    return pool.settle(error);
}

Error read_particles(Source& src, int32_t n, FloatSpan storage, int64_t* written, const ReadOptions& options) noexcept {
    CompactSink sink(storage, 2 * int64_t{n} + 1);
    const Error e = stream_particles(src, n, sink, options);
    if (written != nullptr) *written = sink.written();
    return e;
}

Error read_particles(const char* path, int32_t n, FloatSpan storage, int64_t* written,
                     const ReadOptions& options) noexcept {
    if (written != nullptr) *written = 0;
    if (Error e = check_dimensions(n)) return e;
    FileSource src;
    if (Error e = src.open(path, options.interrupt, options.expect)) return e;
    if (Error e = read_particles(src, n, storage, written, options)) return e;
    return src.verify_unchanged();
}

}  // namespace quickio::native
