#include "plain.hpp"

namespace quickio::frame::plain {

int prepare(PyObject*) {
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    return numpy && watch_interpreter_end() ? 0 : -1;
}

PyRef new_array(const char* dtype, const int64_t* shape, int ndim, void** data, char order) {
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    PyRef empty = numpy ? PyRef::steal(PyObject_GetAttrString(numpy.get(), "empty")) : PyRef();
    PyRef dims = PyRef::steal(PyTuple_New(ndim));
    if (!empty || !dims) return PyRef();
    for (int i = 0; i < ndim; ++i) {
        PyObject* n = PyLong_FromLongLong(shape[i]);
        if (n == nullptr) return PyRef();
        PyTuple_SET_ITEM(dims.get(), i, n);
    }
    const char order_text[2] = {order, '\0'};
    PyRef args = PyRef::steal(Py_BuildValue("(Os)", dims.get(), dtype));
    PyRef kwargs = PyRef::steal(Py_BuildValue("{s:s}", "order", order_text));
    if (!args || !kwargs) return PyRef();
    PyRef array = PyRef::steal(PyObject_Call(empty.get(), args.get(), kwargs.get()));
    if (!array) return PyRef();
    Py_buffer view;
    if (PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE | PyBUF_ANY_CONTIGUOUS) != 0) return PyRef();
    *data = view.buf;
    PyBuffer_Release(&view);  // the array keeps its memory; only the view goes
    return array;
}

PyObject* int_or_none(bool present, int64_t value) {
    if (!present) Py_RETURN_NONE;
    return PyLong_FromLongLong(static_cast<long long>(value));
}

}  // namespace quickio::frame::plain
