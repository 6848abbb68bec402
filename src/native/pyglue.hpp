// Python glue shared by corvane's extension modules.
//
// Everything here drives Python objects through pybind11 and must be called with the GIL held.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "native/durable_files.hpp"

namespace corvane::native {

namespace py = pybind11;

// --- module namespace -------------------------------------------------------------------------

// Remembers the namespace of the module being built in this shared object. Method bodies read the
// module's globals (pd, os, tqdm, the class itself) through it at call time, so a caller that rebinds
// a global sees its replacement used.
void bind_module_namespace(const py::module_ &module);

// The module global `name`, looked up now; NameError when it is unbound.
py::object global(const char *name);

// Runs `import name` and binds the result in the module namespace under `as`.
void import_into(const char *name, const char *as);
// Runs `from package import name` and binds the result in the module namespace.
void import_from(const char *package, const char *name);

// Single-phase module entry: returns the module already registered under `full_name`, or creates
// one, registers it under `full_name` and lets `fill` populate it. The store module relies on this
// to stay one object whether imported by its short or its full name.
PyObject *init_or_reuse_module(const char *full_name, void (*fill)(py::module_ &));

// The exported PyInit_<name> of a module registered as `full_name` and filled by `fill`.
#define CORVANE_MODULE_ENTRY(name, full_name, fill)                                  \
    PYBIND11_PLUGIN_IMPL(name) {                                                     \
        PYBIND11_CHECK_PYTHON_VERSION                                                \
        try {                                                                        \
            pybind11::detail::get_internals();                                       \
            return corvane::native::init_or_reuse_module(full_name, fill);           \
        }                                                                            \
        PYBIND11_CATCH_INIT_EXCEPTIONS                                               \
        return nullptr;                                                              \
    }

// --- ordinary classes built from C++ functions ------------------------------------------------

// type(name, (object,), {...}) with __module__ set, bound into the module namespace.
py::object make_plain_class(const py::module_ &module, const char *name);

// pybind11 takes every function named __init__ for the constructor of one of its own bound types;
// ours initialise ordinary instances, so they must be dispatched as plain methods.
py::object as_plain_method(py::cpp_function &method);

// Attaches an instance method. An empty doc leaves __doc__ None.
template <typename Func, typename... Args>
void add_method(py::object &cls, const char *name, const char *doc, Func &&f, Args &&...args) {
    py::cpp_function method(std::forward<Func>(f), py::name(name), py::is_method(cls),
                            std::forward<Args>(args)..., doc);
    cls.attr(name) = as_plain_method(method);
}

// Attaches a function wrapped in the builtin staticmethod.
template <typename Func, typename... Args>
void add_static(py::object &cls, const char *name, const char *doc, Func &&f, Args &&...args) {
    cls.attr(name) = py::staticmethod(
        py::cpp_function(std::forward<Func>(f), py::name(name), std::forward<Args>(args)..., doc));
}

// --- text ----------------------------------------------------------------------------------------

// Pieces joined as an f-string would render them: C strings as they are, every other value by str().
inline py::str piece_text(const char *literal) { return py::str(literal); }
inline py::str piece_text(const py::handle &value) { return py::str(value); }

template <typename... Pieces>
py::str concat(const Pieces &...pieces) {
    py::list parts;
    (parts.append(piece_text(pieces)), ...);
    return py::str("").attr("join")(parts);
}

// The builtin print, looked up at call time, with one string (or none for an empty line).
void print_line(const py::handle &text);
void print_empty_line();

// --- file system ---------------------------------------------------------------------------------

// os.makedirs(path) when os.path.exists(path) is false, tolerating a directory that another thread or
// process created in between; any other failure (a regular file in the way, no permission) raises.
void ensure_directory(const py::handle &path);

// frame.to_parquet written to a temporary name in the target's directory, fsynced and renamed over
// the target, then the directory fsynced: readers never see a half-written file, a failed write
// keeps the old one and a power cut leaves the old or the new one. Each write first removes the
// temporary files that dead writers left in that directory.
void write_parquet_atomically(const py::handle &frame, const py::handle &path);

// pd.read_parquet of one consistent version of the file: the file is opened once and pandas reads
// footer and data through that handle, so a writer replacing it meanwhile changes nothing here.
py::object read_parquet_snapshot(const py::handle &path);

// The exclusive lock of the stored file at `path`, held by every read-merge-write of that file
// until the returned object is destroyed. Waits with the GIL released; TimeoutError naming the
// file after CORVANE_LOCK_TIMEOUT seconds (600 when unset).
FileLock lock_stored_file(const py::handle &path);

}  // namespace corvane::native
