// Steps shared by the two loaders, each a small piece of the interpreter-side
// work: opening the dump, reading a size from a mapping, calling into NumPy
// through the module namespace.
#pragma once

// Python.h comes before any standard header: it sets the feature macros.
#include "pyref.hpp"

#include <cstdint>
#include <string>

#include "module.hpp"

namespace quickio::frame {

// A file object opened by a loader. It is closed explicitly when the loader
// lets go of it, on every path out, so that no file waits for the garbage
// collector and no ResourceWarning is issued.
class OpenedFile {
public:
    OpenedFile() noexcept = default;
    explicit OpenedFile(PyRef file) noexcept : file_(std::move(file)) {}
    OpenedFile(const OpenedFile&) = delete;
    OpenedFile& operator=(const OpenedFile&) = delete;
    OpenedFile& operator=(OpenedFile&& other) noexcept {
        close();
        file_ = std::move(other.file_);
        return *this;
    }
    ~OpenedFile() { close(); }

    PyObject* get() const noexcept { return file_.get(); }
    explicit operator bool() const noexcept { return static_cast<bool>(file_); }
    // Closes and drops the file; a pending exception is kept as it is.
    void close() noexcept;

private:
    PyRef file_;
};

// Source lines of the first steps of a loader, for its traceback entries.
struct OpenLines {
    int path, open, encode, c_path;
};

// The first steps of both loaders: `path = file_path + ".bin"` by the
// interpreter's `+`; `open(path, "rb")` through the builtin kept at load, so
// that a missing file raises the interpreter's own error; the path encoded as
// UTF-8; and that encoding as a byte path for the native reader. On failure
// the traceback entry of the failing step is added and false returned.
// `identity` receives what identifies the opened file's contents, so that
// the loader can tell afterwards whether the file changed during the load.
bool open_dump(Module& mod, const char* function, PyObject* file_path, const OpenLines& lines, OpenedFile& file,
               std::string& c_path, native::FileIdentity* identity);

// OSError "<path>: the file changed while it was read ..." unless the file
// at `path` still has the identity `before` that the loader saw at open.
bool check_unchanged(const native::FileIdentity& before, const std::string& path);

// OSError "<path>: the file changed while it was read; ..." with the
// reason given.
bool raise_changed(const std::string& path, const char* reason);

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
