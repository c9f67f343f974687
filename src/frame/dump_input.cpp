#include "dump_input.hpp"

#include <cerrno>
#include <cstring>
#include <new>

#include "convert.hpp"
#include "module.hpp"

namespace quickio::frame {

namespace {

constexpr int64_t check_interval_ns = 50000000;

bool has_method(PyObject* obj, const char* name) {
    PyRef attr = PyRef::steal(PyObject_GetAttrString(obj, name));
    if (!attr) {
        PyErr_Clear();
        return false;
    }
    return PyCallable_Check(attr.get()) != 0;
}

// What names a file object in messages: its `name` when that is a string
// (open files have one), else its type.
std::string name_of(PyObject* file) {
    std::string out;
    PyRef name = PyRef::steal(PyObject_GetAttrString(file, "name"));
    if (name && PyUnicode_Check(name.get())) {
        if (const char* text = PyUnicode_AsUTF8(name.get())) out = text;
    }
    PyErr_Clear();
    if (out.empty()) out = std::string("<") + Py_TYPE(file)->tp_name + " object>";
    return out;
}

}  // namespace

// ---- PyFileSource ----------------------------------------------------------

bool PyFileSource::open() {
    PyRef end = PyRef::steal(PyObject_CallMethod(file_, "seek", "ii", 0, 2));
    if (end && end.get() == Py_None) end = PyRef::steal(PyObject_CallMethod(file_, "tell", nullptr));
    if (!end) return false;
    const long long size = PyLong_AsLongLong(end.get());
    if (size == -1 && PyErr_Occurred()) return false;
    if (size < 0) {
        PyErr_Format(PyExc_ValueError, "the file object gives a negative length %lld", size);
        return false;
    }
    size_ = size;
    return true;
}

native::Error PyFileSource::read_at(int64_t offset, void* dst, int64_t n) noexcept {
    if (raised_) return native::Error::os(EIO);
    if (offset < 0 || n < 0 || offset > size_ || n > size_ - offset) return native::Error::os(EINVAL);
    if (n == 0) return {};
    PyRef moved = PyRef::steal(PyObject_CallMethod(file_, "seek", "L", static_cast<long long>(offset)));
    PyRef data = moved ? PyRef::steal(PyObject_CallMethod(file_, "read", "L", static_cast<long long>(n))) : PyRef();
    Py_buffer view;
    if (!data || PyObject_GetBuffer(data.get(), &view, PyBUF_SIMPLE) != 0) {
        raised_ = true;
        return native::Error::os(EIO);
    }
    const int64_t got = view.len;
    if (got == n) std::memcpy(dst, view.buf, static_cast<size_t>(n));
    PyBuffer_Release(&view);
    if (got < n) {
        return native::Error::in_file(native::Status::changed,
                                      "the file ends at byte %lld although it was %lld bytes long when it was opened; "
                                      "it changed while it was read",
                                      static_cast<long long>(offset + got), static_cast<long long>(size_));
    }
    if (got > n) {
        PyErr_Format(PyExc_ValueError, "the file object's read(%lld) returned %lld bytes", static_cast<long long>(n),
                     static_cast<long long>(got));
        raised_ = true;
        return native::Error::os(EIO);
    }
    return {};
}

// ---- HeldInterrupt ---------------------------------------------------------

bool HeldInterrupt::requested() noexcept {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    const int64_t now = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    if (stop_ || now - last_check_ < check_interval_ns) return stop_;
    last_check_ = now;
    stop_ = PyErr_CheckSignals() < 0;
    return stop_;
}

// ---- DumpInput -------------------------------------------------------------

bool DumpInput::set(PyObject* obj) {
    const bool path_like = PyUnicode_Check(obj) || PyBytes_Check(obj) || PyObject_HasAttrString(obj, "__fspath__");
    if (path_like) {
        PyObject* converted = nullptr;
        if (!PyUnicode_FSConverter(obj, &converted)) return false;
        PyRef bytes = PyRef::steal(converted);
        return to_byte_path(bytes.get(), path_);
    }
    if (!has_method(obj, "read") || !has_method(obj, "seek")) {
        PyErr_Format(PyExc_TypeError,
                     "expected a path (str, bytes or os.PathLike) or a binary file object with seek() and read(), "
                     "not %.200s",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    object_ = PyRef::ref(obj);
    path_ = name_of(obj);
    py_.reset(new (std::nothrow) PyFileSource(obj));
    if (!py_) {
        PyErr_NoMemory();
        return false;
    }
    return py_->open();
}

native::Error DumpInput::finish() const noexcept {
    if (py_ || !opened_) return {};
    return file_.verify_unchanged();
}

bool DumpInput::raise(const native::Error& error) const {
    if (py_ && py_->raised() && PyErr_Occurred()) return false;
    return Module::raise(error, path_);
}

}  // namespace quickio::frame
