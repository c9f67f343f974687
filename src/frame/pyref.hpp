// Small RAII handles over the CPython C API: every path out of a function
// releases what it holds, without a goto ladder.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <time.h>

#include <cstdint>
#include <utility>

#include "native/result.hpp"

namespace quickio::frame {

// An owned (strong) reference. The raw constructor is private so that every
// call site says whether it takes over a new reference or adds one.
class PyRef {
public:
    PyRef() noexcept = default;
    static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
    static PyRef ref(PyObject* p) noexcept {
        Py_XINCREF(p);
        return PyRef(p);
    }

    PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference over to the caller (usually: to Python).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit PyRef(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Taking the interpreter lock back after a native read, safely while the
// interpreter ends.
//
// A thread other than the finalizing one that takes (or waits for) the
// lock once the interpreter has begun to finalize is ended by the
// interpreter, which unwinds the thread's stack: through our noexcept
// frames that ends the whole process instead. So a thread parks for good
// rather than take the lock once the interpreter is ending, as the
// interpreter's own daemon threads are left to do. "Ending" begins at the
// latest of our atexit callbacks (watch_interpreter_end()), before the
// interpreter finalizes: the callback marks it, then lets every thread
// already inside restore_thread() take the lock and get out, so that no
// thread is left waiting for the lock when finalization begins.
void restore_thread(PyThreadState* state) noexcept;

// Registers the atexit callback above; once per module, at exec. False
// with a Python exception set.
bool watch_interpreter_end();

// Releases the interpreter lock for the lifetime of the scope, so that
// other Python threads run during a native read. It also answers the
// reader's question whether to stop: at most every 50 ms it takes the lock
// back briefly to run the interpreter's signal handlers, so that Ctrl-C
// ends a long read. The handler's exception (KeyboardInterrupt) stays
// pending for the caller to report. Nothing in the scope but requested()
// may touch a Python object.
class UnlockedCall final : public native::Interrupt {
public:
    UnlockedCall() noexcept : state_(PyEval_SaveThread()) {}
    ~UnlockedCall() { restore_thread(state_); }
    UnlockedCall(const UnlockedCall&) = delete;
    UnlockedCall& operator=(const UnlockedCall&) = delete;

    bool requested() noexcept override {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
        const int64_t now = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
        if (stop_ || (checked_ && now - last_check_ < kInterval)) return stop_;
        checked_ = true;
        last_check_ = now;
        restore_thread(state_);
        stop_ = PyErr_CheckSignals() < 0;
        state_ = PyEval_SaveThread();
        return stop_;
    }

private:
    static constexpr int64_t kInterval = 50000000;  // ns
    PyThreadState* state_;
    bool checked_ = false;
    bool stop_ = false;
    int64_t last_check_ = 0;
};

// The pending exception, taken out of the thread state and put back on
// destruction, so that API calls which must not see it can run in between.
class SavedError {
public:
    SavedError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &exc_, &tb_);
#endif
    }
    ~SavedError() {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_);
#else
        PyErr_Restore(type_, exc_, tb_);
#endif
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* tb_ = nullptr;
#endif
    PyObject* exc_ = nullptr;
};

}  // namespace quickio::frame
