// Module meshdump: field dumps. `read_Vintar_bin` loads a dump by name and
// returns the field as an (nx, ny, nz) column-major array with its axes;
// `read_file` fills four caller-supplied float32 buffers from a dump.

// Python.h comes before any standard header: it sets the feature macros.
#include "pyref.hpp"

#include <cstdint>
#include <string>

#include "args.hpp"
#include "convert.hpp"
#include "field_format.hpp"
#include "field_reader.hpp"
#include "loader.hpp"
#include "module.hpp"
#include "pool.hpp"
#include "recvbuf.hpp"

namespace {

using quickio::frame::FloatView;
using quickio::frame::Module;
using quickio::frame::PyRef;

PyObject* read_Vintar_bin(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* read_file(PyObject*, PyObject* args, PyObject* kwargs);

PyMethodDef read_Vintar_bin_def = quickio::frame::method_def<read_Vintar_bin>("read_Vintar_bin");
PyMethodDef read_file_def = quickio::frame::method_def<read_file>("read_file");

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
constexpr int nparam_seek = 28, nparam_read = 29, ints_seek = 30, ints_read = 31, reals_seek = 32, reals_read = 33;
constexpr int nproc_y = 35, nproc_z = 36, ndimension = 37, nx = 38, ny = 39, nz = 40;
constexpr int grid_check = 42, field_buffer = 44, x_buffer = 45, y_buffer = 46, z_buffer = 47;
constexpr int call_read_file = 49, reshape = 51, x_array = 52, y_array = 53, z_array = 54, result = 56;
constexpr int read_file_binding = 58, read_file_f = 60, read_file_check = 65, read_file_result = 67;
}  // namespace line

// Header records of a field dump, read by the loader at fixed offsets.
constexpr long kNparamOffset = 4;
constexpr long kIntegerOffset = 16;
constexpr long kRealOffset = 104;  // where the real parameters start when Nparam is 20
// A dump holds its three parameter records whole: 28 bytes of framing and
// Nparam, then 8 bytes of values per parameter.
constexpr long long kHeaderFraming = 28;

PyObject* seek(PyObject* file, long long offset) { return PyObject_CallMethod(file, "seek", "L", offset); }

// struct.error("unpack requires a buffer of N bytes"), as unpacking a read
// that came back short raises it.
PyObject* struct_error(PyObject* struct_module, long long nbytes) {
    PyRef error = PyRef::steal(PyObject_GetAttrString(struct_module, "error"));
    if (error) {
        PyErr_Format(error.get(), "unpack requires a buffer of %lld bytes", nbytes);
    }
    return nullptr;
}

// file.read(nbytes) unpacked with "=" and `nbytes / 4` items of `item`. A
// file too short for the read raises struct.error just as unpacking the
// short read would, but without first asking the file object for an absurd
// length. What unpack returns must be a tuple of that many items.
PyObject* read_unpack(PyObject* file, long long file_size, long long position, long long nbytes, char item) {
    PyRef struct_module = mod.lookup("struct");
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
        return struct_error(struct_module.get(), nbytes);
    }
    PyRef format = PyRef::steal(PyUnicode_FromFormat("=%lld%c", nbytes / 4, item));
    if (!format) {
        return nullptr;
    }
    PyRef values = PyRef::steal(PyObject_CallMethod(struct_module.get(), "unpack", "OO", format.get(), data.get()));
    if (values && (!PyTuple_Check(values.get()) || PyTuple_GET_SIZE(values.get()) != nbytes / 4)) {
        PyErr_Format(PyExc_TypeError, "struct.unpack returned %.200s, not a tuple of %lld values",
                     Py_TYPE(values.get())->tp_name, nbytes / 4);
        return nullptr;
    }
    return values.release();
}

// Item `index` of a tuple that read_unpack returned, as a C integer.
bool tuple_int(PyObject* tuple, Py_ssize_t index, long long* out) {
    *out = PyLong_AsLongLong(PyTuple_GET_ITEM(tuple, index));
    return !(*out == -1 && PyErr_Occurred());
}

// Steps 5 to 8: Nparam, the integer and the real parameters, and the
// entries a field dump must have. Returns the integer parameters.
PyRef check_header(PyObject* file) {
    auto fail = [](int at) {
        mod.fail("read_Vintar_bin", at);
        return PyRef();
    };
    PyRef end = PyRef::steal(PyObject_CallMethod(file, "seek", "ii", 0, 2));
    const long long file_size = end ? PyLong_AsLongLong(end.get()) : -1;
    if (file_size < 0 || !PyRef::steal(seek(file, kNparamOffset))) {
        return fail(line::nparam_seek);
    }
    PyRef nparam_tuple = PyRef::steal(read_unpack(file, file_size, kNparamOffset, 4, 'i'));
    long long nparam = 0;
    if (!nparam_tuple || !tuple_int(nparam_tuple.get(), 0, &nparam)) {
        return fail(line::nparam_read);
    }
    if (!PyRef::steal(seek(file, kIntegerOffset))) {
        return fail(line::ints_seek);
    }
    // The three parameter records must fit the file: a huge count from a
    // file that is no dump fails here, before anything that large is read.
    if (nparam >= 0 && kHeaderFraming + 8 * nparam > file_size) {
        PyRef struct_module = mod.lookup("struct");
        if (struct_module) {
            struct_error(struct_module.get(), 4 * nparam);
        }
        return fail(line::ints_read);
    }
    PyRef integerdata_temp = PyRef::steal(read_unpack(file, file_size, kIntegerOffset, 4 * nparam, 'i'));
    if (!integerdata_temp) {
        return fail(line::ints_read);
    }
    if (!PyRef::steal(seek(file, kRealOffset))) {
        return fail(line::reals_seek);
    }
    PyRef realdata_temp = PyRef::steal(read_unpack(file, file_size, kRealOffset, 4 * nparam, 'f'));
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
    return integerdata_temp;
}

// Step 9 and the check that the caller's grid is the dump's: the buffers
// are sized by the caller's grid while the reader fills them by the dump's.
bool read_grid(PyObject* params, PyObject* integerdata_temp, int32_t grid[3]) {
    const struct {
        const char* key;
        int at;
    } keys[] = {{"nx", line::nx}, {"ny", line::ny}, {"nz", line::nz}};
    for (int i = 0; i < 3; ++i) {
        if (!quickio::frame::param_int32(params, keys[i].key, &grid[i])) {
            mod.fail("read_Vintar_bin", keys[i].at);
            return false;
        }
    }
    if (grid[0] > 0 && grid[1] > 0 && grid[2] > 0) {
        long long dump_grid[3];
        const Py_ssize_t grid_index[3] = {3, 4, 6};
        for (int i = 0; i < 3; ++i) {
            if (!tuple_int(integerdata_temp, grid_index[i], &dump_grid[i])) {
                mod.fail("read_Vintar_bin", line::grid_check);
                return false;
            }
        }
        if (dump_grid[0] != grid[0] || dump_grid[1] != grid[1] || dump_grid[2] != grid[2]) {
            PyErr_Format(PyExc_ValueError, "params give grid (%d, %d, %d) but the dump holds (%lld, %lld, %lld)",
                         grid[0], grid[1], grid[2], dump_grid[0], dump_grid[1], dump_grid[2]);
            mod.fail("read_Vintar_bin", line::grid_check);
            return false;
        }
    }
    return true;
}

// Step 12 and the checks after it: the module's read_file fills the four
// buffers, which must then be whole, from the file the loader opened.
bool call_read_file(PyRef buffers[4], const std::string& c_path, const quickio::native::FileIdentity& opened) {
    PyRef reader = mod.lookup("read_file");
    if (!reader) {
        return false;
    }
    PyRef path_bytes = PyRef::steal(PyBytes_FromStringAndSize(c_path.data(), static_cast<Py_ssize_t>(c_path.size())));
    if (!path_bytes) {
        return false;
    }
    PyRef done = PyRef::steal(quickio::frame::call(
        reader.get(), PyRef::steal(PyTuple_Pack(5, buffers[0].get(), buffers[1].get(), buffers[2].get(),
                                                buffers[3].get(), path_bytes.get()))));
    if (!done) {
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        const int64_t written = quickio::frame::receiving_buffer_written(buffers[i].get());
        if (written >= 0 && written != PyObject_Length(buffers[i].get())) {
            return quickio::frame::raise_changed(c_path, "not every value of it could be read");
        }
    }
    return quickio::frame::check_unchanged(opened, c_path);
}

PyObject* read_Vintar_bin(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const params_names[] = {"file_path", "params"};
    PyObject* argv[2];
    if (!quickio::frame::bind_arguments("read_Vintar_bin", params_names, 2, args, kwargs, argv)) {
        return mod.fail("read_Vintar_bin", line::loader_binding);
    }
    auto fail = [](int at) { return mod.fail("read_Vintar_bin", at); };

    quickio::frame::OpenedFile file;
    std::string c_path;
    quickio::native::FileIdentity opened;
    if (!quickio::frame::open_dump(mod, "read_Vintar_bin", argv[0],
                                   {line::path, line::open, line::encode, line::c_path}, file, c_path, &opened)) {
        return nullptr;
    }
    PyRef integerdata_temp = check_header(file.get());
    if (!integerdata_temp) {
        return nullptr;
    }
    int32_t grid[3] = {0, 0, 0};
    if (!read_grid(argv[1], integerdata_temp.get(), grid)) {
        return nullptr;
    }
    const int32_t nx = grid[0], ny = grid[1], nz = grid[2];
    // 64-bit point count. Three 32-bit sizes can exceed even that; such a
    // grid cannot be allocated, so the count saturates into a MemoryError (or
    // an invalid-shape error when its sign is negative).
    int64_t totlen = 0;
    if (__builtin_mul_overflow(int64_t{nx} * ny, int64_t{nz}, &totlen)) {
        totlen = ((nx < 0) ^ (ny < 0) ^ (nz < 0)) ? INT64_MIN : INT64_MAX;
    }

    // The file is closed here: the reader opens the dump on its own.
    file.close();
    const int64_t lengths[4] = {totlen, nx, ny, nz};
    const int buffer_lines[4] = {line::field_buffer, line::x_buffer, line::y_buffer, line::z_buffer};
    PyRef buffers[4];
    for (int i = 0; i < 4; ++i) {
        buffers[i] = PyRef::steal(quickio::frame::new_receiving_buffer(lengths[i]));
        if (!buffers[i]) {
            return fail(buffer_lines[i]);
        }
    }
    if (!call_read_file(buffers, c_path, opened)) {
        return fail(line::call_read_file);
    }

    PyRef shape = PyRef::steal(Py_BuildValue("(iii)", nx, ny, nz));
    if (!shape) {
        return fail(line::reshape);
    }
    PyRef arrays[4];
    arrays[0] = PyRef::steal(quickio::frame::reshape_fortran(mod, buffers[0].get(), shape.get()));
    if (!arrays[0]) {
        return fail(line::reshape);
    }
    const int array_lines[3] = {line::x_array, line::y_array, line::z_array};
    for (int i = 1; i < 4; ++i) {
        arrays[i] = PyRef::steal(quickio::frame::as_array(mod, buffers[i].get()));
        if (!arrays[i]) {
            return fail(array_lines[i - 1]);
        }
    }
    PyObject* result = PyTuple_Pack(4, arrays[0].get(), arrays[1].get(), arrays[2].get(), arrays[3].get());
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
    // Buffers made by the loader were sized from the header it read: the
    // dump must still describe exactly that grid.
    bool exact = true;
    for (int i = 0; i < 4; ++i) {
        exact = exact && quickio::frame::is_receiving_buffer(argv[i]);
    }
    const quickio::native::FieldBuffers buffers{views[0].span(), views[1].span(), views[2].span(), views[3].span(),
                                                exact};
    quickio::native::Error error;
    // Read with the lock held: os.environ changes the environment under it.
    const int threads = quickio::native::default_read_threads();
    const int64_t max_subrecord = quickio::native::field::process_max_subrecord();
    {
        // The views keep the buffers alive and unresizable meanwhile.
        quickio::frame::UnlockedCall unlocked;
        quickio::native::ReadOptions options;
        options.threads = threads;
        options.interrupt = &unlocked;
        options.max_subrecord = max_subrecord;
        error = quickio::native::read_grid_dump(path.c_str(), buffers, options);
    }
    if (error) {
        Module::raise(error, path);
        return fail(line::read_file_check);
    }
    for (int i = 0; i < 4; ++i) {
        quickio::frame::note_receiving_buffer_written(argv[i], views[i].length());
    }
    PyObject* result = PyTuple_Pack(4, argv[0], argv[1], argv[2], argv[3]);
    if (result == nullptr) {
        return fail(line::read_file_result);
    }
    return result;
}

Module& the_module() { return mod; }

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "meshdump",
                          nullptr,
                          0,
                          nullptr,
                          quickio::frame::module_slots<the_module>,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_meshdump() { return PyModuleDef_Init(&module_def); }
