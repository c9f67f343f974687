#pragma once

#include <cstdint>

#include "pyref.hpp"

namespace quickio::frame {

// The receiving buffer: a one-dimensional buffer object of float32 items
// that owns one zero-filled allocation and exports it writable, so that
// NumPy wraps it without a copy. The arrays made from it keep it alive.
bool ready_receiving_buffer_type();

// A new receiving buffer of `length` elements. A length of zero or less is
// refused with ValueError "Invalid shape in axis 0: <length>.", a failed
// allocation with MemoryError.
PyObject* new_receiving_buffer(int64_t length);

// The storage of a receiving buffer made by new_receiving_buffer.
float* receiving_buffer_data(PyObject* buffer) noexcept;

}  // namespace quickio::frame
