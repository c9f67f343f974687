// Module dorvo.quickio._scan (private): what a dump holds and where it lies
// in its file, read without its field or particle data, and the limits of
// the native readers. The scan is the one place that knows the layout: the
// Python layer takes every offset and size from its results and computes
// none.

// Python.h comes before any standard header: it sets the feature macros.
#include "pyref.hpp"

#include <cstdint>
#include <cstring>

#include "convert.hpp"
#include "dump_input.hpp"
#include "limits.hpp"
#include "plain.hpp"
#include "scan.hpp"

namespace {

namespace native = quickio::native;
namespace plain = quickio::frame::plain;
using quickio::frame::DumpInput;
using quickio::frame::PyRef;

// ---- result types -----------------------------------------------------------

PyStructSequence_Field field_scan_fields[] = {
    {"file_size", "the file's length in bytes"},
    {"framed", "whether the first records carry the markers of a field dump's"},
    {"nparam", "the parameter count, or None for a file too short to hold it"},
    {"int_params", "the integer parameters (int32 array; the first 65536 of more), or None"},
    {"real_params", "the real parameters (float32 array), or None"},
    {"nproc_y", "blocks along y (integer parameter 0), or None"},
    {"nproc_z", "blocks along z (integer parameter 1), or None"},
    {"nx", "grid points along x (integer parameter 3), or None"},
    {"ny", "grid points along y (integer parameter 4), or None"},
    {"nz", "grid points along z (integer parameter 6), or None"},
    {"ndimension", "integer parameter 14, or None when the header has fewer"},
    {"blocks",
     "the block table: int64 (blocks, 8) array of layer, column, y0, z0, nx_loc, ny_loc, nz_loc and "
     "the offset of the block's first value"},
    {"segments",
     "the subrecords of records split into several: int64 (segments, 4) array of the record's "
     "offset, the segment's start in its payload, its offset in the file and its length"},
    {"axes", "(x, y, z) float32 arrays, or None unless every block and axis is in the file"},
    {"axis_offsets", "offsets of the x, y and z values, or None with the axes"},
    {"end", "the offset just past the z values, or None with the axes"},
    {"expected_size",
     "the length of a dump of this header, the blocks it lacks counted as well-formed ones, or "
     "None when the parameters give none"},
    {"first_count", "the first word read as a phase-space block count, or None for a file under 4 bytes"},
    {"holds_first_block", "whether the file holds that block with the shortest entries (n = 0)"},
    {"stopped_at", "the offset of the record where the walk stopped, or None when it went through"},
    {"reason", "why the walk stopped, or ''"},
    {"eof", "whether it stopped because the file ends too soon"},
    {"refusal", "what the field loader refuses beyond the walk, or ''"},
    {nullptr, nullptr},
};
PyStructSequence_Desc field_scan_desc = {
    "dorvo.quickio._scan.FieldScan",
    "What the scan of a field dump found: its header, block table, axes and where its records lie.", field_scan_fields,
    23};

PyStructSequence_Field phase_scan_fields[] = {
    {"file_size", "the file's length in bytes"},
    {"n_dimensions", "the dimension count the walk used"},
    {"entry_bytes", "bytes of one particle's entry, its trailing word included"},
    {"particles", "particles in the blocks the walk accepted"},
    {"blocks",
     "the block table: int64 (blocks, 3) array of the offset of each block's count word, the count "
     "as stored (zero or less: empty) and the offset of its first entry"},
    {"end", "where the walk ended: past the last block, or at the block it stopped at"},
    {"trailing_bytes", "the 0 to 3 bytes after the last block of a walk that went through"},
    {"stopped_at", "the offset of the count word of the block the walk refused, or None"},
    {"reason", "why the walk stopped, or ''"},
    {"eof", "whether it stopped because the file ends too soon"},
    {nullptr, nullptr},
};
PyStructSequence_Desc phase_scan_desc = {
    "dorvo.quickio._scan.PhaseScan",
    "What the scan of a phase-space dump read with a dimension count found: its block table and particle count.",
    phase_scan_fields, 10};

// The module's state: its two result types.
struct State {
    PyTypeObject* field_scan;
    PyTypeObject* phase_scan;
};

State& state_of(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }

// Fills the struct sequence `seq` from `values`, which it steals; false when
// one of them could not be made.
bool fill(PyObject* seq, PyObject* const* values, int n) {
    bool ok = true;
    for (int i = 0; i < n; ++i) {
        ok = ok && values[i] != nullptr;
        PyStructSequence_SetItem(seq, i, values[i]);  // steals, null included
    }
    return ok;
}

// ---- conversions ------------------------------------------------------------

PyObject* text(const char* s) {
    return PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(std::strlen(s)), "backslashreplace");
}

PyObject* boolean(bool b) { return PyBool_FromLong(b); }

PyObject* none() { Py_RETURN_NONE; }

// A one-dimensional array of `n` values of `dtype` copied from `data`.
PyObject* array_of(const char* dtype, const void* data, int64_t n, size_t item) {
    void* dst = nullptr;
    PyRef array = plain::new_array(dtype, &n, 1, &dst);
    if (array && n > 0) std::memcpy(dst, data, static_cast<size_t>(n) * item);
    return array.release();
}

// A (rows, columns) int64 array in column-major order holding `rows`.
PyObject* table_of(const native::TableRows& rows) {
    const int64_t n = rows.count();
    const int64_t shape[2] = {n, rows.columns()};
    void* data = nullptr;
    PyRef table = plain::new_array("int64", shape, 2, &data, 'F');
    for (int c = 0; table && n > 0 && c < rows.columns(); ++c) {
        std::memcpy(static_cast<int64_t*>(data) + c * n, rows.column(c), static_cast<size_t>(n) * sizeof(int64_t));
    }
    return table.release();
}

// ---- the scans ---------------------------------------------------------------

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
    native::TableRows rows(ncols, native::limits::scan_kept_rows);
    native::Error error = input.run(
        [&](native::Source& src, const native::ReadOptions& options) { return scan(src, out, rows, options); });
    if (error) return input.raise(error);
    if (rows.complete()) {
        *table = PyRef::steal(table_of(rows));
        if (!*table) return false;
    } else {
        rows.release();
        const int64_t n = rows.count();
        const int64_t shape[2] = {n, ncols};
        void* data = nullptr;
        *table = plain::new_array("int64", shape, 2, &data, 'F');
        if (!*table) return false;
        int64_t* columns[native::TableRows::max_columns];
        for (int c = 0; c < ncols; ++c) columns[c] = static_cast<int64_t*>(data) + c * n;
        native::TableRows into(ncols, columns, n);
        Result again;
        error = input.run(
            [&](native::Source& src, const native::ReadOptions& options) { return scan(src, &again, into, options); });
        if (!error && into.count() != n) {
            error = native::Error::in_file(native::Status::changed, "the file changed while it was scanned");
        }
    }
    if (!error) error = input.finish();
    return error ? input.raise(error) : true;
}

// Integer parameter `index` of a header whose parameters were read, or None.
PyObject* param(const native::FieldScan& s, int index) {
    const bool held = s.has_params && index < s.params_kept;
    return plain::int_or_none(held, held ? s.int_params[index] : 0);
}

PyObject* axes_of(const native::FieldScan& s) {
    if (!s.whole) return none();
    const int64_t lens[3] = {s.header.nx, s.header.ny, s.header.nz};
    PyRef axes = PyRef::steal(PyTuple_New(3));
    for (int i = 0; i < 3 && axes; ++i) {
        PyObject* a = array_of("float32", s.axes[i].get(), lens[i], sizeof(float));
        if (a == nullptr) return nullptr;
        PyTuple_SET_ITEM(axes.get(), i, a);
    }
    return axes.release();
}

PyObject* field_result(PyTypeObject* type, const native::FieldScan& s, PyObject* table) {
    namespace idx = native::field;
    PyRef seq = PyRef::steal(PyStructSequence_New(type));
    if (!seq) return nullptr;
    const bool stopped = static_cast<bool>(s.stop.error);
    PyObject* values[] = {
        PyLong_FromLongLong(s.file_size),
        boolean(s.framed),
        plain::int_or_none(s.has_nparam, s.nparam),
        s.has_params ? array_of("int32", s.int_params.get(), s.params_kept, sizeof(int32_t)) : none(),
        s.has_params ? array_of("float32", s.real_params.get(), s.params_kept, sizeof(float)) : none(),
        param(s, idx::idx_nproc_y),
        param(s, idx::idx_nproc_z),
        param(s, idx::idx_nx),
        param(s, idx::idx_ny),
        param(s, idx::idx_nz),
        param(s, idx::idx_ndimension),
        PyRef::ref(table).release(),
        table_of(s.segments),
        axes_of(s),
        s.whole ? Py_BuildValue("(LLL)", static_cast<long long>(s.axes_at[0]), static_cast<long long>(s.axes_at[1]),
                                static_cast<long long>(s.axes_at[2]))
                : none(),
        plain::int_or_none(s.whole, s.end),
        plain::int_or_none(s.expected_size >= 0, s.expected_size),
        plain::int_or_none(s.has_first_count, s.first_count),
        boolean(s.holds_first_block),
        plain::int_or_none(stopped, s.stop.at),
        text(s.stop.error.message),
        boolean(s.stop.error.status == native::Status::eof_error),
        text(s.refusal.message),
    };
    return fill(seq.get(), values, 23) ? seq.release() : nullptr;
}

PyObject* phase_result(PyTypeObject* type, const native::PhaseScan& s, int32_t n, PyObject* table) {
    PyRef seq = PyRef::steal(PyStructSequence_New(type));
    if (!seq) return nullptr;
    const bool stopped = static_cast<bool>(s.stop.error);
    PyObject* values[] = {
        PyLong_FromLongLong(s.file_size),
        PyLong_FromLong(n),
        PyLong_FromLongLong(s.entry_bytes),
        PyLong_FromLongLong(s.particles),
        PyRef::ref(table).release(),
        PyLong_FromLongLong(s.end),
        PyLong_FromLongLong(s.trailing_bytes),
        plain::int_or_none(stopped, s.stop.at),
        text(s.stop.error.message),
        boolean(s.stop.error.status == native::Status::eof_error),
    };
    return fill(seq.get(), values, 10) ? seq.release() : nullptr;
}

// ---- functions --------------------------------------------------------------

const char field_doc[] =
    "field(source)\n--\n\n"
    "Scans the field dump at `source` (a path as str, bytes or os.PathLike, or a binary file object with\n"
    "seek() and read()) without reading its field data: a FieldScan. A broken dump is reported in it, not\n"
    "refused; OSError for a source that cannot be read or that changed while it was scanned.";

PyObject* field(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"source", nullptr};
    PyObject* source = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:field", const_cast<char**>(names), &source)) return nullptr;
    DumpInput input;
    if (!input.set(source)) return nullptr;
    native::FieldScan scan;
    PyRef table;
    if (!scan_with_table(input, native::field_column::ncols, native::scan_field, &scan, &table)) return nullptr;
    return field_result(state_of(module).field_scan, scan, table.get());
}

const char phase_doc[] =
    "phase(source, n_dimensions)\n--\n\n"
    "Scans the phase-space dump at `source` read with `n_dimensions` (an int), reading only its block counts:\n"
    "a PhaseScan. A block that announces more particles than the file holds is reported in it, not refused;\n"
    "ValueError for a negative dimension count, OSError for a source that cannot be read.";

PyObject* phase(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"source", "n_dimensions", nullptr};
    PyObject* source = nullptr;
    int n = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Oi:phase", const_cast<char**>(names), &source, &n)) {
        return nullptr;
    }
    if (native::Error e = native::check_dimensions(n)) {
        quickio::frame::Module::raise(e, "");
        return nullptr;
    }
    DumpInput input;
    if (!input.set(source)) return nullptr;
    native::PhaseScan scan;
    PyRef table;
    auto scan_n = [n](native::Source& src, native::PhaseScan* out, native::TableRows& rows,
                      const native::ReadOptions& options) { return native::scan_phase(src, n, out, rows, options); };
    if (!scan_with_table(input, native::phase_column::ncols, scan_n, &scan, &table)) return nullptr;
    return phase_result(state_of(module).phase_scan, scan, n, table.get());
}

const char most_dimensions_doc[] =
    "most_dimensions(file_size)\n--\n\n"
    "The largest dimension count a phase-space dump of `file_size` bytes is read with: one particle must fit\n"
    "in the file, or, for a file too short to hold one, any count up to 16.";

PyObject* most_dimensions(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"file_size", nullptr};
    long long size = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "L:most_dimensions", const_cast<char**>(names), &size)) {
        return nullptr;
    }
    return PyLong_FromLong(native::most_dimensions(size));
}

const char particle_bytes_doc[] =
    "particle_bytes(n_dimensions)\n--\n\n"
    "The bytes one particle takes in a phase-space dump of `n_dimensions`: its block's count word and its\n"
    "2n+1 values. A file shorter than that holds no particle.";

PyObject* particle_bytes(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"n_dimensions", nullptr};
    long long n = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "L:particle_bytes", const_cast<char**>(names), &n)) return nullptr;
    if (n < 0 || n >= int64_t{1} << 60) {
        PyErr_Format(PyExc_ValueError, "particle_bytes: n_dimensions %lld is out of range", n);
        return nullptr;
    }
    return PyLong_FromLongLong(native::one_particle_bytes(n));
}

PyMethodDef functions[] = {
    plain::function<field>("field", field_doc),
    plain::function<phase>("phase", phase_doc),
    plain::function<most_dimensions>("most_dimensions", most_dimensions_doc),
    plain::function<particle_bytes>("particle_bytes", particle_bytes_doc),
    {nullptr, nullptr, 0, nullptr},
};

// ---- the module -------------------------------------------------------------

// Each limit of limits.hpp as an upper-case int attribute, and the longest
// subrecord of the field format.
int add_limits(PyObject* module) {
    for (const native::limits::Named& limit : native::limits::all) {
        char name[64];
        size_t i = 0;
        for (; limit.name[i] != '\0' && i + 1 < sizeof name; ++i) {
            name[i] =
                static_cast<char>(limit.name[i] >= 'a' && limit.name[i] <= 'z' ? limit.name[i] - 32 : limit.name[i]);
        }
        name[i] = '\0';
        PyRef value = PyRef::steal(PyLong_FromLongLong(limit.value));
        if (!value || PyObject_SetAttrString(module, name, value.get()) < 0) return -1;
    }
    PyRef sub = PyRef::steal(PyLong_FromLongLong(native::field::max_subrecord));
    return sub && PyObject_SetAttrString(module, "MAX_SUBRECORD", sub.get()) == 0 ? 0 : -1;
}

int add_type(PyObject* module, PyStructSequence_Desc* desc, const char* name, PyTypeObject** slot) {
    *slot = PyStructSequence_NewType(desc);
    if (*slot == nullptr) return -1;
    return PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(*slot));
}

int exec(PyObject* module) {
    State& s = state_of(module);
    if (plain::prepare(module) < 0) return -1;
    if (add_type(module, &field_scan_desc, "FieldScan", &s.field_scan) < 0) return -1;
    if (add_type(module, &phase_scan_desc, "PhaseScan", &s.phase_scan) < 0) return -1;
    return add_limits(module);
}

int traverse(PyObject* module, visitproc visit, void* arg) {
    State& s = state_of(module);
    Py_VISIT(s.field_scan);
    Py_VISIT(s.phase_scan);
    return 0;
}

int clear(PyObject* module) {
    State& s = state_of(module);
    Py_CLEAR(s.field_scan);
    Py_CLEAR(s.phase_scan);
    return 0;
}

void free_module(void* module) { clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec)},
    {0, nullptr},
};

const char module_doc[] =
    "What a dump holds and where it lies in its file, read without its field or particle data\n"
    "(field(), phase()); the dimension counts a file's length allows (most_dimensions(),\n"
    "particle_bytes()); and, as upper-case int attributes, the sizes at which the native readers,\n"
    "the scan and the reductions split their work.";

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "dorvo.quickio._scan",
                          module_doc,
                          sizeof(State),
                          functions,
                          slots,
                          traverse,
                          clear,
                          free_module};

}  // namespace

PyMODINIT_FUNC PyInit__scan() { return PyModuleDef_Init(&module_def); }
