// What the private modules _scan and _particles share. They are ordinary
// extension modules, unlike meshdump and beamdump, whose frame (module.hpp)
// reproduces a reference behaviour to the letter: a module here has a
// docstring, its functions have docstrings and bind their arguments as
// CPython's own functions do, and an error leaves a function as it was
// raised, with no traceback entry added.
#pragma once

// Python.h comes before any standard header: it sets the feature macros.
#include "pyref.hpp"

#include <cstdint>

#include "module.hpp"

namespace quickio::frame::plain {

// The method definition of a function of positional and keyword arguments,
// with its docstring, run under the allocation guard (guarded() in
// module.hpp), so that a C++ allocation failing inside it raises
// MemoryError.
template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyMethodDef function(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&guarded<F>)),
            METH_VARARGS | METH_KEYWORDS, doc};
}

// What every exec step takes first: NumPy imported (results are NumPy
// arrays, made through its Python interface) and the interpreter's end
// watched, for the passes that release the interpreter lock (see
// restore_thread()). -1 with an exception set.
int prepare(PyObject* module);

// A new, uninitialised array np.empty(shape, dtype, order=order), and the
// address of its data in `*data` (valid while the array lives): native code
// fills result tables of any dtype ("int64", "float64", ...) without
// NumPy's C interface.
PyRef new_array(const char* dtype, const int64_t* shape, int ndim, void** data, char order = 'C');

// A Python int of a 64-bit value, or None for a value that is absent.
PyObject* int_or_none(bool present, int64_t value);

}  // namespace quickio::frame::plain
