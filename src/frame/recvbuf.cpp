#include "recvbuf.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <limits>

namespace quickio::frame {
namespace {

struct ReceivingBuffer {
    PyObject_HEAD
    float* data;
    Py_ssize_t shape[1];
    Py_ssize_t strides[1];
    int64_t written;
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

#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
constexpr unsigned long kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
constexpr unsigned long kFlags = Py_TPFLAGS_DEFAULT;
#endif

PyType_Spec spec = {"dorvo.quickio.ReceivingBuffer", sizeof(ReceivingBuffer), 0, kFlags, slots};

// Made once per process and kept: the arrays a loader returns may outlive
// any module object.
PyTypeObject* receiving_buffer_type = nullptr;

// Asks the kernel to back the page-aligned interior of a large new buffer
// with huge pages. Its pages fault in on first touch, as the reader fills
// it; with 4 KiB pages those faults cost more than the read itself. Advice
// only: a refusal changes nothing.
void advise_huge_pages(void* data, int64_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
    constexpr int64_t min_advised = int64_t{4} << 20;
    constexpr uintptr_t huge_page = uintptr_t{2} << 20;
    if (bytes < min_advised) return;
    const auto begin = reinterpret_cast<uintptr_t>(data);
    const uintptr_t first = (begin + huge_page - 1) & ~(huge_page - 1);
    const uintptr_t last = (begin + static_cast<uintptr_t>(bytes)) & ~(huge_page - 1);
    if (last > first) (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace

bool ready_receiving_buffer_type() {
    if (receiving_buffer_type == nullptr) {
        receiving_buffer_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
#ifndef Py_TPFLAGS_DISALLOW_INSTANTIATION
        // Before 3.10 a heap type inherits object's constructor; take it away.
        if (receiving_buffer_type != nullptr) receiving_buffer_type->tp_new = nullptr;
#endif
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
    advise_huge_pages(data, length * static_cast<int64_t>(sizeof(float)));
    auto* rb = PyObject_New(ReceivingBuffer, receiving_buffer_type);
    if (rb == nullptr) {
        std::free(data);
        return nullptr;
    }
    rb->data = static_cast<float*>(data);
    rb->shape[0] = static_cast<Py_ssize_t>(length);
    rb->strides[0] = sizeof(float);
    rb->written = -1;
    return reinterpret_cast<PyObject*>(rb);
}

bool is_receiving_buffer(PyObject* obj) noexcept {
    return receiving_buffer_type != nullptr && Py_TYPE(obj) == receiving_buffer_type;
}

int64_t receiving_buffer_written(PyObject* buffer) noexcept {
    return reinterpret_cast<ReceivingBuffer*>(buffer)->written;
}

void note_receiving_buffer_written(PyObject* obj, int64_t elements) noexcept {
    if (is_receiving_buffer(obj)) reinterpret_cast<ReceivingBuffer*>(obj)->written = elements;
}

}  // namespace quickio::frame
