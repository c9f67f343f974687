#include "recvbuf.hpp"

#include <cstdlib>
#include <limits>

namespace quickio::frame {
namespace {

struct ReceivingBuffer {
    PyObject_HEAD
    float* data;
    Py_ssize_t shape[1];
    Py_ssize_t strides[1];
};

char kFormat[] = "f";

int getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* rb = reinterpret_cast<ReceivingBuffer*>(self);
    // Every request is honoured: the memory is writable and contiguous, and
    // format, shape and strides are given exactly when they are asked for.
    view->buf = rb->data;
    Py_INCREF(self);
    view->obj = self;
    view->len = rb->shape[0] * static_cast<Py_ssize_t>(sizeof(float));
    view->readonly = 0;
    view->itemsize = sizeof(float);
    view->format = (flags & PyBUF_FORMAT) ? kFormat : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? rb->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? rb->strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

void dealloc(PyObject* self) {
    auto* rb = reinterpret_cast<ReceivingBuffer*>(self);
    std::free(rb->data);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

Py_ssize_t length(PyObject* self) { return reinterpret_cast<ReceivingBuffer*>(self)->shape[0]; }

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(getbuffer)},
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {Py_tp_doc, const_cast<char*>("float32 storage owned by the arrays that a loader returns")},
    {0, nullptr},
};

PyType_Spec spec = {"dorvo.quickio.ReceivingBuffer", sizeof(ReceivingBuffer), 0, Py_TPFLAGS_DEFAULT, slots};

// Made once per process and kept: the arrays a loader returns may outlive
// any module object.
PyTypeObject* receiving_buffer_type = nullptr;

}  // namespace

bool ready_receiving_buffer_type() {
    if (receiving_buffer_type == nullptr) {
        receiving_buffer_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    }
    return receiving_buffer_type != nullptr;
}

PyObject* new_receiving_buffer(int64_t length) {
    if (length <= 0) {
        PyErr_Format(PyExc_ValueError, "Invalid shape in axis %d: %lld.", 0, static_cast<long long>(length));
        return nullptr;
    }
    if (static_cast<uint64_t>(length) > static_cast<uint64_t>(PY_SSIZE_T_MAX) / sizeof(float)) {
        PyErr_SetString(PyExc_MemoryError, "unable to allocate array data.");
        return nullptr;
    }
    // calloc: large blocks come straight from the kernel already zeroed, and
    // nothing uninitialised can ever be handed to the caller.
    void* data = std::calloc(static_cast<size_t>(length), sizeof(float));
    if (data == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "unable to allocate array data.");
        return nullptr;
    }
    auto* rb = PyObject_New(ReceivingBuffer, receiving_buffer_type);
    if (rb == nullptr) {
        std::free(data);
        return nullptr;
    }
    rb->data = static_cast<float*>(data);
    rb->shape[0] = static_cast<Py_ssize_t>(length);
    rb->strides[0] = sizeof(float);
    return reinterpret_cast<PyObject*>(rb);
}

float* receiving_buffer_data(PyObject* buffer) noexcept {
    return reinterpret_cast<ReceivingBuffer*>(buffer)->data;
}

}  // namespace quickio::frame
