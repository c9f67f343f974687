#include "convert.hpp"

#include <cstring>
#include <limits>
#include <new>

namespace quickio::frame {
namespace {

constexpr int kFloatBufferFlags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE;

// How an item character is named in dtype-mismatch messages; nullptr for a
// character that is not a known item.
const char* describe_item(char c) {
    switch (c) {
    case 'c': return "'char'";
    case 'b': return "'signed char'";
    case 'B': return "'unsigned char'";
    case 'h': return "'short'";
    case 'H': return "'unsigned short'";
    case 'i': return "'int'";
    case 'I': return "'unsigned int'";
    case 'l': return "'long'";
    case 'L': return "'unsigned long'";
    case 'q': return "'long long'";
    case 'Q': return "'unsigned long long'";
    case 'f': return "'float'";
    case 'd': return "'double'";
    case 'g': return "'long double'";
    case 'O': return "Python object";
    case 's':
    case 'p': return "a string";
    default: return nullptr;
    }
}

const char* describe_complex(char c) {
    switch (c) {
    case 'f': return "'complex float'";
    case 'd': return "'complex double'";
    case 'g': return "'complex long double'";
    default: return nullptr;
    }
}

bool dtype_mismatch(bool want_float, const char* got) {
    if (want_float) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'", "float", "'", got);
    } else {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "", "end", "", got);
    }
    return false;
}

// Reads a struct-module style format string left to right and accepts it
// only when it describes exactly one little-endian (or native) float32.
bool check_float_format(const char* fmt) {
    if (fmt == nullptr) {
        fmt = "B";  // an exporter that gives no format exports unsigned bytes
    }
    bool have_float = false;
    long long repeat = -1;
    for (const char* p = fmt;;) {
        const char c = *p;
        if (c == ' ' || c == '\r' || c == '\n') {
            ++p;
            continue;
        }
        if (c == '@' || c == '=' || c == '^' || c == '<') {
            ++p;
            continue;
        }
        if (c == '>' || c == '!') {
            PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
            return false;
        }
        if (c >= '0' && c <= '9') {
            repeat = 0;
            while (*p >= '0' && *p <= '9') {
                if (repeat < 1000000) {
                    repeat = repeat * 10 + (*p - '0');
                }
                ++p;
            }
            continue;
        }
        if (c == '\0') {
            if (!have_float) {
                return dtype_mismatch(true, "end");
            }
            return true;
        }
        const char* desc = nullptr;
        if (c == 'Z') {
            desc = describe_complex(p[1]);
            if (desc == nullptr) {
                PyErr_Format(PyExc_ValueError, "Does not understand character buffer dtype format string ('%c')", c);
                return false;
            }
            p += 2;
        } else {
            desc = describe_item(c);
            if (desc == nullptr) {
                PyErr_Format(PyExc_ValueError, "Does not understand character buffer dtype format string ('%c')",
                             static_cast<int>(static_cast<unsigned char>(c)));
                return false;
            }
            ++p;
        }
        if (have_float) {
            return dtype_mismatch(false, desc);
        }
        if (c != 'f') {
            return dtype_mismatch(true, desc);
        }
        // One float is what we want; a repeat count above one leaves surplus
        // floats, and a count of zero leaves none.
        if (repeat > 1) {
            return dtype_mismatch(false, desc);
        }
        if (repeat == 0) {
            return dtype_mismatch(true, "end");
        }
        have_float = true;
        repeat = -1;
    }
}

}  // namespace

void FloatView::reset() noexcept {
    if (held_) {
        PyBuffer_Release(&buffer_);
        held_ = false;
    }
    data_ = nullptr;
    length_ = 0;
}

bool FloatView::convert(PyObject* obj) {
    reset();
    if (obj == Py_None) {
        return true;
    }
    if (PyObject_GetBuffer(obj, &buffer_, kFloatBufferFlags) != 0) {
        return false;
    }
    held_ = true;
    // From here on every failure releases the buffer before it returns.
    auto fail = [this] {
        reset();
        return false;
    };
    if (buffer_.ndim != 1) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", 1, buffer_.ndim);
        return fail();
    }
    if (!check_float_format(buffer_.format)) {
        return fail();
    }
    if (buffer_.itemsize != 4) {
        const size_t size = static_cast<size_t>(buffer_.itemsize);
        PyErr_Format(PyExc_ValueError, "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)",
                     size, size > 1 ? "s" : "", "float", static_cast<size_t>(4), "s");
        return fail();
    }
    const Py_ssize_t length = buffer_.shape ? buffer_.shape[0] : buffer_.len / buffer_.itemsize;
    if (length > 1) {
        if (buffer_.strides != nullptr) {
            if (buffer_.strides[0] != buffer_.itemsize) {
                PyErr_SetString(PyExc_ValueError, "Buffer and memoryview are not contiguous in the same dimension.");
                return fail();
            }
        } else if (buffer_.suboffsets != nullptr) {
            PyErr_SetString(PyExc_ValueError, "Buffer exposes suboffsets but no strides");
            return fail();
        }
    }
    if (buffer_.suboffsets != nullptr && buffer_.suboffsets[0] >= 0) {
        PyErr_Format(PyExc_ValueError, "Buffer not compatible with direct access in dimension %d.", 0);
        return fail();
    }
    data_ = static_cast<float*>(buffer_.buf);
    length_ = length;
    return true;
}

float* FloatView::element0() {
    if (length_ < 1) {
        PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 0);
        return nullptr;
    }
    return data_;
}

bool to_byte_path(PyObject* obj, std::string& out) {
    const char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyByteArray_Check(obj)) {
        data = PyByteArray_AS_STRING(obj);
        size = PyByteArray_GET_SIZE(obj);
    } else {
        char* raw = nullptr;
        if (PyBytes_AsStringAndSize(obj, &raw, &size) != 0) {
            return false;
        }
        data = raw;
    }
    if (size > 0 && std::memchr(data, '\0', static_cast<size_t>(size)) != nullptr) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return false;
    }
    try {
        out.assign(data, static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

bool to_int32(PyObject* obj, int32_t* out) {
    PyRef converted;
    if (!PyLong_Check(obj)) {
        PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
        if (nb == nullptr || nb->nb_int == nullptr) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            return false;
        }
        converted = PyRef::steal(nb->nb_int(obj));
        if (!converted) {
            return false;
        }
        PyObject* result = converted.get();
        if (!PyLong_CheckExact(result)) {
            if (!PyLong_Check(result)) {
                PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                             Py_TYPE(result)->tp_name);
                return false;
            }
            if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                                 "__int__ returned non-int (type %.200s).  The ability to return an instance "
                                 "of a strict subclass of int is deprecated, and may be removed in a future "
                                 "version of Python.",
                                 Py_TYPE(result)->tp_name) < 0) {
                return false;
            }
        }
        obj = result;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (value == -1 && PyErr_Occurred()) {
        return false;
    }
    if (overflow != 0 || value > std::numeric_limits<int32_t>::max() || value < std::numeric_limits<int32_t>::min()) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        return false;
    }
    *out = static_cast<int32_t>(value);
    return true;
}

}  // namespace quickio::frame
