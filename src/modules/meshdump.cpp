// Module meshdump: field dumps. `read_Vintar_bin` loads a dump by name and
// returns the field as an (nx, ny, nz) column-major array with its axes;
// `read_file` fills four caller-supplied float32 buffers from a dump.
#include <cstdint>
#include <string>

#include "args.hpp"
#include "convert.hpp"
#include "field_reader.hpp"
#include "loader.hpp"
#include "module.hpp"
#include "recvbuf.hpp"

namespace {

using quickio::frame::FloatView;
using quickio::frame::Module;
using quickio::frame::PyRef;

PyObject* read_Vintar_bin(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* read_file(PyObject*, PyObject* args, PyObject* kwargs);

PyMethodDef read_Vintar_bin_def = {"read_Vintar_bin", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_Vintar_bin)),
                                   METH_VARARGS | METH_KEYWORDS, nullptr};
PyMethodDef read_file_def = {"read_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_file)),
                             METH_VARARGS | METH_KEYWORDS, nullptr};

// Process-wide and never destroyed: the module lives until the process ends,
// and its references must not be dropped after the interpreter is gone.
Module& mod = *new Module({
    "meshdump",
    "dorvo/quickio/meshdump",
    {{"struct", "struct", 11}, {"numpy", "np", 12}},
    {{&read_Vintar_bin_def, 15}, {&read_file_def, 58}},
});

// Source lines of the steps, as shown in traceback entries.
namespace line {
constexpr int loader_binding = 15, path = 22, open = 23, encode = 24, c_path = 25;
constexpr int nparam_seek = 28, nparam_read = 29, ints_seek = 30, ints_read = 31, reals_seek = 32,
              reals_read = 33;
constexpr int nproc_y = 35, nproc_z = 36, ndimension = 37, nx = 38, ny = 39, nz = 40;
constexpr int grid_check = 42, field_buffer = 44, x_buffer = 45, y_buffer = 46, z_buffer = 47;
constexpr int call_read_file = 49, reshape = 51, x_array = 52, y_array = 53, z_array = 54, result = 56;
constexpr int read_file_binding = 58, read_file_f = 60, read_file_check = 65, read_file_result = 67;
}  // namespace line

// Header records of a field dump, read by the loader at fixed offsets.
constexpr long kNparamOffset = 4;
constexpr long kIntegerOffset = 16;
constexpr long kRealOffset = 104;  // where the real parameters start when Nparam is 20

PyObject* seek(PyObject* file, long long offset) {
    return PyObject_CallMethod(file, "seek", "L", offset);
}

// file.read(count) unpacked with "=" and `count / 4` items of `item`. A file
// too short for the read raises struct.error just as unpacking the short
// read would, but without first asking the file object for an absurd length.
PyObject* read_unpack(PyObject* file, long long file_size, long long position, long long nbytes, char item) {
    PyRef struct_module = PyRef::steal(mod.lookup("struct"));
    if (!struct_module) {
        return nullptr;
    }
    const long long remaining = file_size > position ? file_size - position : 0;
    const long long wanted = nbytes > remaining ? remaining : nbytes;
    PyRef data = PyRef::steal(PyObject_CallMethod(file, "read", "L", nbytes < 0 ? nbytes : wanted));
    if (!data) {
        return nullptr;
    }
    if (PyBytes_Check(data.get()) && PyBytes_GET_SIZE(data.get()) != nbytes) {
        PyRef error = PyRef::steal(PyObject_GetAttrString(struct_module.get(), "error"));
        if (error) {
            PyErr_Format(error.get(), "unpack requires a buffer of %lld bytes", nbytes);
        }
        return nullptr;
    }
    PyRef format = PyRef::steal(PyUnicode_FromFormat("=%lld%c", nbytes / 4, item));
    if (!format) {
        return nullptr;
    }
    return PyObject_CallMethod(struct_module.get(), "unpack", "OO", format.get(), data.get());
}

PyObject* read_Vintar_bin(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const params_names[] = {"file_path", "params"};
    PyObject* argv[2];
    if (!quickio::frame::bind_arguments("read_Vintar_bin", params_names, 2, args, kwargs, argv)) {
        return mod.fail("read_Vintar_bin", line::loader_binding);
    }
    PyObject* const file_path = argv[0];
    PyObject* const params = argv[1];
    auto fail = [](int at) { return mod.fail("read_Vintar_bin", at); };

    quickio::frame::OpenedFile file;
    std::string c_path;
    if (!quickio::frame::open_dump(mod, "read_Vintar_bin", file_path, {line::path, line::open, line::encode, line::c_path},
                                   file, c_path)) {
        return nullptr;
    }

    // Header check: Nparam, the integer parameters and the real parameters.
    PyRef end = PyRef::steal(PyObject_CallMethod(file.get(), "seek", "ii", 0, 2));
    const long long file_size = end ? PyLong_AsLongLong(end.get()) : -1;
    if (file_size < 0 || !PyRef::steal(seek(file.get(), kNparamOffset))) {
        return fail(line::nparam_seek);
    }
    PyRef nparam_tuple = PyRef::steal(read_unpack(file.get(), file_size, kNparamOffset, 4, 'i'));
    if (!nparam_tuple) {
        return fail(line::nparam_read);
    }
    const long long nparam = PyLong_AsLongLong(PyTuple_GET_ITEM(nparam_tuple.get(), 0));
    if (!PyRef::steal(seek(file.get(), kIntegerOffset))) {
        return fail(line::ints_seek);
    }
    PyRef integerdata_temp = PyRef::steal(read_unpack(file.get(), file_size, kIntegerOffset, 4 * nparam, 'i'));
    if (!integerdata_temp) {
        return fail(line::ints_read);
    }
    if (!PyRef::steal(seek(file.get(), kRealOffset))) {
        return fail(line::reals_seek);
    }
    PyRef realdata_temp = PyRef::steal(read_unpack(file.get(), file_size, kRealOffset, 4 * nparam, 'f'));
    if (!realdata_temp) {
        return fail(line::reals_read);
    }
    // nproc_y, nproc_z and ndimension: a dump without them is not a field dump.
    const struct {
        Py_ssize_t index;
        int at;
    } entries[] = {{0, line::nproc_y}, {1, line::nproc_z}, {14, line::ndimension}};
    for (const auto& e : entries) {
        if (!PyRef::steal(PySequence_GetItem(integerdata_temp.get(), e.index))) {
            return fail(e.at);
        }
    }

    int32_t nx = 0, ny = 0, nz = 0;
    if (!quickio::frame::param_int32(params, "nx", &nx)) {
        return fail(line::nx);
    }
    if (!quickio::frame::param_int32(params, "ny", &ny)) {
        return fail(line::ny);
    }
    if (!quickio::frame::param_int32(params, "nz", &nz)) {
        return fail(line::nz);
    }
    // 64-bit point count. Three 32-bit sizes can exceed even that; such a
    // grid cannot be allocated, so the count saturates into a MemoryError (or
    // an invalid-shape error when its sign is negative).
    int64_t totlen = 0;
    if (__builtin_mul_overflow(int64_t{nx} * ny, int64_t{nz}, &totlen)) {
        totlen = ((nx < 0) ^ (ny < 0) ^ (nz < 0)) ? INT64_MIN : INT64_MAX;
    }

    // The buffers are sized by the caller's grid while the reader fills them
    // by the dump's own: the two must agree.
    if (nx > 0 && ny > 0 && nz > 0) {
        long long dump_grid[3];
        const Py_ssize_t grid_index[3] = {3, 4, 6};
        for (int i = 0; i < 3; ++i) {
            dump_grid[i] = PyLong_AsLongLong(PyTuple_GET_ITEM(integerdata_temp.get(), grid_index[i]));
        }
        if (dump_grid[0] != nx || dump_grid[1] != ny || dump_grid[2] != nz) {
            PyErr_Format(PyExc_ValueError, "params give grid (%d, %d, %d) but the dump holds (%lld, %lld, %lld)", nx,
                         ny, nz, dump_grid[0], dump_grid[1], dump_grid[2]);
            return fail(line::grid_check);
        }
    }

    // The file is closed here: the reader opens the dump on its own.
    file.close();
    PyRef f = PyRef::steal(quickio::frame::new_receiving_buffer(totlen));
    if (!f) {
        return fail(line::field_buffer);
    }
    PyRef x = PyRef::steal(quickio::frame::new_receiving_buffer(nx));
    if (!x) {
        return fail(line::x_buffer);
    }
    PyRef y = PyRef::steal(quickio::frame::new_receiving_buffer(ny));
    if (!y) {
        return fail(line::y_buffer);
    }
    PyRef z = PyRef::steal(quickio::frame::new_receiving_buffer(nz));
    if (!z) {
        return fail(line::z_buffer);
    }

    {
        PyRef reader = PyRef::steal(mod.lookup("read_file"));
        if (!reader) {
            return fail(line::call_read_file);
        }
        PyRef path_bytes = PyRef::steal(PyBytes_FromStringAndSize(c_path.data(), static_cast<Py_ssize_t>(c_path.size())));
        if (!path_bytes) {
            return fail(line::call_read_file);
        }
        PyRef done = PyRef::steal(quickio::frame::call(
            reader.get(), PyRef::steal(PyTuple_Pack(5, f.get(), x.get(), y.get(), z.get(), path_bytes.get()))));
        if (!done) {
            return fail(line::call_read_file);
        }
    }

    PyRef shape = PyRef::steal(Py_BuildValue("(iii)", nx, ny, nz));
    if (!shape) {
        return fail(line::reshape);
    }
    PyRef field = PyRef::steal(quickio::frame::reshape_fortran(mod, f.get(), shape.get()));
    if (!field) {
        return fail(line::reshape);
    }
    PyRef x_array = PyRef::steal(quickio::frame::as_array(mod, x.get()));
    if (!x_array) {
        return fail(line::x_array);
    }
    PyRef y_array = PyRef::steal(quickio::frame::as_array(mod, y.get()));
    if (!y_array) {
        return fail(line::y_array);
    }
    PyRef z_array = PyRef::steal(quickio::frame::as_array(mod, z.get()));
    if (!z_array) {
        return fail(line::z_array);
    }
    PyObject* result = PyTuple_Pack(4, field.get(), x_array.get(), y_array.get(), z_array.get());
    if (result == nullptr) {
        return fail(line::result);
    }
    return result;
}

PyObject* read_file(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const params_names[] = {"f", "x", "y", "z", "f_path"};
    PyObject* argv[5];
    if (!quickio::frame::bind_arguments("read_file", params_names, 5, args, kwargs, argv)) {
        return mod.fail("read_file", line::read_file_binding);
    }
    auto fail = [](int at) { return mod.fail("read_file", at); };

    FloatView views[4];  // f, x, y, z; released on every path out
    for (int i = 0; i < 4; ++i) {
        if (!views[i].convert(argv[i])) {
            return fail(line::read_file_f + i);
        }
    }
    for (FloatView& view : views) {
        if (view.element0() == nullptr) {
            return fail(line::read_file_check);
        }
    }
    std::string path;
    if (!quickio::frame::to_byte_path(argv[4], path)) {
        return fail(line::read_file_check);
    }
    quickio::native::Error error;
    {
        // The views keep the buffers alive and unresizable meanwhile.
        quickio::frame::GilRelease unlocked;
        error = quickio::native::read_grid_dump(path.c_str(), views[0].span(), views[1].span(), views[2].span(),
                                                views[3].span());
    }
    if (error) {
        Module::raise(error, path);
        return fail(line::read_file_check);
    }
    PyObject* result = PyTuple_Pack(4, argv[0], argv[1], argv[2], argv[3]);
    if (result == nullptr) {
        return fail(line::read_file_result);
    }
    return result;
}

PyModuleDef_Slot slots[] = {
    // Create returns the one module object of the process on a re-import.
    {Py_mod_create, reinterpret_cast<void*>(+[](PyObject* spec, PyModuleDef*) { return mod.create(spec); })},
    // Exec runs the module's statements once per process.
    {Py_mod_exec, reinterpret_cast<void*>(+[](PyObject* m) { return mod.exec(m); })},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "meshdump", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_meshdump() { return PyModuleDef_Init(&module_def); }
