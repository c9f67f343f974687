// Only the instance record sizes come from NumPy's headers: the modules
// call NumPy through its Python functions and never import its C API.
#include "numpy_check.hpp"

#include "pyref.hpp"

#include <cstddef>

#include <numpy/ndarraytypes.h>
#include <numpy/ufuncobject.h>

namespace quickio::frame {
namespace {

enum class Larger { ignore, warn };

// The headers leave the broadcast record's trailing iterator array open (its
// length depends on the targeted NumPy version); its full size is the fixed
// part plus NPY_MAXARGS iterator pointers.
constexpr Py_ssize_t kBroadcastSize =
    offsetof(PyArrayMultiIterObject, iters) + NPY_MAXARGS * sizeof(PyArrayIterObject*);

bool check_type(PyObject* owner, const char* module_name, const char* type_name, Py_ssize_t expected, Larger larger) {
    PyRef type = PyRef::steal(PyObject_GetAttrString(owner, type_name));
    if (!type) {
        return false;
    }
    if (!PyType_Check(type.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, type_name);
        return false;
    }
    const Py_ssize_t actual = reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize;
    if (actual < expected) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C "
                     "header, got %zd from PyObject",
                     module_name, type_name, expected, actual);
        return false;
    }
    if (actual > expected && larger == Larger::warn) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 0,
                             "%s.%s size changed, may indicate binary incompatibility. Expected %zd from C "
                             "header, got %zd from PyObject",
                             module_name, type_name, expected, actual) < 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool check_numpy_types() {
    PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
    if (!builtins || !check_type(builtins.get(), "builtins", "type", sizeof(PyHeapTypeObject), Larger::warn)) {
        return false;
    }
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) {
        return false;
    }
    struct Expected {
        const char* name;
        Py_ssize_t size;
        Larger larger;
    };
    const Expected types[] = {
        {"dtype", sizeof(PyArray_Descr), Larger::ignore},
        {"flatiter", sizeof(PyArrayIterObject), Larger::warn},
        {"broadcast", kBroadcastSize, Larger::warn},
        {"ndarray", sizeof(PyArrayObject_fields), Larger::ignore},
        // NumPy appends fields to the ufunc record in later releases (2.1
        // did); built for 2.0, a larger one is expected.
        {"ufunc", sizeof(PyUFuncObject), Larger::ignore},
    };
    for (const Expected& t : types) {
        if (!check_type(numpy.get(), "numpy", t.name, t.size, t.larger)) {
            return false;
        }
    }
    return true;
}

}  // namespace quickio::frame
