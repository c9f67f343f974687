// The three argument conversions shared by both modules: float buffers,
// byte paths and 32-bit integers. Each either yields its value or leaves a
// Python exception set and returns false.
#pragma once

// Python.h comes before any standard header: it sets the feature macros.
#include "pyref.hpp"

#include <cstdint>
#include <string>

#include "native/result.hpp"

namespace quickio::frame {

// A one-dimensional, contiguous, writable window of float32 values onto a
// caller's buffer, held until the view goes out of scope. None gives the
// empty view, which holds nothing.
class FloatView {
public:
    FloatView() noexcept = default;
    ~FloatView() { reset(); }
    FloatView(const FloatView&) = delete;
    FloatView& operator=(const FloatView&) = delete;

    // Requests a writable C-contiguous buffer with its format from `obj` and
    // checks that it is a run of single float32 items.
    bool convert(PyObject* obj);

    // Address of element 0, or nullptr with IndexError set for an empty view.
    float* element0();

    native::FloatSpan span() const noexcept { return {data_, static_cast<int64_t>(length_)}; }
    Py_ssize_t length() const noexcept { return length_; }

private:
    void reset() noexcept;

    Py_buffer buffer_{};
    bool held_ = false;
    float* data_ = nullptr;
    Py_ssize_t length_ = 0;
};

// The bytes of a bytes or bytearray argument. The path is copied (paths are
// short) so that it stays valid while the interpreter lock is released, and
// refused when it holds a NUL byte: the operating system would see a shorter
// path than the caller gave.
bool to_byte_path(PyObject* obj, std::string& out);

// An int, or anything with __int__, as a signed 32-bit value.
bool to_int32(PyObject* obj, int32_t* out);

}  // namespace quickio::frame
