#pragma once

// Python.h comes before any standard header: it sets the feature macros.
#include "pyref.hpp"

#include <cstdint>

namespace quickio::frame {

// The receiving buffer: a one-dimensional buffer object of float32 items
// that owns one zero-filled allocation and exports it writable, so that
// NumPy wraps it without a copy. The arrays made from it keep it alive.
// Only the loaders make them; Python code cannot.
bool ready_receiving_buffer_type();

// A new receiving buffer of `length` elements. A length of zero or less is
// refused with ValueError "Invalid shape in axis 0: <length>.", a failed
// allocation with MemoryError.
PyObject* new_receiving_buffer(int64_t length);

bool is_receiving_buffer(PyObject* obj) noexcept;

// How many elements one of our reader entries wrote into a receiving
// buffer, so that a loader can tell a whole read from a partial one; -1
// while no entry of ours has filled it (a replacement entry may fill it by
// other means).
int64_t receiving_buffer_written(PyObject* buffer) noexcept;
void note_receiving_buffer_written(PyObject* obj, int64_t elements) noexcept;

}  // namespace quickio::frame
