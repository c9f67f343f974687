#include "loader.hpp"

#include "convert.hpp"

namespace quickio::frame {

void OpenedFile::close() noexcept {
    if (!file_) {
        return;
    }
    SavedError saved;
    PyRef result = PyRef::steal(PyObject_CallMethod(file_.get(), "close", nullptr));
    if (!result) {
        PyErr_WriteUnraisable(file_.get());
    }
    file_ = PyRef();
}

OpenedFile open_binary(PyObject* open, PyObject* path) {
    return OpenedFile(PyRef::steal(PyObject_CallFunction(open, "Os", path, "rb")));
}

PyObject* dump_path(PyObject* file_path) {
    PyRef suffix = PyRef::steal(PyUnicode_FromString(".bin"));
    if (!suffix) {
        return nullptr;
    }
    return PyNumber_Add(file_path, suffix.get());
}

PyObject* encode_utf8(PyObject* path) { return PyObject_CallMethod(path, "encode", "s", "UTF-8"); }

bool param_int32(PyObject* params, const char* key, int32_t* out) {
    PyRef name = PyRef::steal(PyUnicode_InternFromString(key));
    if (!name) {
        return false;
    }
    PyRef value;
    if (PyDict_CheckExact(params)) {
        value = PyRef::ref(PyDict_GetItemWithError(params, name.get()));
        if (!value) {
            if (!PyErr_Occurred()) {
                PyErr_SetObject(PyExc_KeyError, name.get());
            }
            return false;
        }
    } else {
        value = PyRef::steal(PyObject_GetItem(params, name.get()));
        if (!value) {
            return false;
        }
    }
    return to_int32(value.get(), out);
}

PyObject* call(PyObject* callable, PyRef args) {
    if (!args) {
        return nullptr;
    }
    return PyObject_Call(callable, args.get(), nullptr);
}

namespace {

PyObject* numpy_function(Module& mod, const char* name) {
    PyRef np = PyRef::steal(mod.lookup("np"));
    if (!np) {
        return nullptr;
    }
    return PyObject_GetAttrString(np.get(), name);
}

}  // namespace

PyObject* reshape_fortran(Module& mod, PyObject* buffer, PyObject* shape) {
    PyRef reshape = PyRef::steal(numpy_function(mod, "reshape"));
    if (!reshape) {
        return nullptr;
    }
    PyRef args = PyRef::steal(PyTuple_Pack(2, buffer, shape));
    PyRef kwargs = PyRef::steal(Py_BuildValue("{s:s}", "order", "F"));
    if (!args || !kwargs) {
        return nullptr;
    }
    return PyObject_Call(reshape.get(), args.get(), kwargs.get());
}

PyObject* as_array(Module& mod, PyObject* obj) {
    PyRef asarray = PyRef::steal(numpy_function(mod, "asarray"));
    if (!asarray) {
        return nullptr;
    }
    return PyObject_CallOneArg(asarray.get(), obj);
}

}  // namespace quickio::frame
