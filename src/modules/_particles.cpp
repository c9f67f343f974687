// Module dorvo.quickio._particles: the streaming reductions of phase-space
// dumps behind dorvo.quickio.particles, which checks the arguments, works
// out the bin edges the way NumPy does and calls these. Each function runs
// its passes over the file with the interpreter lock released and Ctrl-C
// ending them; none keeps more than its result and the reader's buffers.
//
//   extent(path, n_dimensions, components, where, progress)
//       -> (lows, highs, identity): finite min and max of each component
//   histogram(path, n_dimensions, axes, weight, where, expect, progress)
//       -> counts (int64) or weighted sums (float64), one axis or two
//   moments(path, n_dimensions, where, progress)
//       -> (count, min, max, mean, std, nan)
//   select(path, n_dimensions, where, progress) -> (2n+1, K) float32, order F
//
// `path` is the dump's full path as bytes; `where` a sequence of
// (component, lo, hi); `axes` a sequence of (component, edges, span), span
// None for the edge search of histogramdd and a float for the equal-bin rule
// of histogram; `expect` None or the identity that extent returned, which
// the file must still have; `progress` None or a writable int64 that counts
// the bytes of entries handed over.

// Python.h comes before any standard header: it sets the feature macros.
#include "pyref.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "args.hpp"
#include "convert.hpp"
#include "loader.hpp"
#include "module.hpp"
#include "phase_format.hpp"
#include "pool.hpp"
#include "reductions.hpp"
#include "source.hpp"

namespace {

namespace native = quickio::native;
using quickio::frame::Module;
using quickio::frame::PyRef;

PyObject* extent(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* histogram(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* moments(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* select(PyObject*, PyObject* args, PyObject* kwargs);

using quickio::frame::method_def;

PyMethodDef extent_def = method_def<extent>("extent");
PyMethodDef histogram_def = method_def<histogram>("histogram");
PyMethodDef moments_def = method_def<moments>("moments");
PyMethodDef select_def = method_def<select>("select");

// Source lines of each function's steps, as shown in traceback entries:
// binding, conversion of the arguments, the passes, the result.
struct Lines {
    int binding, arguments, pass, result;
};
constexpr Lines extent_lines{10, 11, 12, 13}, histogram_lines{20, 21, 22, 23};
constexpr Lines moments_lines{30, 31, 32, 33}, select_lines{40, 41, 42, 43};

// Process-wide and never destroyed, as for the public modules. Private: it
// is not importable by its bare name.
Module& mod = *new Module({
    "_particles",
    "dorvo\\quickio\\_particles",
    {{"numpy", "np", 5}},
    {{&extent_def, extent_lines.binding},
     {&histogram_def, histogram_lines.binding},
     {&moments_def, moments_lines.binding},
     {&select_def, select_lines.binding}},
    false,
});

// ---- argument conversions ---------------------------------------------------

bool to_int64(PyObject* obj, int64_t* out) {
    const long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

// A sequence of exactly `n` items (any n when n < 0), as a fast sequence.
PyRef items_of(PyObject* obj, Py_ssize_t n, const char* what) {
    PyRef seq = PyRef::steal(PySequence_Fast(obj, what));
    if (seq && n >= 0 && PySequence_Fast_GET_SIZE(seq.get()) != n) {
        PyErr_Format(PyExc_ValueError, "%s: expected %zd items, got %zd", what, n,
                     PySequence_Fast_GET_SIZE(seq.get()));
        return PyRef();
    }
    return seq;
}

// A component index. One past int64 is out of every dump's range, as a
// negative one is: ValueError, as the native checks say for any other.
bool to_component(PyObject* obj, int64_t* out, const char* what) {
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow != 0) {
        PyErr_Format(PyExc_ValueError, "%s: component %S out of range", what, index.get());
        return false;
    }
    *out = v;
    return true;
}

bool to_windows(PyObject* obj, std::vector<native::Window>& out) {
    PyRef seq = items_of(obj, -1, "where must be a sequence of (component, lo, hi)");
    if (!seq) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyRef triple = items_of(PySequence_Fast_GET_ITEM(seq.get(), i), 3, "where entry");
        if (!triple) return false;
        PyObject** t = PySequence_Fast_ITEMS(triple.get());
        native::Window w;
        if (!to_component(t[0], &w.component, "where")) return false;
        w.lo = PyFloat_AsDouble(t[1]);
        if (w.lo == -1.0 && PyErr_Occurred()) return false;
        w.hi = PyFloat_AsDouble(t[2]);
        if (w.hi == -1.0 && PyErr_Occurred()) return false;
        out.push_back(w);
    }
    return true;
}

bool to_components(PyObject* obj, std::vector<int64_t>& out) {
    PyRef seq = items_of(obj, -1, "components must be a sequence of ints");
    if (!seq) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        int64_t k;
        if (!to_component(PySequence_Fast_GET_ITEM(seq.get(), i), &k, "histogram")) return false;
        out.push_back(k);
    }
    return true;
}

bool to_doubles(PyObject* obj, std::vector<double>& out) {
    PyRef seq = items_of(obj, -1, "edges must be a sequence of floats");
    if (!seq) return false;
    out.reserve(static_cast<size_t>(PySequence_Fast_GET_SIZE(seq.get())));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        const double v = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(seq.get(), i));
        if (v == -1.0 && PyErr_Occurred()) return false;
        out.push_back(v);
    }
    return true;
}

// None, or the (device, inode, size, mtime_ns, ctime_ns) that extent
// returned.
bool to_identity(PyObject* obj, native::FileIdentity* out, bool* given) {
    *given = obj != Py_None;
    if (!*given) return true;
    PyRef seq = items_of(obj, 5, "expect");
    if (!seq) return false;
    PyObject** t = PySequence_Fast_ITEMS(seq.get());
    int64_t device, inode;
    if (!to_int64(t[0], &device) || !to_int64(t[1], &inode) || !to_int64(t[2], &out->size) ||
        !to_int64(t[3], &out->mtime_ns) || !to_int64(t[4], &out->ctime_ns)) {
        return false;
    }
    out->device = static_cast<uint64_t>(device);
    out->inode = static_cast<uint64_t>(inode);
    return true;
}

PyObject* identity_tuple(const native::FileIdentity& id) {
    return Py_BuildValue("(LLLLL)", static_cast<long long>(id.device), static_cast<long long>(id.inode),
                         static_cast<long long>(id.size), static_cast<long long>(id.mtime_ns),
                         static_cast<long long>(id.ctime_ns));
}

// The progress counter: a writable, aligned int64 held for the call.
class Progress {
public:
    Progress() noexcept = default;
    ~Progress() {
        if (held_) PyBuffer_Release(&view_);
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    bool convert(PyObject* obj) {
        if (obj == Py_None) return true;
        if (PyObject_GetBuffer(obj, &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) return false;
        held_ = true;
        if (view_.len != 8 || reinterpret_cast<uintptr_t>(view_.buf) % 8 != 0) {
            PyErr_SetString(PyExc_ValueError, "progress must be one aligned, writable int64");
            return false;
        }
        return true;
    }
    int64_t* counter() const noexcept { return held_ ? static_cast<int64_t*>(view_.buf) : nullptr; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The arguments every function starts with.
struct Common {
    std::string path;
    int32_t n = 0;
    std::vector<native::Window> where;
    Progress progress;
};

bool convert_common(PyObject* path, PyObject* n, PyObject* where, PyObject* progress, Common& out) {
    return quickio::frame::to_byte_path(path, out.path) && quickio::frame::to_int32(n, &out.n) &&
           to_windows(where, out.where) && out.progress.convert(progress);
}

// Binding and conversion of (path, n_dimensions, where, progress), the
// arguments of moments and select; on failure the traceback entry is added.
bool bind_common(const char* function, const Lines& lines, PyObject* args, PyObject* kwargs, Common& c) {
    static const char* const names[] = {"path", "n_dimensions", "where", "progress"};
    PyObject* argv[4];
    if (!quickio::frame::bind_arguments(function, names, 4, args, kwargs, argv)) {
        mod.fail(function, lines.binding);
        return false;
    }
    if (!convert_common(argv[0], argv[1], argv[2], argv[3], c)) {
        mod.fail(function, lines.arguments);
        return false;
    }
    if (native::Error e = native::check_dimensions(c.n)) {
        Module::raise(e, c.path);
        mod.fail(function, lines.arguments);
        return false;
    }
    return true;
}

// ---- passes ---------------------------------------------------------------

// `threads` is read with the interpreter lock held (see read_threads()).
native::PassOptions pass_options(const Common& c, native::Interrupt& interrupt, const native::FileIdentity* expect,
                                 int threads) {
    native::PassOptions options;
    options.read.threads = threads;
    options.read.interrupt = &interrupt;
    options.read.expect = expect;
    options.progress = c.progress.counter();
    return options;
}

// The reader threads a pass may run, from the environment: read with the
// interpreter lock held, since os.environ changes the environment under it.
int read_threads() { return native::default_read_threads(); }

// Opens the dump and runs `work` on it with the interpreter lock released,
// then checks that the file kept its identity throughout. `expect`, when
// given, is the identity the file must have from the start.
template <class Work>
bool run_passes(const Common& c, const native::FileIdentity* expect, native::FileIdentity* seen, Work work) {
    native::Error error;
    const int threads = read_threads();
    {
        quickio::frame::UnlockedCall unlocked;
        const native::PassOptions options = pass_options(c, unlocked, expect, threads);
        native::FileSource src;
        error = src.open(c.path.c_str(), &unlocked, expect);
        if (!error) error = work(src, options);
        if (!error) error = src.verify_unchanged();
        if (!error && seen != nullptr) *seen = src.identity();
    }
    return error ? Module::raise(error, c.path) : true;
}

PyObject* float_or_none(bool present, double v) {
    if (!present) Py_RETURN_NONE;
    return PyFloat_FromDouble(v);
}

// ---- functions ----------------------------------------------------------

PyObject* extent(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"path", "n_dimensions", "components", "where", "progress"};
    PyObject* argv[5];
    auto fail = [](int at) { return mod.fail("extent", at); };
    if (!quickio::frame::bind_arguments("extent", names, 5, args, kwargs, argv)) return fail(extent_lines.binding);
    Common c;
    std::vector<int64_t> components;
    if (!convert_common(argv[0], argv[1], argv[3], argv[4], c) || !to_components(argv[2], components)) {
        return fail(extent_lines.arguments);
    }
    std::vector<native::Extent> found(components.size());
    native::FileIdentity seen;
    if (!run_passes(c, nullptr, &seen, [&](native::Source& src, const native::PassOptions& o) {
            return native::finite_extent(src, c.n, c.where, components, found.data(), o);
        })) {
        return fail(extent_lines.pass);
    }
    PyRef lows = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
    PyRef highs = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
    if (!lows || !highs) return fail(extent_lines.result);
    for (size_t i = 0; i < found.size(); ++i) {
        PyObject* lo = float_or_none(found[i].finite > 0, found[i].lo);
        if (lo == nullptr) return fail(extent_lines.result);
        PyList_SET_ITEM(lows.get(), static_cast<Py_ssize_t>(i), lo);
        PyObject* hi = float_or_none(found[i].finite > 0, found[i].hi);
        if (hi == nullptr) return fail(extent_lines.result);
        PyList_SET_ITEM(highs.get(), static_cast<Py_ssize_t>(i), hi);
    }
    PyRef identity = PyRef::steal(identity_tuple(seen));
    if (!identity) return fail(extent_lines.result);
    PyObject* result = PyTuple_Pack(3, lows.get(), highs.get(), identity.get());
    return result != nullptr ? result : fail(extent_lines.result);
}

PyObject* histogram(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"path", "n_dimensions", "axes", "weight", "where", "expect", "progress"};
    PyObject* argv[7];
    auto fail = [](int at) { return mod.fail("histogram", at); };
    if (!quickio::frame::bind_arguments("histogram", names, 7, args, kwargs, argv)) {
        return fail(histogram_lines.binding);
    }
    Common c;
    int64_t weight = -1;
    native::FileIdentity expect;
    bool expected = false;
    if (!convert_common(argv[0], argv[1], argv[4], argv[6], c) ||
        (argv[3] != Py_None && !to_component(argv[3], &weight, "weights")) ||
        !to_identity(argv[5], &expect, &expected)) {
        return fail(histogram_lines.arguments);
    }
    if (argv[3] != Py_None && weight < 0) {
        PyErr_Format(PyExc_ValueError, "weights: component %lld out of range", static_cast<long long>(weight));
        return fail(histogram_lines.arguments);
    }
    PyRef axes_seq = items_of(argv[2], -1, "axes must be a sequence of (component, edges, span)");
    if (!axes_seq) return fail(histogram_lines.arguments);
    const Py_ssize_t naxes = PySequence_Fast_GET_SIZE(axes_seq.get());
    if (naxes < 1 || naxes > 2) {
        PyErr_Format(PyExc_ValueError, "a histogram has one or two axes, not %zd", naxes);
        return fail(histogram_lines.arguments);
    }
    std::vector<double> edges[2];
    native::Axis axes[2];
    int64_t shape[2];
    for (Py_ssize_t i = 0; i < naxes; ++i) {
        PyRef axis = items_of(PySequence_Fast_GET_ITEM(axes_seq.get(), i), 3, "axis");
        if (!axis) return fail(histogram_lines.arguments);
        PyObject** t = PySequence_Fast_ITEMS(axis.get());
        if (!to_component(t[0], &axes[i].component, "histogram") || !to_doubles(t[1], edges[i])) {
            return fail(histogram_lines.arguments);
        }
        axes[i].edges = edges[i];
        axes[i].uniform = t[2] != Py_None;
        if (axes[i].uniform) {
            axes[i].span = PyFloat_AsDouble(t[2]);
            if (axes[i].span == -1.0 && PyErr_Occurred()) return fail(histogram_lines.arguments);
        }
        shape[i] = edges[i].size() > 0 ? static_cast<int64_t>(edges[i].size()) - 1 : 0;
    }
    void* data = nullptr;
    PyRef result = quickio::frame::new_array(mod, weight < 0 ? "int64" : "float64", shape,
                                             static_cast<int>(naxes), &data);
    if (!result) return fail(histogram_lines.result);
    if (!run_passes(c, expected ? &expect : nullptr, nullptr,
                    [&](native::Source& src, const native::PassOptions& o) {
                        return native::histogram(src, c.n, c.where,
                                                 std::span<const native::Axis>(axes, static_cast<size_t>(naxes)),
                                                 weight, static_cast<int64_t*>(data), static_cast<double*>(data), o);
                    })) {
        return fail(histogram_lines.pass);
    }
    return result.release();
}

PyObject* moments(PyObject*, PyObject* args, PyObject* kwargs) {
    auto fail = [](int at) { return mod.fail("moments", at); };
    Common c;
    if (!bind_common("moments", moments_lines, args, kwargs, c)) return nullptr;
    const int64_t comp = 2 * int64_t{c.n} + 1;
    std::vector<native::Moments> found(static_cast<size_t>(comp));
    int64_t count = 0;
    if (!run_passes(c, nullptr, nullptr, [&](native::Source& src, const native::PassOptions& o) {
            return native::moments(src, c.n, c.where, &count, found.data(), o);
        })) {
        return fail(moments_lines.pass);
    }
    void *lo, *hi, *mean, *sd, *nan;
    PyRef arrays[5] = {quickio::frame::new_array(mod, "float32", &comp, 1, &lo),
                       quickio::frame::new_array(mod, "float32", &comp, 1, &hi),
                       quickio::frame::new_array(mod, "float64", &comp, 1, &mean),
                       quickio::frame::new_array(mod, "float64", &comp, 1, &sd),
                       quickio::frame::new_array(mod, "int64", &comp, 1, &nan)};
    for (const PyRef& a : arrays) {
        if (!a) return fail(moments_lines.result);
    }
    for (int64_t k = 0; k < comp; ++k) {
        static_cast<float*>(lo)[k] = found[k].min;
        static_cast<float*>(hi)[k] = found[k].max;
        static_cast<double*>(mean)[k] = found[k].mean;
        static_cast<double*>(sd)[k] = found[k].std;
        static_cast<int64_t*>(nan)[k] = found[k].nan;
    }
    PyObject* result = Py_BuildValue("(LOOOOO)", static_cast<long long>(count), arrays[0].get(), arrays[1].get(),
                                     arrays[2].get(), arrays[3].get(), arrays[4].get());
    return result != nullptr ? result : fail(moments_lines.result);
}

PyObject* select(PyObject*, PyObject* args, PyObject* kwargs) {
    auto fail = [](int at) { return mod.fail("select", at); };
    Common c;
    if (!bind_common("select", select_lines, args, kwargs, c)) return nullptr;
    const int64_t comp = 2 * int64_t{c.n} + 1;
    native::Selection selection(c.n, c.where);
    native::FileSource src;
    native::Error error;
    const int threads = read_threads();
    {
        quickio::frame::UnlockedCall unlocked;
        error = src.open(c.path.c_str(), &unlocked, nullptr);
        if (!error) error = selection.count(src, pass_options(c, unlocked, nullptr, threads));
    }
    if (error) {
        Module::raise(error, c.path);
        return fail(select_lines.pass);
    }
    // The result, allocated with the lock held, between the two passes.
    const int64_t shape[2] = {comp, selection.kept()};
    void* data = nullptr;
    PyRef result = quickio::frame::new_array(mod, "float32", shape, 2, &data, 'F');
    if (!result) return fail(select_lines.result);
    {
        quickio::frame::UnlockedCall unlocked;
        error = selection.fill(src, {static_cast<float*>(data), comp * selection.kept()},
                               pass_options(c, unlocked, nullptr, threads));
        if (!error) error = src.verify_unchanged();
    }
    if (error) {
        Module::raise(error, c.path);
        return fail(select_lines.pass);
    }
    return result.release();
}

Module& the_module() { return mod; }

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_particles", nullptr, 0, nullptr,
                          quickio::frame::module_slots<the_module>, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__particles() { return PyModuleDef_Init(&module_def); }
