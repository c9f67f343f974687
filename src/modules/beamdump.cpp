// Module beamdump: phase-space dumps. `total_phase_space_read` loads a dump
// by name and returns its particles as a (2n+1, P) column-major array;
// `beamdump` fills a caller-supplied float32 buffer from a dump.

// Python.h comes before any standard header: it sets the feature macros.
#include "pyref.hpp"

#include <cstdint>
#include <string>

#include "args.hpp"
#include "convert.hpp"
#include "loader.hpp"
#include "module.hpp"
#include "phase_reader.hpp"
#include "pool.hpp"
#include "recvbuf.hpp"

namespace {

using quickio::frame::FloatView;
using quickio::frame::Module;
using quickio::frame::PyRef;

PyObject* total_phase_space_read(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* beamdump(PyObject*, PyObject* args, PyObject* kwargs);

PyMethodDef total_phase_space_read_def = quickio::frame::method_def<total_phase_space_read>("total_phase_space_read");
PyMethodDef beamdump_def = quickio::frame::method_def<beamdump>("beamdump");

// Process-wide and never destroyed: the module lives until the process ends,
// and its references must not be dropped after the interpreter is gone.
Module& mod = *new Module({
    "beamdump",
    "dorvo\\quickio\\beamdump",
    {{"numpy", "np", 10}},
    {{&total_phase_space_read_def, 14}, {&beamdump_def, 39}},
});

// Source lines of the steps, as shown in traceback entries.
namespace line {
constexpr int loader_binding = 14, path = 18, open = 19, encode = 20, c_path = 22, n_dimensions = 23;
constexpr int count = 25, buffer = 30, call_beamdump = 32, reshape = 34, result = 35;
[[maybe_unused]] constexpr int jump = 27, total = 28;  // steps that raise nothing of their own
constexpr int beamdump_binding = 39, beamdump_ps = 41, beamdump_rest = 43;
}  // namespace line

// A negative dimension count has no layout; refusing it up front keeps the
// passes from seeking backwards forever or sizing entries below one word.
bool check_dimensions(int32_t n) {
    if (quickio::native::Error e = quickio::native::check_dimensions(n)) {
        return Module::raise(e, "");
    }
    return true;
}

// Step 6, the count pass, run on the file the loader opened (a file put in
// its place since is refused) with the interpreter lock released.
bool count_particles(const std::string& c_path, int32_t n, const quickio::native::FileIdentity& opened,
                     int64_t* particles) {
    quickio::native::Error error;
    {
        quickio::frame::UnlockedCall unlocked;
        quickio::native::ReadOptions options;
        options.interrupt = &unlocked;
        options.expect = &opened;
        error = quickio::native::count_particles(c_path.c_str(), n, particles, options);
    }
    return error ? Module::raise(error, c_path) : true;
}

// Step 10 and the checks after it: the module's `beamdump` fills the
// buffer, which must then hold every particle the count pass found, from
// the file the loader opened.
bool call_beamdump(PyObject* ps, int32_t n, const std::string& c_path, const quickio::native::FileIdentity& opened,
                   int64_t tot_dimension) {
    PyRef reader = mod.lookup("beamdump");
    if (!reader) {
        return false;
    }
    PyRef call_args =
        PyRef::steal(Py_BuildValue("(Oiy#)", ps, n, c_path.data(), static_cast<Py_ssize_t>(c_path.size())));
    PyRef done = PyRef::steal(quickio::frame::call(reader.get(), std::move(call_args)));
    if (!done) {
        return false;
    }
    const int64_t written = quickio::frame::receiving_buffer_written(ps);
    if (written >= 0 && written != tot_dimension) {
        return quickio::frame::raise_changed(c_path,
                                             "it held fewer particles when they were read than when they "
                                             "were counted");
    }
    return quickio::frame::check_unchanged(opened, c_path);
}

PyObject* total_phase_space_read(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const params_names[] = {"file_path", "params"};
    PyObject* argv[2];
    if (!quickio::frame::bind_arguments("total_phase_space_read", params_names, 2, args, kwargs, argv)) {
        return mod.fail("total_phase_space_read", line::loader_binding);
    }
    auto fail = [](int at) { return mod.fail("total_phase_space_read", at); };

    // The file object is held, never read, until the function returns.
    quickio::frame::OpenedFile file;
    std::string c_path;
    quickio::native::FileIdentity opened;
    if (!quickio::frame::open_dump(mod, "total_phase_space_read", argv[0],
                                   {line::path, line::open, line::encode, line::c_path}, file, c_path, &opened)) {
        return nullptr;
    }
    int32_t n_dimensions = 0;
    if (!quickio::frame::param_int32(argv[1], "n_dimensions", &n_dimensions) || !check_dimensions(n_dimensions)) {
        return fail(line::n_dimensions);
    }
    int64_t part_number = 0;
    if (!count_particles(c_path, n_dimensions, opened, &part_number)) {
        return fail(line::count);
    }
    const int64_t jump = 2 * int64_t{n_dimensions} + 1;
    // The count pass has checked every block against the file's size, so the
    // product is bounded by the file's length.
    const int64_t tot_dimension = jump * part_number;

    PyRef ps = PyRef::steal(quickio::frame::new_receiving_buffer(tot_dimension));
    if (!ps) {
        return fail(line::buffer);
    }
    if (!call_beamdump(ps.get(), n_dimensions, c_path, opened, tot_dimension)) {
        return fail(line::call_beamdump);
    }
    PyRef shape =
        PyRef::steal(Py_BuildValue("(LL)", static_cast<long long>(jump), static_cast<long long>(part_number)));
    if (!shape) {
        return fail(line::reshape);
    }
    PyRef reshaped = PyRef::steal(quickio::frame::reshape_fortran(mod, ps.get(), shape.get()));
    if (!reshaped) {
        return fail(line::reshape);
    }
    PyObject* result = quickio::frame::as_array(mod, reshaped.get());
    if (result == nullptr) {
        return fail(line::result);
    }
    return result;
}

PyObject* beamdump(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const params_names[] = {"ps", "n_dimensions", "f_path"};
    PyObject* argv[3];
    if (!quickio::frame::bind_arguments("beamdump", params_names, 3, args, kwargs, argv)) {
        return mod.fail("beamdump", line::beamdump_binding);
    }
    auto fail = [](int at) { return mod.fail("beamdump", at); };

    FloatView ps_view;
    if (!ps_view.convert(argv[0])) {
        return fail(line::beamdump_ps);
    }
    if (ps_view.element0() == nullptr) {
        return fail(line::beamdump_rest);
    }
    int32_t n_dimensions = 0;
    if (!quickio::frame::to_int32(argv[1], &n_dimensions) || !check_dimensions(n_dimensions)) {
        return fail(line::beamdump_rest);
    }
    std::string path;
    if (!quickio::frame::to_byte_path(argv[2], path)) {
        return fail(line::beamdump_rest);
    }
    quickio::native::Error error;
    int64_t written = 0;
    // Read with the lock held: os.environ changes the environment under it.
    const int threads = quickio::native::default_read_threads();
    {
        // The view keeps the buffer alive and unresizable meanwhile.
        quickio::frame::UnlockedCall unlocked;
        quickio::native::ReadOptions options;
        options.threads = threads;
        options.interrupt = &unlocked;
        error = quickio::native::read_particles(path.c_str(), n_dimensions, ps_view.span(), &written, options);
    }
    if (error) {
        Module::raise(error, path);
        return fail(line::beamdump_rest);
    }
    quickio::frame::note_receiving_buffer_written(argv[0], written);
    Py_INCREF(argv[0]);
    return argv[0];
}

Module& the_module() { return mod; }

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "beamdump",
                          nullptr,
                          0,
                          nullptr,
                          quickio::frame::module_slots<the_module>,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_beamdump() { return PyModuleDef_Init(&module_def); }
