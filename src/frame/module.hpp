// The module frame: identity, create and exec slots, name lookup at call
// time, traceback entries and the translation of native errors.
//
// Each extension module owns one `Module` object for the life of the process
// (module state size 0): the module is loaded once per process and then
// lives until the process ends.
#pragma once

// Python.h comes before any standard header: it sets the feature macros.
#include "pyref.hpp"

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "native/result.hpp"

namespace quickio::frame {

// A module-level `import name` statement run by exec, bound as `bound_as`.
struct ImportSpec {
    const char* module;
    const char* bound_as;
    int line;
};

// An exposed function: its method definition (no docstring) and the source
// line of its definition.
struct FunctionSpec {
    PyMethodDef* def;
    int line;
};

struct ModuleSpec {
    const char* bare_name;    // module definition name, also __module__ of the functions
    const char* source_name;  // file name shown in traceback entries
    std::vector<ImportSpec> imports;
    std::vector<FunctionSpec> functions;
    // Public modules are importable by their bare name too, once loaded;
    // private helper modules keep out of sys.modules' top level.
    bool register_bare_name = true;
};

// Runs `body` (which returns R) so that a C++ allocation failing inside it
// (a std::vector or std::string growing) raises MemoryError and returns
// `failed`, instead of unwinding into the interpreter, which would end the
// process.
template <class R, class Body>
R allocating(Body&& body, R failed) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    PyErr_NoMemory();
    return failed;
}

// The guard of allocating() around an exposed function.
template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyObject* guarded(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return allocating<PyObject*>([&] { return F(self, args, kwargs); }, nullptr);
}

// The method definition of an exposed function (positional and keyword
// arguments, no docstring), run under the allocation guard.
template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyMethodDef method_def(const char* name) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&guarded<F>)),
            METH_VARARGS | METH_KEYWORDS, nullptr};
}

class Module {
public:
    explicit Module(ModuleSpec spec);
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // Py_mod_create and Py_mod_exec.
    PyObject* create(PyObject* import_spec);
    int exec(PyObject* module);

    // Adds one traceback entry "<bare>.<function>" at `line` to the pending
    // exception and returns nullptr, so a failing step reads
    // `return mod.fail("read_file", 60);`.
    PyObject* fail(const char* function, int line);

    // A name of the module namespace, or else of the builtins, looked up at
    // the moment of use (a replacement bound in the module is honoured).
    // Empty with NameError set when neither has it.
    PyRef lookup(const char* name);

    // The builtin `open`, fetched once when the module was loaded.
    PyObject* builtin_open() const noexcept { return open_.get(); }

    // Sets the Python exception for a native reader's error. `path` names the
    // file for OSError. Always returns false.
    static bool raise(const native::Error& error, const std::string& path);

private:
    struct CachedCode {
        std::string function;
        int line;
        PyObject* code;
    };

    PyObject* code_for(const char* qualified, int line);
    void add_traceback(const char* qualified, int line);
    int exec_steps(PyObject* module);
    int init_failed(PyObject* module, int line);

    ModuleSpec spec_;
    std::string init_name_;  // "init <bare>"
    bool interpreter_recorded_ = false;
    int64_t interpreter_id_ = -1;
    PyObject* module_ = nullptr;  // the recorded module object, a strong reference
    bool registered_bare_ = false;
    PyRef builtins_;
    PyRef open_;
    std::vector<PyRef> kept_builtins_;
    std::vector<CachedCode> code_cache_;  // sorted by (line, function)
};

// The slots of a module whose one Module object `M` returns, both under the
// allocation guard: create returns the one module object of the process (on
// a re-import too), and exec runs the module's statements once per process.
template <Module& (*M)()>
PyObject* create_slot(PyObject* import_spec, PyModuleDef*) noexcept {
    return allocating<PyObject*>([&] { return M().create(import_spec); }, nullptr);
}

template <Module& (*M)()>
int exec_slot(PyObject* module) noexcept {
    return allocating<int>([&] { return M().exec(module); }, -1);
}

template <Module& (*M)()>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&create_slot<M>)},
    {Py_mod_exec, reinterpret_cast<void*>(&exec_slot<M>)},
    {0, nullptr},
};

}  // namespace quickio::frame
