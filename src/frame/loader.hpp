// Steps shared by the two loaders, each a small piece of the interpreter-side
// work: building the file name, reading a sized item from a mapping, calling
// into NumPy through the module namespace.
#pragma once

#include <cstdint>
#include <string>

#include "module.hpp"
#include "pyref.hpp"

namespace quickio::frame {

// `file_path + ".bin"` by the interpreter's own `+`.
PyObject* dump_path(PyObject* file_path);

// `path.encode("UTF-8")`.
PyObject* encode_utf8(PyObject* path);

// params[key] converted to a signed 32-bit integer. An exact dict is looked
// up directly (KeyError with the key when it is missing); any other mapping
// through its own item access.
bool param_int32(PyObject* params, const char* key, int32_t* out);

// Calls `callable(*args)` where args is a tuple (stolen); new reference.
PyObject* call(PyObject* callable, PyRef args);

// np.reshape(buffer, shape, order="F") with `np` looked up in the module.
PyObject* reshape_fortran(Module& mod, PyObject* buffer, PyObject* shape);

// np.asarray(obj) with `np` looked up in the module.
PyObject* as_array(Module& mod, PyObject* obj);

}  // namespace quickio::frame
