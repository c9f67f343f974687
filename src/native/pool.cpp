#include "pool.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>

namespace quickio::native {

namespace {

using limits::max_threads;

}  // namespace

int default_read_threads() noexcept {
    if (const char* env = std::getenv("QUICKIO_READ_THREADS")) {
        char* end = nullptr;
        const long v = std::strtol(env, &end, 10);
        if (end != env && *end == '\0' && v > 0) return v < max_threads ? static_cast<int>(v) : max_threads;
    }
    const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    if (cpus < 1) return 1;
    return cpus < 4 ? static_cast<int>(cpus) : 4;
}

TaskPool::TaskPool(TaskRunner& runner, int threads) noexcept : runner_(runner) {
    if (threads < 1) threads = 1;
    if (threads > max_threads) threads = max_threads;
    // Two slots a thread: one being read while the walker fills the next.
    nslots_ = threads == 1 ? 1 : 2 * threads + 2;
    slots_.reset(new (std::nothrow) Task[static_cast<size_t>(nslots_)]);
    state_.reset(new (std::nothrow) SlotState[static_cast<size_t>(nslots_)]);
    order_.reset(new (std::nothrow) uint64_t[static_cast<size_t>(nslots_)]);
    if (!slots_ || !state_ || !order_) {
        failed_ = true;
        error_ = Error::os(ENOMEM);
        return;
    }
    for (int i = 0; i < nslots_; ++i) state_[i] = SlotState::free;
    for (int i = 1; i < threads; ++i) {
        if (::pthread_create(&threads_[workers_], nullptr, &TaskPool::worker_main, this) != 0) break;
        ++workers_;
    }
}

TaskPool::~TaskPool() {
    if (workers_ > 0) {
        cancel();
        (void)finish();
    }
}

void* TaskPool::worker_main(void* self) noexcept {
    auto* pool = static_cast<TaskPool*>(self);
    ::pthread_mutex_lock(&pool->lock_);
    const int worker = ++pool->started_;  // 1, 2, ...: the walking thread is 0
    pool->work(worker);
    ::pthread_mutex_unlock(&pool->lock_);
    return nullptr;
}

void TaskPool::work(int worker) noexcept {
    // Called with lock_ held; returns with it held.
    for (;;) {
        if (queued_ > 0 && !failed_) {
            run_one_locked(worker);
        } else if (stopping_) {
            return;
        } else {
            ::pthread_cond_wait(&changed_, &lock_);
        }
    }
}

bool TaskPool::run_one_locked(int worker) noexcept {
    // The oldest queued task first, so that the file is read front to back.
    int pick = -1;
    for (int i = 0; i < nslots_; ++i) {
        if (state_[i] == SlotState::queued && (pick < 0 || order_[i] < order_[pick])) pick = i;
    }
    if (pick < 0) return false;
    state_[pick] = SlotState::running;
    --queued_;
    ++running_;
    ::pthread_mutex_unlock(&lock_);
    const Error e = runner_.run(slots_[pick], worker);
    ::pthread_mutex_lock(&lock_);
    --running_;
    state_[pick] = SlotState::free;
    if (e) record(e);
    ::pthread_cond_broadcast(&changed_);
    return true;
}

void TaskPool::record(const Error& e) noexcept {
    // Called with lock_ held, only for a failed task. The first error wins
    // and stays: later ones, and tasks that succeed, never replace it.
    // Queued tasks are dropped.
    if (!error_) error_ = e;
    failed_ = true;
    for (int i = 0; i < nslots_; ++i) {
        if (state_[i] == SlotState::queued) state_[i] = SlotState::free;
    }
    queued_ = 0;
}

Error TaskPool::acquire(Task** out) noexcept {
    ::pthread_mutex_lock(&lock_);
    Task* task = nullptr;
    while (!failed_) {
        int slot = -1;
        for (int i = 0; i < nslots_; ++i) {
            if (state_[i] == SlotState::free) {
                slot = i;
                break;
            }
        }
        if (slot >= 0) {
            state_[slot] = SlotState::running;  // the walker's until submitted
            task = &slots_[slot];
            break;
        }
        if (queued_ > 0) {
            run_one_locked(0);
        } else {
            ::pthread_cond_wait(&changed_, &lock_);
        }
    }
    // Failed: the first error a task met; after cancel() alone (the walker
    // failed and should not be asking) an error all the same.
    const Error failure = task != nullptr ? Error{} : error_ ? error_ : Error::value("the read was cancelled");
    ::pthread_mutex_unlock(&lock_);
    *out = task;
    if (task == nullptr) return failure;
    task->offset = task->bytes = task->first = task->count = 0;
    task->npieces = 0;
    return {};
}

void TaskPool::submit(Task* task) noexcept {
    const auto slot = static_cast<int>(task - slots_.get());
    ::pthread_mutex_lock(&lock_);
    if (failed_) {
        state_[slot] = SlotState::free;
    } else {
        state_[slot] = SlotState::queued;
        order_[slot] = submitted_++;
        ++queued_;
        if (workers_ == 0) {
            run_one_locked(0);
        } else {
            ::pthread_cond_broadcast(&changed_);
        }
    }
    ::pthread_mutex_unlock(&lock_);
}

void TaskPool::cancel() noexcept {
    ::pthread_mutex_lock(&lock_);
    failed_ = true;
    for (int i = 0; i < nslots_; ++i) {
        if (state_[i] == SlotState::queued) state_[i] = SlotState::free;
    }
    queued_ = 0;
    ::pthread_cond_broadcast(&changed_);
    ::pthread_mutex_unlock(&lock_);
}

Error TaskPool::finish() noexcept {
    ::pthread_mutex_lock(&lock_);
    while (queued_ > 0 && !failed_) run_one_locked(0);
    while (running_ > 0) ::pthread_cond_wait(&changed_, &lock_);
    stopping_ = true;
    ::pthread_cond_broadcast(&changed_);
    ::pthread_mutex_unlock(&lock_);
    for (int i = 0; i < workers_; ++i) ::pthread_join(threads_[i], nullptr);
    workers_ = 0;
    return error_;
}

Error TaskPool::settle(const Error& walker) noexcept {
    if (walker) cancel();
    const Error pool = finish();
    const bool format = walker.status == Status::eof_error || walker.status == Status::value_error;
    if (!walker || (pool && format)) return pool;
    return walker;
}

}  // namespace quickio::native
