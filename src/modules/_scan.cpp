// Module _scan (dorvo.quickio._scan, private): what a dump holds, read
// without its field or particle data. `field(source)` and
// `phase(source, n_dimensions)` return a dict of the header, the block table
// as one int64 array and the verdict. `source` is a path (str, bytes or
// os.PathLike) or a binary file object with seek() and read().

// Python.h comes before any standard header: it sets the feature macros.
#include "pyref.hpp"

#include <cstdint>
#include <cstring>

#include "args.hpp"
#include "convert.hpp"
#include "dump_input.hpp"
#include "loader.hpp"
#include "module.hpp"
#include "scan.hpp"

namespace {

namespace native = quickio::native;
using quickio::frame::DumpInput;
using quickio::frame::Module;
using quickio::frame::PyRef;

PyObject* field(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* phase(PyObject*, PyObject* args, PyObject* kwargs);

PyMethodDef field_def = quickio::frame::method_def<field>("field");
PyMethodDef phase_def = quickio::frame::method_def<phase>("phase");

// Source lines of the steps, as shown in traceback entries.
namespace line {
constexpr int numpy = 8, field_binding = 10, field_source = 11, field_scan = 12, field_result = 13;
constexpr int phase_binding = 20, phase_source = 21, phase_n = 22, phase_scan = 23, phase_result = 24;
}  // namespace line

// Process-wide and never destroyed, as the other modules' frames. Private:
// not importable by its bare name.
Module& mod = *new Module({
    "_scan",
    "dorvo/quickio/_scan",
    {{"numpy", "np", line::numpy}},
    {{&field_def, line::field_binding}, {&phase_def, line::phase_binding}},
    false,
});

// A first pass keeps up to this many rows of a block table itself (4 MiB
// for a field dump); a larger table is counted, made to measure as a NumPy
// array, and filled by a second pass, so that a dump of millions of tiny
// blocks needs the memory of its table once, not twice.
constexpr int64_t kept_rows = int64_t{1} << 16;

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    PyRef owned = PyRef::steal(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* new_int(int64_t v) { return PyLong_FromLongLong(static_cast<long long>(v)); }

PyObject* none() { Py_RETURN_NONE; }

// A one-dimensional array of `n` values of `dtype` copied from `data`.
PyObject* array_of(const char* dtype, const void* data, int64_t n, size_t item) {
    void* dst = nullptr;
    PyRef array = quickio::frame::new_array(mod, dtype, &n, 1, &dst);
    if (array && n > 0) std::memcpy(dst, data, static_cast<size_t>(n) * item);
    return array.release();
}

// The block table as one (rows, columns) int64 array in column-major order,
// so that every column is one contiguous run: copied from the rows the
// first pass kept, or, when it kept only some, filled by a second pass
// straight into the array's columns (with the interpreter lock released, as
// the first: nothing else holds the array yet).
//
// `scan(source, result, rows, options)` is one pass over the dump. On
// success `*out` holds the first pass's result and `*table` the table; on
// failure a Python exception is set.
template <class Result, class Scan>
bool scan_with_table(DumpInput& input, int ncols, Scan&& scan, Result* out, PyRef* table) {
    native::TableRows rows(ncols, kept_rows);
    native::Error error = input.run([&](native::Source& src, const native::ReadOptions& options) {
        return scan(src, out, rows, options);
    });
    if (error) return input.raise(error);

    const int64_t n = rows.count();
    const int64_t shape[2] = {n, ncols};
    void* data = nullptr;
    *table = quickio::frame::new_array(mod, "int64", shape, 2, &data, 'F');
    if (!*table) return false;
    auto* base = static_cast<int64_t*>(data);
    if (n > 0 && rows.complete()) {
        for (int c = 0; c < ncols; ++c) {
            std::memcpy(base + c * n, rows.column(c), static_cast<size_t>(n) * sizeof(int64_t));
        }
    } else if (n > 0) {
        rows.release();
        int64_t* columns[native::TableRows::max_columns];
        for (int c = 0; c < ncols; ++c) columns[c] = base + c * n;
        native::TableRows into(ncols, columns, n);
        Result again;
        error = input.run([&](native::Source& src, const native::ReadOptions& options) {
            return scan(src, &again, into, options);
        });
        if (!error && into.count() != n) {
            error = native::Error::in_file(native::Status::changed, "the file changed while it was scanned");
        }
    }
    if (!error) error = input.finish();
    return error ? input.raise(error) : true;
}

// The stop of a walk: "stopped_at", "reason" and "eof".
bool set_stop(PyObject* dict, const native::Stop& stop) {
    const bool stopped = static_cast<bool>(stop.error);
    return set_item(dict, "stopped_at", stopped ? new_int(stop.at) : none()) &&
           set_item(dict, "reason", PyUnicode_DecodeUTF8(stop.error.message, std::strlen(stop.error.message),
                                                          "backslashreplace")) &&
           set_item(dict, "eof", PyBool_FromLong(stop.error.status == native::Status::eof_error));
}

PyObject* field_result(const native::FieldScan& s, PyObject* table) {
    PyRef d = PyRef::steal(PyDict_New());
    if (!d) return nullptr;
    PyObject* dict = d.get();
    PyRef axes;
    if (s.whole) {
        const int64_t lens[3] = {s.header.nx, s.header.ny, s.header.nz};
        axes = PyRef::steal(PyTuple_New(3));
        for (int i = 0; i < 3 && axes; ++i) {
            PyObject* a = array_of("float32", s.axes[i].get(), lens[i], sizeof(float));
            if (a == nullptr) return nullptr;
            PyTuple_SET_ITEM(axes.get(), i, a);
        }
        if (!axes) return nullptr;
    }
    const bool ok =
        set_item(dict, "file_size", new_int(s.file_size)) &&
        set_item(dict, "framed", PyBool_FromLong(s.framed)) &&
        set_item(dict, "nparam", s.has_nparam ? new_int(s.nparam) : none()) &&
        set_item(dict, "int_params",
                 s.has_params ? array_of("int32", s.int_params.get(), s.params_kept, sizeof(int32_t)) : none()) &&
        set_item(dict, "real_params",
                 s.has_params ? array_of("float32", s.real_params.get(), s.params_kept, sizeof(float)) : none()) &&
        set_item(dict, "blocks", PyRef::ref(table).release()) &&
        set_item(dict, "axes", axes ? axes.release() : none()) &&
        set_item(dict, "end", s.whole ? new_int(s.end) : none()) && set_stop(dict, s.stop) &&
        set_item(dict, "refusal", PyUnicode_DecodeUTF8(s.refusal.message, std::strlen(s.refusal.message),
                                                       "backslashreplace"));
    return ok ? d.release() : nullptr;
}

PyObject* phase_result(const native::PhaseScan& s, int32_t n, PyObject* table) {
    PyRef d = PyRef::steal(PyDict_New());
    if (!d) return nullptr;
    PyObject* dict = d.get();
    const bool ok = set_item(dict, "file_size", new_int(s.file_size)) &&
                    set_item(dict, "n_dimensions", new_int(n)) &&
                    set_item(dict, "particles", new_int(s.particles)) &&
                    set_item(dict, "blocks", PyRef::ref(table).release()) &&
                    set_item(dict, "end", new_int(s.end)) && set_stop(dict, s.stop);
    return ok ? d.release() : nullptr;
}

PyObject* field(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const params_names[] = {"source"};
    PyObject* argv[1];
    if (!quickio::frame::bind_arguments("field", params_names, 1, args, kwargs, argv)) {
        return mod.fail("field", line::field_binding);
    }
    auto fail = [](int at) { return mod.fail("field", at); };
    DumpInput input;
    if (!input.set(argv[0])) return fail(line::field_source);

    native::FieldScan scan;
    PyRef table;
    if (!scan_with_table(input, native::field_column::ncols, native::scan_field, &scan, &table)) {
        return fail(line::field_scan);
    }
    PyObject* result = field_result(scan, table.get());
    return result != nullptr ? result : fail(line::field_result);
}

PyObject* phase(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const params_names[] = {"source", "n_dimensions"};
    PyObject* argv[2];
    if (!quickio::frame::bind_arguments("phase", params_names, 2, args, kwargs, argv)) {
        return mod.fail("phase", line::phase_binding);
    }
    auto fail = [](int at) { return mod.fail("phase", at); };
    int32_t n = 0;
    if (!quickio::frame::to_int32(argv[1], &n)) return fail(line::phase_n);
    if (native::Error e = native::check_dimensions(n)) {
        Module::raise(e, "");
        return fail(line::phase_n);
    }
    DumpInput input;
    if (!input.set(argv[0])) return fail(line::phase_source);

    native::PhaseScan scan;
    PyRef table;
    auto scan_n = [n](native::Source& src, native::PhaseScan* out, native::TableRows& rows,
                      const native::ReadOptions& options) { return native::scan_phase(src, n, out, rows, options); };
    if (!scan_with_table(input, native::phase_column::ncols, scan_n, &scan, &table)) {
        return fail(line::phase_scan);
    }
    PyObject* result = phase_result(scan, n, table.get());
    return result != nullptr ? result : fail(line::phase_result);
}

Module& the_module() { return mod; }

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_scan", nullptr, 0, nullptr,
                          quickio::frame::module_slots<the_module>, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__scan() { return PyModuleDef_Init(&module_def); }
