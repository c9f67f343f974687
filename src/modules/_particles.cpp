// Module dorvo.quickio._particles (private): the streamed reductions of
// phase-space dumps behind dorvo.quickio.particles, which checks the
// arguments, works out the bin edges the way NumPy does and calls these.
// Each function runs its passes over the file with the interpreter lock
// released and Ctrl-C ending them; none keeps more than its result and the
// reader's buffers.
//
// `path` is the dump's full path as bytes, or a memoryview of a dump's bytes
// already in memory (a stretch of whole blocks fetched by range from a
// remote dump: the pass reads it as a dump of its own); `where` a sequence of
// (component, lo, hi); `axes` a sequence of (component, edges, span), span
// None for the edge search of histogramdd and a float for the equal-bin rule
// of histogram; `expect` None or the identity that extent returned, which
// the file must still have; `progress` None or a writable int64 that counts
// the bytes of entries handed over. Over bytes in memory, `expect` is None
// and extent returns None for the identity.

// Python.h comes before any standard header: it sets the feature macros.
#include "pyref.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "convert.hpp"
#include "module.hpp"
#include "phase_format.hpp"
#include "plain.hpp"
#include "pool.hpp"
#include "reductions.hpp"
#include "source.hpp"

namespace {

namespace native = quickio::native;
namespace plain = quickio::frame::plain;
using quickio::frame::Module;
using quickio::frame::PyRef;

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
        PyErr_Format(PyExc_ValueError, "%s: expected %zd items, got %zd", what, n, PySequence_Fast_GET_SIZE(seq.get()));
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

// The dump a pass reads: a file by its path, or bytes held in memory for the
// call (a read-only view of the caller's memoryview, released at the end).
class Input {
public:
    Input() noexcept = default;
    ~Input() {
        if (held_) PyBuffer_Release(&view_);
    }
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    bool convert(PyObject* obj) {
        if (!PyMemoryView_Check(obj)) return quickio::frame::to_byte_path(obj, name_);
        if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) != 0) return false;
        held_ = true;
        name_ = "<dump bytes in memory>";
        return true;
    }
    bool in_memory() const noexcept { return held_; }
    // The path, or what names the bytes in messages.
    const std::string& name() const noexcept { return name_; }
    const void* data() const noexcept { return view_.buf; }
    int64_t size() const noexcept { return view_.len; }

private:
    std::string name_;
    Py_buffer view_{};
    bool held_ = false;
};

// The source of one call's passes, opened from its Input: the file at the
// path (refused unless it has `expect`, when given), or the bytes.
class OpenedInput {
public:
    native::Error open(const Input& in, native::Interrupt* interrupt, const native::FileIdentity* expect) noexcept {
        if (in.in_memory()) {
            memory_.emplace(in.data(), in.size());
            return {};
        }
        return file_.open(in.name().c_str(), interrupt, expect);
    }
    native::Source& source() noexcept {
        return memory_ ? static_cast<native::Source&>(*memory_) : static_cast<native::Source&>(file_);
    }
    // After the passes: a file must still have the identity it had when
    // opened; bytes in memory were held unchanged for the call.
    native::Error verify_unchanged() const noexcept { return memory_ ? native::Error{} : file_.verify_unchanged(); }
    // The file's identity; null for bytes in memory.
    const native::FileIdentity* identity() const noexcept { return memory_ ? nullptr : &file_.identity(); }

private:
    native::FileSource file_;
    std::optional<native::MemorySource> memory_;
};

// The arguments every function starts with.
struct Common {
    Input input;
    int32_t n = 0;
    std::vector<native::Window> where;
    Progress progress;
};

bool convert_common(PyObject* input, PyObject* n, PyObject* where, PyObject* progress, Common& out) {
    return out.input.convert(input) && quickio::frame::to_int32(n, &out.n) && to_windows(where, out.where) &&
           out.progress.convert(progress);
}

// Binding and conversion of (path, n_dimensions, where, progress), the
// arguments of moments and select.
bool bind_common(const char* format, PyObject* args, PyObject* kwargs, Common& c) {
    static const char* names[] = {"path", "n_dimensions", "where", "progress", nullptr};
    PyObject *path, *n, *where, *progress;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), &path, &n, &where, &progress) ||
        !convert_common(path, n, where, progress, c)) {
        return false;
    }
    if (native::Error e = native::check_dimensions(c.n)) return Module::raise(e, c.input.name());
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
// given, is the identity the file must have from the start; `*seen`
// receives the identity read, when there is a file.
template <class Work>
bool run_passes(const Common& c, const native::FileIdentity* expect, std::optional<native::FileIdentity>* seen,
                Work work) {
    native::Error error;
    const int threads = read_threads();
    {
        quickio::frame::UnlockedCall unlocked;
        const native::PassOptions options = pass_options(c, unlocked, expect, threads);
        OpenedInput opened;
        error = opened.open(c.input, &unlocked, expect);
        if (!error) error = work(opened.source(), options);
        if (!error) error = opened.verify_unchanged();
        if (!error && seen != nullptr && opened.identity() != nullptr) *seen = *opened.identity();
    }
    return error ? Module::raise(error, c.input.name()) : true;
}

PyObject* float_or_none(bool present, double v) {
    if (!present) Py_RETURN_NONE;
    return PyFloat_FromDouble(v);
}

// ---- functions ----------------------------------------------------------

const char extent_doc[] =
    "extent(path, n_dimensions, components, where, progress)\n--\n\n"
    "One pass over the dump: (lows, highs, identity, selected, finite), the finite minimum and maximum of\n"
    "each of `components` over the particles `where` keeps (None where there is no finite value), the\n"
    "identity (device, inode, size, mtime_ns, ctime_ns) of the file read (None for bytes in memory), the\n"
    "particles kept, and of those the ones whose listed components are all finite.";

PyObject* extent(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"path", "n_dimensions", "components", "where", "progress", nullptr};
    PyObject *path, *n, *picked, *where, *progress;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO:extent", const_cast<char**>(names), &path, &n, &picked,
                                     &where, &progress)) {
        return nullptr;
    }
    Common c;
    std::vector<int64_t> components;
    if (!convert_common(path, n, where, progress, c) || !to_components(picked, components)) return nullptr;
    std::vector<native::Extent> found(components.size());
    native::Kept kept;
    std::optional<native::FileIdentity> seen;
    if (!run_passes(c, nullptr, &seen, [&](native::Source& src, const native::PassOptions& o) {
            return native::finite_extent(src, c.n, c.where, components, found.data(), &kept, o);
        })) {
        return nullptr;
    }
    PyRef lows = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
    PyRef highs = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
    if (!lows || !highs) return nullptr;
    for (size_t i = 0; i < found.size(); ++i) {
        PyObject* lo = float_or_none(found[i].finite > 0, found[i].lo);
        if (lo == nullptr) return nullptr;
        PyList_SET_ITEM(lows.get(), static_cast<Py_ssize_t>(i), lo);
        PyObject* hi = float_or_none(found[i].finite > 0, found[i].hi);
        if (hi == nullptr) return nullptr;
        PyList_SET_ITEM(highs.get(), static_cast<Py_ssize_t>(i), hi);
    }
    PyRef identity = seen ? PyRef::steal(identity_tuple(*seen)) : PyRef::ref(Py_None);
    if (!identity) return nullptr;
    return Py_BuildValue("(OOOLL)", lows.get(), highs.get(), identity.get(), static_cast<long long>(kept.selected),
                         static_cast<long long>(kept.finite));
}

const char histogram_doc[] =
    "histogram(path, n_dimensions, axes, weight, where, expect, progress)\n--\n\n"
    "One pass over the dump: the counts (int64), or with `weight` (a component) the weighted sums (float64),\n"
    "of the particles `where` keeps, over one or two `axes` of bin edges.";

PyObject* histogram(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"path", "n_dimensions", "axes", "weight", "where", "expect", "progress", nullptr};
    PyObject *path, *n, *axes_arg, *weight_arg, *where, *expect_arg, *progress;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOO:histogram", const_cast<char**>(names), &path, &n, &axes_arg,
                                     &weight_arg, &where, &expect_arg, &progress)) {
        return nullptr;
    }
    Common c;
    int64_t weight = -1;
    native::FileIdentity expect;
    bool expected = false;
    if (!convert_common(path, n, where, progress, c) ||
        (weight_arg != Py_None && !to_component(weight_arg, &weight, "weights")) ||
        !to_identity(expect_arg, &expect, &expected)) {
        return nullptr;
    }
    if (weight_arg != Py_None && weight < 0) {
        PyErr_Format(PyExc_ValueError, "weights: component %lld out of range", static_cast<long long>(weight));
        return nullptr;
    }
    PyRef axes_seq = items_of(axes_arg, -1, "axes must be a sequence of (component, edges, span)");
    if (!axes_seq) return nullptr;
    const Py_ssize_t naxes = PySequence_Fast_GET_SIZE(axes_seq.get());
    if (naxes < 1 || naxes > 2) {
        PyErr_Format(PyExc_ValueError, "a histogram has one or two axes, not %zd", naxes);
        return nullptr;
    }
    std::vector<double> edges[2];
    native::Axis axes[2];
    int64_t shape[2];
    for (Py_ssize_t i = 0; i < naxes; ++i) {
        PyRef axis = items_of(PySequence_Fast_GET_ITEM(axes_seq.get(), i), 3, "axis");
        if (!axis) return nullptr;
        PyObject** t = PySequence_Fast_ITEMS(axis.get());
        if (!to_component(t[0], &axes[i].component, "histogram") || !to_doubles(t[1], edges[i])) return nullptr;
        axes[i].edges = edges[i];
        axes[i].uniform = t[2] != Py_None;
        if (axes[i].uniform) {
            axes[i].span = PyFloat_AsDouble(t[2]);
            if (axes[i].span == -1.0 && PyErr_Occurred()) return nullptr;
        }
        shape[i] = edges[i].size() > 0 ? static_cast<int64_t>(edges[i].size()) - 1 : 0;
    }
    void* data = nullptr;
    PyRef result = plain::new_array(weight < 0 ? "int64" : "float64", shape, static_cast<int>(naxes), &data);
    if (!result) return nullptr;
    if (!run_passes(c, expected ? &expect : nullptr, nullptr, [&](native::Source& src, const native::PassOptions& o) {
            return native::histogram(src, c.n, c.where, std::span<const native::Axis>(axes, static_cast<size_t>(naxes)),
                                     weight, static_cast<int64_t*>(data), static_cast<double*>(data), o);
        })) {
        return nullptr;
    }
    return result.release();
}

const char moments_doc[] =
    "moments(path, n_dimensions, where, progress)\n--\n\n"
    "One pass over the dump: (count, min, max, mean, std, nan) of each component over the particles `where`\n"
    "keeps, NaN values left out of all but their count.";

PyObject* moments(PyObject*, PyObject* args, PyObject* kwargs) {
    Common c;
    if (!bind_common("OOOO:moments", args, kwargs, c)) return nullptr;
    const int64_t comp = 2 * int64_t{c.n} + 1;
    std::vector<native::Moments> found(static_cast<size_t>(comp));
    int64_t count = 0;
    if (!run_passes(c, nullptr, nullptr, [&](native::Source& src, const native::PassOptions& o) {
            return native::moments(src, c.n, c.where, &count, found.data(), o);
        })) {
        return nullptr;
    }
    void *lo, *hi, *mean, *sd, *nan;
    PyRef arrays[5] = {plain::new_array("float32", &comp, 1, &lo), plain::new_array("float32", &comp, 1, &hi),
                       plain::new_array("float64", &comp, 1, &mean), plain::new_array("float64", &comp, 1, &sd),
                       plain::new_array("int64", &comp, 1, &nan)};
    for (const PyRef& a : arrays) {
        if (!a) return nullptr;
    }
    for (int64_t k = 0; k < comp; ++k) {
        static_cast<float*>(lo)[k] = found[k].min;
        static_cast<float*>(hi)[k] = found[k].max;
        static_cast<double*>(mean)[k] = found[k].mean;
        static_cast<double*>(sd)[k] = found[k].std;
        static_cast<int64_t*>(nan)[k] = found[k].nan;
    }
    return Py_BuildValue("(LOOOOO)", static_cast<long long>(count), arrays[0].get(), arrays[1].get(), arrays[2].get(),
                         arrays[3].get(), arrays[4].get());
}

const char select_doc[] =
    "select(path, n_dimensions, where, progress)\n--\n\n"
    "The particles `where` keeps, (2n+1, K) float32 in column-major order, in file order: a counting pass,\n"
    "then, unless it kept them all in its staging memory, a filling pass.";

PyObject* select(PyObject*, PyObject* args, PyObject* kwargs) {
    Common c;
    if (!bind_common("OOOO:select", args, kwargs, c)) return nullptr;
    const int64_t comp = 2 * int64_t{c.n} + 1;
    native::Selection selection(c.n, c.where);
    OpenedInput opened;
    native::Error error;
    const int threads = read_threads();
    {
        quickio::frame::UnlockedCall unlocked;
        error = opened.open(c.input, &unlocked, nullptr);
        if (!error) error = selection.count(opened.source(), pass_options(c, unlocked, nullptr, threads));
    }
    if (error) {
        Module::raise(error, c.input.name());
        return nullptr;
    }
    // The result, allocated with the lock held, between the two passes.
    const int64_t shape[2] = {comp, selection.kept()};
    void* data = nullptr;
    PyRef result = plain::new_array("float32", shape, 2, &data, 'F');
    if (!result) return nullptr;
    {
        quickio::frame::UnlockedCall unlocked;
        error = selection.fill(opened.source(), {static_cast<float*>(data), comp * selection.kept()},
                               pass_options(c, unlocked, nullptr, threads));
        if (!error) error = opened.verify_unchanged();
    }
    if (error) {
        Module::raise(error, c.input.name());
        return nullptr;
    }
    return result.release();
}

PyMethodDef functions[] = {
    plain::function<extent>("extent", extent_doc),
    plain::function<histogram>("histogram", histogram_doc),
    plain::function<moments>("moments", moments_doc),
    plain::function<select>("select", select_doc),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&plain::prepare)},
    {0, nullptr},
};

const char module_doc[] =
    "The streamed reductions of phase-space dumps behind dorvo.quickio.particles: extent, histogram,\n"
    "moments and select, each one or two passes over the file in memory that does not grow with it.";

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "dorvo.quickio._particles", module_doc, 0, functions, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__particles() { return PyModuleDef_Init(&module_def); }
