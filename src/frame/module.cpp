#include "module.hpp"

#include <frameobject.h>

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "numpy_check.hpp"
#include "recvbuf.hpp"

namespace quickio::frame {
namespace {

// Builtins kept from load time; later changes to the builtins module do not
// reach the loaders.
constexpr const char* kKeptBuiltins[] = {
    "open",         "range",       "enumerate",   "id",        "Ellipsis",   "ValueError",
    "RuntimeError", "ImportError", "MemoryError", "TypeError", "IndexError",
};

// Reads "major.minor" from the front of the runtime's version string.
bool runtime_version(int* major, int* minor, std::string* text) {
    const char* v = Py_GetVersion();
    char* end = nullptr;
    const long maj = std::strtol(v, &end, 10);
    if (end == v || *end != '.') {
        return false;
    }
    const char* mstart = end + 1;
    const long min = std::strtol(mstart, &end, 10);
    if (end == mstart) {
        return false;
    }
    *major = static_cast<int>(maj);
    *minor = static_cast<int>(min);
    text->assign(v, static_cast<size_t>(end - v));
    return true;
}

// The interpreter's end, as restore_thread() sees it: `ending` once our
// atexit callback has run; `restoring` counts the threads between their
// look at `ending` and the lock in their hands. Both sequentially
// consistent: a thread counts itself, then looks; the callback marks, then
// counts; so either the thread sees the mark or the callback sees the
// thread.
std::atomic<bool> ending{false};
std::atomic<int> restoring{0};
// The thread that ran the callback: the one that finalizes the interpreter,
// which may still read in a later atexit callback or a destructor.
std::atomic<pthread_t> ender{};

bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

[[noreturn]] void park() noexcept {
    for (;;) ::pause();
}

PyObject* interpreter_ends(PyObject*, PyObject*) {
    ender.store(::pthread_self());
    ending.store(true);
    Py_BEGIN_ALLOW_THREADS while (restoring.load() > 0)::usleep(1000);
    Py_END_ALLOW_THREADS Py_RETURN_NONE;
}

PyMethodDef interpreter_ends_def = {"_quickio_interpreter_ends", interpreter_ends, METH_NOARGS, nullptr};

}  // namespace

void restore_thread(PyThreadState* state) noexcept {
    restoring.fetch_add(1);
    if ((ending.load() || interpreter_finalizing()) && !::pthread_equal(ender.load(), ::pthread_self())) {
        restoring.fetch_sub(1);
        park();
    }
    PyEval_RestoreThread(state);
    restoring.fetch_sub(1);
}

bool watch_interpreter_end() {
    static bool registered = false;  // changed with the lock held
    if (registered) return true;
    PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
    PyRef callback = PyRef::steal(PyCFunction_New(&interpreter_ends_def, nullptr));
    if (!atexit || !callback) return false;
    PyRef done = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", callback.get()));
    if (!done) return false;
    registered = true;
    return true;
}

Module::Module(ModuleSpec spec) : spec_(std::move(spec)), init_name_(std::string("init ") + spec_.bare_name) {}

PyObject* Module::create(PyObject* import_spec) {
    // One interpreter per process: the module keeps process-wide state.
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (!interpreter_recorded_) {
        interpreter_recorded_ = true;
        interpreter_id_ = id;
    } else if (id != interpreter_id_) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (module_ != nullptr) {
        Py_INCREF(module_);
        return module_;
    }
    PyRef name = PyRef::steal(PyObject_GetAttrString(import_spec, "name"));
    if (!name) {
        return nullptr;
    }
    PyRef module = PyRef::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject* dict = PyModule_GetDict(module.get());
    struct Copy {
        const char* from;
        const char* to;
        bool none_too;
    };
    static constexpr Copy kCopies[] = {
        {"loader", "__loader__", true},
        {"origin", "__file__", true},
        {"parent", "__package__", true},
        {"submodule_search_locations", "__path__", false},
    };
    for (const Copy& c : kCopies) {
        PyRef value = PyRef::steal(PyObject_GetAttrString(import_spec, c.from));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                return nullptr;
            }
            PyErr_Clear();
            continue;
        }
        if (value.get() == Py_None && !c.none_too) {
            continue;
        }
        if (PyDict_SetItemString(dict, c.to, value.get()) < 0) {
            return nullptr;
        }
    }
    return module.release();
}

int Module::exec(PyObject* module) {
    // A module that is already initialised succeeds at once (reload, or a
    // re-import after removal from sys.modules); another object is refused.
    if (module_ != nullptr) {
        if (module_ == module) {
            return 0;
        }
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     spec_.bare_name);
        return -1;
    }
    int major = 0;
    int minor = 0;
    std::string runtime;
    if (runtime_version(&major, &minor, &runtime) && (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION)) {
        char built[32];
        PyOS_snprintf(built, sizeof built, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "compiletime version %s of module '%.100s' does not match runtime version %s", built,
                             spec_.bare_name, runtime.c_str()) < 0) {
            return -1;
        }
    }
    Py_INCREF(module);
    module_ = module;
    return exec_steps(module);
}

int Module::exec_steps(PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);

    builtins_ = PyRef::steal(PyImport_ImportModule("builtins"));
    if (!builtins_ || PyDict_SetItemString(dict, "__builtins__", builtins_.get()) < 0) {
        return init_failed(module, 1);
    }

    // The bare name makes the module importable as `meshdump` too; an entry
    // that is already there is left alone.
    PyObject* modules = PyImport_GetModuleDict();
    PyRef bare = PyRef::steal(PyUnicode_FromString(spec_.bare_name));
    if (!bare) {
        return init_failed(module, 1);
    }
    const int present = PyDict_Contains(modules, bare.get());
    if (present < 0) {
        return init_failed(module, 1);
    }
    if (present == 0 && spec_.register_bare_name) {
        if (PyDict_SetItem(modules, bare.get(), module) < 0) {
            return init_failed(module, 1);
        }
        registered_bare_ = true;
    }

    kept_builtins_.clear();
    for (const char* name : kKeptBuiltins) {
        PyRef value = PyRef::steal(PyObject_GetAttrString(builtins_.get(), name));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
            }
            return init_failed(module, 1);
        }
        if (std::strcmp(name, "open") == 0) {
            open_ = PyRef::ref(value.get());
        }
        kept_builtins_.push_back(std::move(value));
    }

    if (!check_numpy_types()) {
        return init_failed(module, 1);
    }

    for (const ImportSpec& imp : spec_.imports) {
        PyRef name = PyRef::steal(PyUnicode_FromString(imp.module));
        if (!name) {
            return init_failed(module, imp.line);
        }
        PyRef imported = PyRef::steal(PyImport_ImportModuleLevelObject(name.get(), dict, nullptr, nullptr, 0));
        if (!imported || PyDict_SetItemString(dict, imp.bound_as, imported.get()) < 0) {
            return init_failed(module, imp.line);
        }
    }

    for (const FunctionSpec& fn : spec_.functions) {
        PyRef func = PyRef::steal(PyCFunction_NewEx(fn.def, nullptr, bare.get()));
        if (!func || PyDict_SetItemString(dict, fn.def->ml_name, func.get()) < 0) {
            return init_failed(module, fn.line);
        }
    }

    PyRef test = PyRef::steal(PyDict_New());
    if (!test || PyDict_SetItemString(dict, "__test__", test.get()) < 0) {
        return init_failed(module, 1);
    }

    if (!ready_receiving_buffer_type() || !watch_interpreter_end()) {
        return init_failed(module, 1);
    }
    return 0;
}

int Module::init_failed(PyObject* module, int line) {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, init_name_.c_str());
    }
    add_traceback(init_name_.c_str(), line);
    // Forget the module so that a later import starts again from scratch,
    // and take back the bare name if this load put it there.
    if (registered_bare_) {
        SavedError saved;
        PyObject* modules = PyImport_GetModuleDict();
        PyObject* entry = PyDict_GetItemString(modules, spec_.bare_name);
        if (entry == module && PyDict_DelItemString(modules, spec_.bare_name) < 0) {
            PyErr_Clear();
        }
        registered_bare_ = false;
    }
    PyObject* recorded = module_;
    module_ = nullptr;
    Py_XDECREF(recorded);
    return -1;
}

PyObject* Module::code_for(const char* qualified, int line) {
    auto less = [](const CachedCode& c, const std::pair<int, const char*>& key) {
        return c.line != key.first ? c.line < key.first : c.function < key.second;
    };
    const std::pair<int, const char*> key{line, qualified};
    auto it = std::lower_bound(code_cache_.begin(), code_cache_.end(), key, less);
    if (it != code_cache_.end() && it->line == line && it->function == qualified) {
        return it->code;
    }
    PyCodeObject* code = PyCode_NewEmpty(spec_.source_name, qualified, line);
    if (code == nullptr) {
        return nullptr;
    }
    // Kept for the life of the process: failures at the same place reuse it.
    code_cache_.insert(it, CachedCode{qualified, line, reinterpret_cast<PyObject*>(code)});
    return reinterpret_cast<PyObject*>(code);
}

void Module::add_traceback(const char* qualified, int line) {
    PyFrameObject* frame = nullptr;
    {
        // Making the code and frame objects must not see the pending error.
        SavedError saved;
        PyObject* code = code_for(qualified, line);
        PyObject* globals = module_ ? PyModule_GetDict(module_) : nullptr;
        PyRef empty_globals;
        if (globals == nullptr) {
            empty_globals = PyRef::steal(PyDict_New());
            globals = empty_globals.get();
        }
        if (code != nullptr && globals != nullptr) {
            frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr);
        }
        // A failure here loses only the entry, never the error being reported.
        PyErr_Clear();
    }
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

PyObject* Module::fail(const char* function, int line) {
    std::string qualified = std::string(spec_.bare_name) + "." + function;
    add_traceback(qualified.c_str(), line);
    return nullptr;
}

PyRef Module::lookup(const char* name) {
    if (module_ != nullptr) {
        PyObject* value = PyDict_GetItemString(PyModule_GetDict(module_), name);
        if (value != nullptr) {
            return PyRef::ref(value);
        }
    }
    if (builtins_) {
        PyRef value = PyRef::steal(PyObject_GetAttrString(builtins_.get(), name));
        if (value) {
            return value;
        }
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return PyRef();
        }
        PyErr_Clear();
    }
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    return PyRef();
}

bool Module::raise(const native::Error& error, const std::string& path) {
    if (error.status == native::Status::interrupted) {
        // The signal handler's exception is already pending.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        return false;
    }
    if (error.status == native::Status::ok) {
        PyErr_SetString(PyExc_SystemError, "native reader reported success as an error");
        return false;
    }
    PyRef filename = PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    if (!filename) {
        return false;
    }
    // Memory the readers could not have is MemoryError, as the
    // interpreter's own allocations report it.
    if (error.status == native::Status::os_error && error.errno_value == ENOMEM) {
        PyErr_NoMemory();
        return false;
    }
    if (error.status == native::Status::os_error && error.message[0] != '\0') {
        // OSError(errno, text, filename): the text in place of strerror.
        PyRef exc =
            PyRef::steal(PyObject_CallFunction(PyExc_OSError, "isO", error.errno_value, error.message, filename.get()));
        if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
        return false;
    }
    if (error.status == native::Status::os_error) {
        errno = error.errno_value;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
        return false;
    }
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(error.message, static_cast<Py_ssize_t>(std::strlen(error.message)), "backslashreplace"));
    PyRef message = !text || !error.about_file
                        ? std::move(text)
                        : PyRef::steal(PyUnicode_FromFormat("%U: %U", filename.get(), text.get()));
    if (!message) {
        return false;
    }
    PyObject* type = error.status == native::Status::eof_error ? PyExc_EOFError
                     : error.status == native::Status::changed ? PyExc_OSError
                                                               : PyExc_ValueError;
    PyErr_SetObject(type, message.get());
    return false;
}

}  // namespace quickio::frame
