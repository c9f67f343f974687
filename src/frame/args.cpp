#include "args.hpp"

#include <cstring>

namespace quickio::frame {
namespace {

bool wrong_count(const char* function, Py_ssize_t n, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", function, "exactly", n,
                 "s", given);
    return false;
}

// Index of the parameter named `key`, or -1.
Py_ssize_t parameter_index(const char* const* params, Py_ssize_t n, PyObject* key) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, params[i]) == 0) {
            return i;
        }
    }
    return -1;
}

}  // namespace

bool bind_arguments(const char* function, const char* const* params, Py_ssize_t n, PyObject* args, PyObject* kwargs,
                    PyObject** out) {
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) {
        if (given != n) {
            return wrong_count(function, n, given);
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            out[i] = PyTuple_GET_ITEM(args, i);
        }
        return true;
    }
    if (given > n) {
        return wrong_count(function, n, given);
    }
    for (Py_ssize_t i = 0; i < given; ++i) {
        out[i] = PyTuple_GET_ITEM(args, i);
    }
    for (Py_ssize_t i = given; i < n; ++i) {
        PyRef name = PyRef::steal(PyUnicode_FromString(params[i]));
        if (!name) {
            return false;
        }
        PyObject* value = PyDict_GetItemWithError(kwargs, name.get());
        if (value == nullptr) {
            if (PyErr_Occurred()) {
                return false;
            }
            return wrong_count(function, n, i);
        }
        out[i] = value;
    }
    if (nkw > n - given) {
        // More keywords than parameters left to bind: name the first one
        // that was not used, in the dict's own order.
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function);
                return false;
            }
            const Py_ssize_t index = parameter_index(params, n, key);
            if (index >= given) {
                continue;  // bound by keyword above
            }
            if (index >= 0) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", function, key);
            } else {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
            }
            return false;
        }
    }
    return true;
}

}  // namespace quickio::frame
