// Python glue shared by corvane's extension modules.
//
// Everything here drives Python objects through pybind11 and must be called with the GIL held.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <string>

#include "core/durable_files.hpp"

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

// The body of a PyInit_<name>: returns the module already registered under `full_name`, or creates
// one, registers it under `full_name` and lets `fill` populate it (single-phase init). The store
// module relies on this to stay one object whether imported by its short or its full name. Errors
// become the pending Python exception and a null result, as the import machinery expects.
PyObject *init_or_reuse_module(const char *full_name, void (*fill)(py::module_ &)) noexcept;

// --- ordinary classes built from C++ functions ------------------------------------------------

// type(name, (object,), {...}) with __module__ set, bound into the module namespace.
py::object make_plain_class(const py::module_ &module, const char *name);

// One parameter as a Python signature spells it: its name, then "=" and the default's repr.
inline std::string parameter_text(const py::arg &parameter) { return parameter.name; }
inline std::string parameter_text(const py::arg_v &parameter) {
    return std::string(parameter.name) + "=" + std::string(py::repr(parameter.value));
}

// "name(self, a, b=1)\n--\n\n" followed by doc: CPython reads a builtin's signature from such a
// first line and leaves only doc in __doc__ (None when doc is empty).
template <typename... Args>
std::string doc_with_signature(const char *name, const char *first, const char *doc, const Args &...args) {
    std::string params = first;
    ((params += (params.empty() ? "" : ", ") + parameter_text(args)), ...);
    return std::string(name) + "(" + params + ")\n--\n\n" + doc;
}

// Attaches an instance method. An empty doc leaves __doc__ None.
template <typename Func, typename... Args>
void add_method(py::object &cls, const char *name, const char *doc, Func &&f, Args &&...args) {
    std::string text = doc_with_signature(name, "self", doc, args...);
    cls.attr(name) = py::cpp_function(std::forward<Func>(f), py::name(name), py::is_method(cls),
                                      std::forward<Args>(args)..., text.c_str());
}

// Attaches a function wrapped in the builtin staticmethod.
template <typename Func, typename... Args>
void add_static(py::object &cls, const char *name, const char *doc, Func &&f, Args &&...args) {
    std::string text = doc_with_signature(name, "", doc, args...);
    cls.attr(name) = py::staticmethod(
        py::cpp_function(std::forward<Func>(f), py::name(name), std::forward<Args>(args)..., text.c_str()));
}

// A Python function `name(self, <parameters>)` on cls that hands its arguments to `body`, for what a
// builtin cannot be: named __init__ (pybind11 takes every function of that name for a constructor
// of its own types) or carrying __annotations__. Defaults are the very objects given.
void add_forwarding_method(py::object &cls, const char *name, const char *doc, const py::dict &annotations,
                           const py::object &body, const py::list &parameter_names, const py::tuple &defaults);

inline void append_default(py::list &, const py::arg &) {}
inline void append_default(py::list &defaults, const py::arg_v &parameter) { defaults.append(parameter.value); }

template <typename... Args>
void add_forwarded(py::object &cls, const char *name, const char *doc, const py::dict &annotations,
                   const py::object &body, const Args &...args) {
    py::list names;
    py::list defaults;
    (names.append(args.name), ...);
    (append_default(defaults, args), ...);
    add_forwarding_method(cls, name, doc, annotations, body, names, py::tuple(defaults));
}

// __init__ built from a C++ function; see add_forwarding_method.
template <typename Func, typename... Args>
void add_init(py::object &cls, const char *doc, Func &&f, const Args &...args) {
    py::cpp_function body(std::forward<Func>(f), py::name("initialise"), py::is_method(cls), args...);
    add_forwarded(cls, "__init__", doc, py::dict(), body, args...);
}

// An instance method whose parameters carry annotations; see add_forwarding_method.
template <typename Func, typename... Args>
void add_annotated_method(py::object &cls, const char *name, const py::dict &annotations, Func &&f,
                          const Args &...args) {
    py::cpp_function body(std::forward<Func>(f), py::name(name), py::is_method(cls), args...);
    add_forwarded(cls, name, "", annotations, body, args...);
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

// One status line: the builtin print, looked up at call time, given the text with its line break
// so that the line reaches the stream in one write and pool threads never glue lines together;
// tqdm's bars are cleared around it so it starts on a fresh line. print_empty_line writes "\n".
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
// The same durable replace for any writer: `write` fills the temporary file it is given.
void write_atomically(const py::handle &path, const std::function<void(const py::str &temporary)> &write);

// pd.read_parquet of one consistent version of the file: the file is opened once and pandas reads
// footer and data through that handle, so a writer replacing it meanwhile changes nothing here.
// With `through_pandas` false the file's table is converted as pandas converts it, without the
// dataset scan of pd.read_parquet, which costs more than the decode of a month file.
py::object read_parquet_snapshot(const py::handle &path, bool through_pandas = true);

// The exclusive lock of the stored file at `path`, held by every read-merge-write of that file
// until the returned object is destroyed. Waits with the GIL released; TimeoutError naming the
// file after CORVANE_LOCK_TIMEOUT seconds (600 when unset).
FileLock lock_stored_file(const py::handle &path);

}  // namespace corvane::native
