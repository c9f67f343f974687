#pragma once

#include "pyref.hpp"

namespace quickio::frame {

// Binds a call's positional tuple and keyword dict (which may be null) to
// `n` required parameters, all without defaults. On success out[i] holds a
// borrowed reference to parameter i; on failure a TypeError is set.
//
// A parameter missing from the keywords is reported as a count of the
// arguments bound so far, the way the positional count is reported.
bool bind_arguments(const char* function, const char* const* params, Py_ssize_t n, PyObject* args, PyObject* kwargs,
                    PyObject** out);

}  // namespace quickio::frame
