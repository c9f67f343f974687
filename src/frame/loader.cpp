#include "loader.hpp"

#include "convert.hpp"
#include "native/source.hpp"

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

namespace {

// The `opener` of the builtin open() in open_dump: opens the path without
// waiting on it, so that a FIFO, a device or a socket is refused as "not a
// regular file" instead of blocking the loader; any other failure is the
// OSError the builtin itself raises. The builtin only opens for reading
// here, so `flags` are those of "rb".
PyObject* regular_opener(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "opener(path, flags)");
        return nullptr;
    }
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(args[0], &converted)) return nullptr;
    PyRef path = PyRef::steal(converted);
    const char* c_path = PyBytes_AS_STRING(path.get());
    int fd = -1;
    if (native::Error e = native::open_regular(c_path, nullptr, &fd)) {
        Module::raise(e, std::string(c_path, static_cast<size_t>(PyBytes_GET_SIZE(path.get()))));
        return nullptr;
    }
    return PyLong_FromLong(fd);
}

PyMethodDef regular_opener_def = {
    "opener", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&regular_opener)), METH_FASTCALL, nullptr};

}  // namespace

bool open_dump(Module& mod, const char* function, PyObject* file_path, const OpenLines& lines, OpenedFile& file,
               std::string& c_path, native::FileIdentity* identity) {
    PyRef suffix = PyRef::steal(PyUnicode_FromString(".bin"));
    PyRef path = PyRef::steal(suffix ? PyNumber_Add(file_path, suffix.get()) : nullptr);
    if (!path) {
        mod.fail(function, lines.path);
        return false;
    }
    PyRef opener = PyRef::steal(PyCFunction_New(&regular_opener_def, nullptr));
    PyRef open_args = PyRef::steal(opener ? Py_BuildValue("(Os)", path.get(), "rb") : nullptr);
    PyRef open_kwargs = PyRef::steal(open_args ? Py_BuildValue("{sO}", "opener", opener.get()) : nullptr);
    file = OpenedFile(
        PyRef::steal(open_kwargs ? PyObject_Call(mod.builtin_open(), open_args.get(), open_kwargs.get()) : nullptr));
    if (!file) {
        mod.fail(function, lines.open);
        return false;
    }
    const int fd = PyObject_AsFileDescriptor(file.get());
    if (fd < 0) {
        mod.fail(function, lines.open);
        return false;
    }
    if (native::Error e = native::identity_of(fd, identity)) {
        Module::raise(e, "");
        mod.fail(function, lines.open);
        return false;
    }
    PyRef uni_path = PyRef::steal(PyObject_CallMethod(path.get(), "encode", "s", "UTF-8"));
    if (!uni_path) {
        mod.fail(function, lines.encode);
        return false;
    }
    if (!to_byte_path(uni_path.get(), c_path)) {
        mod.fail(function, lines.c_path);
        return false;
    }
    return true;
}

bool raise_changed(const std::string& path, const char* reason) {
    PyRef filename = PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    if (filename) {
        PyErr_Format(PyExc_OSError, "%U: the file changed while it was read; %s", filename.get(), reason);
    }
    return false;
}

bool check_unchanged(const native::FileIdentity& before, const std::string& path) {
    native::FileIdentity now;
    if (native::Error e = native::identity_of(path.c_str(), &now)) {
        return Module::raise(e, path);
    }
    if (now.device != before.device || now.inode != before.inode) {
        return raise_changed(path, "it was replaced by another file");
    }
    if (now != before) {
        return raise_changed(path, now.size != before.size ? "its size is not what it was when the load began"
                                                           : "it was written to during the load");
    }
    return true;
}

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

PyRef numpy_function(Module& mod, const char* name) {
    PyRef np = mod.lookup("np");
    if (!np) {
        return PyRef();
    }
    return PyRef::steal(PyObject_GetAttrString(np.get(), name));
}

}  // namespace

PyObject* reshape_fortran(Module& mod, PyObject* buffer, PyObject* shape) {
    PyRef reshape = numpy_function(mod, "reshape");
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
    PyRef asarray = numpy_function(mod, "asarray");
    if (!asarray) {
        return nullptr;
    }
    return PyObject_CallOneArg(asarray.get(), obj);
}

}  // namespace quickio::frame
