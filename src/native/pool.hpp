// A small pool of reader threads, so that more than one read of a large
// dump is in flight: storage answers several requests at once faster than
// one after the other, and copies out of the page cache run on every core.
//
// The thread that walks a dump's records fills tasks (a run of the file and
// where its bytes go) and submits them; workers run them in any order. The
// walking thread runs tasks itself while it waits for a free slot, so a pool
// of one thread is the plain sequential reader.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <memory>

#include "limits.hpp"
#include "result.hpp"
#include "source.hpp"

namespace quickio::native {

// One run of the file: `bytes` bytes from `offset` on, scattered over
// `pieces`. `first` and `count` are for the runner to use as it likes.
struct Task {
    // As many as one preadv takes (Linux's IOV_MAX).
    static constexpr int max_pieces = limits::max_pieces;
    int64_t offset = 0;
    int64_t bytes = 0;
    int64_t first = 0;
    int64_t count = 0;
    int npieces = 0;
    Source::Piece pieces[max_pieces];
    // Where the bytes between two runs of a task go (record markers and
    // the extents of the block after): read and dropped.
    unsigned char gap[64];

    bool full() const noexcept { return npieces == max_pieces; }
    void add(void* dst, int64_t len) noexcept {
        pieces[npieces++] = {dst, len};
        bytes += len;
    }
};

// Does the work of a task; `worker` (0 for the walking thread) lets a
// runner keep one scratch buffer per thread. Must be safe to call from
// several threads at once for different tasks.
class TaskRunner {
public:
    virtual Error run(Task& task, int worker) noexcept = 0;

protected:
    ~TaskRunner() = default;
};

// The number of threads reads use: QUICKIO_READ_THREADS when it is set to a
// positive number, otherwise one per processor, at most four. It reads the
// environment, so the caller asks where nothing may change it meanwhile
// (the module frame: with the interpreter lock held) and passes the count
// down in ReadOptions.
int default_read_threads() noexcept;

class TaskPool {
public:
    // Starts threads - 1 workers (fewer if the system refuses threads).
    TaskPool(TaskRunner& runner, int threads) noexcept;
    ~TaskPool();
    TaskPool(const TaskPool&) = delete;
    TaskPool& operator=(const TaskPool&) = delete;

    // Every thread that may run tasks, the walking thread included: the
    // runner's workers are numbered 0 to threads() - 1.
    int threads() const noexcept { return workers_ + 1; }

    // A cleared task to fill in `*task`. Once the pool has failed it gives
    // no task but the pool's first error (a task's read error, or ENOMEM
    // when the slots could not be allocated), which is the cause the walker
    // reports: never an empty error. Waits, or runs submitted tasks, while
    // every slot is busy.
    Error acquire(Task** task) noexcept;
    // Queues the task acquire() gave; with no workers it runs at once.
    void submit(Task* task) noexcept;
    // Makes every later acquire() fail and drops the tasks not yet started:
    // the walking thread has met an error of its own.
    void cancel() noexcept;
    // Runs or waits for every submitted task, stops the workers and returns
    // the first error a task met. Nothing runs once this returns.
    Error finish() noexcept;
    // The end of a walk that fed the pool: cancels the tasks not yet
    // started when the walker failed, finishes, and returns the cause of
    // the failure. A task's error wins over the walker's format errors
    // (eof_error, value_error): a walk that went on after a read failed
    // judges a file it did not see whole, so its verdict is a consequence,
    // not the cause. The walker's other errors (an interrupt, its own reads,
    // a changed file) are reported as they are.
    Error settle(const Error& walker) noexcept;

private:
    enum class SlotState : unsigned char { free, queued, running };
    static void* worker_main(void* self) noexcept;
    void work(int worker) noexcept;
    // With lock_ held: runs one queued task, dropping the lock meanwhile.
    bool run_one_locked(int worker) noexcept;
    void record(const Error& e) noexcept;

    TaskRunner& runner_;
    int workers_ = 0;
    int nslots_ = 0;
    std::unique_ptr<Task[]> slots_;
    std::unique_ptr<SlotState[]> state_;
    std::unique_ptr<uint64_t[]> order_;  // submission number of each queued slot
    uint64_t submitted_ = 0;
    int started_ = 0;  // workers that have taken their number
    int queued_ = 0;
    int running_ = 0;
    bool stopping_ = false;
    // failed_: no further task runs (a task failed, or cancel()).
    // error_: the first error a task met, set once and never cleared or
    // overwritten, whatever the tasks that end after it return.
    bool failed_ = false;
    Error error_;
    pthread_mutex_t lock_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed_ = PTHREAD_COND_INITIALIZER;
    pthread_t threads_[limits::max_threads - 1];  // the workers; the walking thread is the last
};

}  // namespace quickio::native
