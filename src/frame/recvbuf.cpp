#include "recvbuf.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <limits>

namespace quickio::frame {
namespace {

struct ReceivingBuffer {
    PyObject_HEAD float* data;
    Py_ssize_t shape[1];
    Py_ssize_t strides[1];
    int64_t written;
    // A large buffer is a mapping of its own (zero pages, aligned to huge
    // pages); a small one comes from calloc and has no mapping.
    void* mapping;
    size_t mapping_bytes;
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
    if (rb->mapping != nullptr) {
        ::munmap(rb->mapping, rb->mapping_bytes);
    } else {
        std::free(rb->data);
    }
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

// Buffers from this size on are mapped on their own, aligned to huge pages.
constexpr int64_t min_mapped = int64_t{4} << 20;
constexpr uintptr_t huge_page = uintptr_t{2} << 20;

// Zeroed storage for `bytes` bytes. A large buffer is a fresh anonymous
// mapping, which the kernel zeroes page by page as the reader first writes
// it; it starts on a huge-page boundary and is advised to use huge pages,
// so that the threads of a read, filling neighbouring stretches, never
// fault in the same page (and a fault brings 2 MiB, not 4 KiB). Small ones
// come from calloc. Null when the memory cannot be had.
void* allocate_zeroed(int64_t bytes, void** mapping, size_t* mapping_bytes) noexcept {
    *mapping = nullptr;
    *mapping_bytes = 0;
    if (bytes < min_mapped) return std::calloc(static_cast<size_t>(bytes), 1);
    const size_t length = static_cast<size_t>(bytes) + huge_page;
    void* base = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    const auto start = (reinterpret_cast<uintptr_t>(base) + huge_page - 1) & ~(huge_page - 1);
    void* data = reinterpret_cast<void*>(start);
#ifdef MADV_HUGEPAGE
    // Advice only: a refusal changes nothing.
    (void)::madvise(data, static_cast<size_t>(bytes), MADV_HUGEPAGE);
#endif
    *mapping = base;
    *mapping_bytes = length;
    return data;
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
    // Zeroed: nothing uninitialised can ever be handed to the caller.
    void* mapping = nullptr;
    size_t mapping_bytes = 0;
    void* data = allocate_zeroed(length * static_cast<int64_t>(sizeof(float)), &mapping, &mapping_bytes);
    if (data == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "unable to allocate array data.");
        return nullptr;
    }
    auto* rb = PyObject_New(ReceivingBuffer, receiving_buffer_type);
    if (rb == nullptr) {
        if (mapping != nullptr) {
            ::munmap(mapping, mapping_bytes);
        } else {
            std::free(data);
        }
        return nullptr;
    }
    rb->mapping = mapping;
    rb->mapping_bytes = mapping_bytes;
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
