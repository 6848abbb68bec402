// Python glue shared by corvane's extension modules.
//
// Everything here drives Python objects through pybind11 and must be called with the GIL held.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/durable_batch.hpp"
#include "core/durable_files.hpp"
#include "bindings/errors.hpp"

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

// type(name, (object,), {...}) with __module__ and __doc__ set, bound into the module namespace.
py::object make_plain_class(const py::module_ &module, const char *name, const char *doc);

// Every method is an ordinary Python function `name(<parameters>)` defined on cls, whose body hands
// its arguments, positionally, to a C++ function. Being real functions, they carry the qualified
// name cls.name and the module's name, pickle by reference (a pool of processes can be handed
// one), and inspect.signature and help() read their parameters and defaults as written, the
// defaults being the very objects given. An empty doc leaves __doc__ None.
void add_forwarding_method(py::object &cls, const char *name, const char *doc, const py::dict &annotations,
                           const py::object &body, const py::list &parameter_names, const py::tuple &defaults,
                           bool with_self, bool is_static);

// A method's docstring: its own fixed text (`own`, possibly empty) with `details` (what each
// parameter means and what it returns) after it. An own text laid out as an indented block (a line
// break first) gets the details as further lines of that block, so help() shows one block.
inline std::string documented(const std::string &own, const std::string &details) {
    if (own.empty()) {
        return details;
    }
    if (own.front() != '\n') {
        return own + "\n\n" + details;
    }
    const std::string indent = "        ";
    std::string block = own + "\n" + indent;
    for (char c : details) {
        block += c;
        if (c == '\n') {
            block += indent;
        }
    }
    return block + "\n" + indent;
}

inline void append_default(py::list &, const py::arg &) {}
inline void append_default(py::list &defaults, const py::arg_v &parameter) { defaults.append(parameter.value); }

template <typename Func, typename... Args>
void add_forwarded(py::object &cls, const char *name, const char *doc, const py::dict &annotations, Func &&f,
                   bool with_self, bool is_static, const Args &...args) {
    py::list names;
    py::list defaults;
    (names.append(args.name), ...);
    (append_default(defaults, args), ...);
    // The body is reached only through the function, so its own name is never shown; pybind11 takes
    // any function named __init__ for a constructor of its own types.
    bool is_init = std::string(name) == "__init__";
    py::cpp_function body(std::forward<Func>(f), py::name(is_init ? "initialise" : name));
    add_forwarding_method(cls, name, doc, annotations, body, names, py::tuple(defaults), with_self, is_static);
}

// An instance method.
template <typename Func, typename... Args>
void add_method(py::object &cls, const char *name, const char *doc, Func &&f, const Args &...args) {
    add_forwarded(cls, name, doc, py::dict(), std::forward<Func>(f), true, false, args...);
}

// A function without self, wrapped in the builtin staticmethod.
template <typename Func, typename... Args>
void add_static(py::object &cls, const char *name, const char *doc, Func &&f, const Args &...args) {
    add_forwarded(cls, name, doc, py::dict(), std::forward<Func>(f), false, true, args...);
}

// __init__.
template <typename Func, typename... Args>
void add_init(py::object &cls, const char *doc, Func &&f, const Args &...args) {
    add_forwarded(cls, "__init__", doc, py::dict(), std::forward<Func>(f), true, false, args...);
}

// An instance method whose parameters carry annotations.
template <typename Func, typename... Args>
void add_annotated_method(py::object &cls, const char *name, const char *doc, const py::dict &annotations, Func &&f,
                          const Args &...args) {
    add_forwarded(cls, name, doc, annotations, std::forward<Func>(f), true, false, args...);
}

// --- text ----------------------------------------------------------------------------------------

// The UTF-8 bytes of a str (a subclass too), kept by the str and valid while it lives; nullopt, with
// no exception left set, for anything else and for a str with lone surrogates, which has none.
std::optional<std::string_view> utf8_view(const py::handle &text);

// Pieces joined as an f-string would render them: C strings as they are, every other value by str().
inline py::str piece_text(const char *literal) { return py::str(literal); }
inline py::str piece_text(const py::handle &value) { return py::str(value); }

template <typename... Pieces>
py::str concat(const Pieces &...pieces) {
    py::list parts;
    (parts.append(piece_text(pieces)), ...);
    return py::str("").attr("join")(parts);
}

// One status line: print(text), the builtin looked up at call time, with the bars of tqdm cleared
// around it. Lines of this process's threads never run together: a lock of this process alone,
// waited for without the GIL, keeps them apart; tqdm's own lock is never taken, since a caller may
// hold it and a killed child may leave it held. print_empty_line calls print().
// Every line also goes to the `corvane` logger at INFO; CORVANE_QUIET (set, and not "0") keeps it
// off the stream. A line that standard output cannot take (its pipe's reader gone, the stream
// closed) is dropped rather than raised.
void print_line(const py::handle &text);
void print_empty_line();

// A progress bar made by `make` (a tqdm) that draws under the status lines' lock instead of tqdm's
// own: pool threads' status lines then never land glued to a bar redrawn meanwhile, and neither
// takes a lock shared with other processes. Something other than a tqdm bar is returned as it is.
// Whether `error` says that output can no longer be written: the reader of a pipe went away
// (BrokenPipeError), or standard output was closed.
bool is_lost_output(py::error_already_set &error);

// Whether CORVANE_QUIET asks for no status lines and no progress bars; read at each call.
bool output_silenced();
// Keyword arguments for every progress bar of the library: disable=True under CORVANE_QUIET, else
// none, so the bar is tqdm's default (or whatever the module's `tqdm` has been replaced with).
py::dict bar_settings();

py::object make_bar_under_status_line_lock(const std::function<py::object()> &make);

// --- file system ---------------------------------------------------------------------------------

// os.makedirs(path) when os.path.exists(path) is false, tolerating a directory that another thread or
// process created in between; any other failure (a regular file in the way, no permission) raises.
void ensure_directory(const py::handle &path);

// What `write` puts in the temporary file it is given (a name in the target's directory), fsynced and
// renamed over the target, then the directory fsynced: readers never see a half-written file, a
// failed write keeps the old one and a power cut leaves the old or the new one. Each write first
// removes the temporary files that dead writers left in that directory.
//
// With `batch`, the directory's fsync and sweep are the batch's (once for all its files): the call
// returns the directory when the batch took its fsync over, and the new file is durable only once the
// batch has finished; nothing when it fsynced the directory itself (the batch was finishing already).
std::optional<std::string> write_atomically(const py::handle &path,
                                            const std::function<void(const py::str &temporary)> &write,
                                            core::DurableBatch *batch = nullptr);

// Raises the exception of `error` again, of its own type, with the path of the file it concerns in
// front of its message and the original as its cause; unchanged when the message names the file
// already or the type cannot be built from a message.
[[noreturn]] void rethrow_naming_file(py::error_already_set &error, const py::handle &path);

// pd.read_parquet of one consistent version of the file: the file is opened once and pandas reads
// footer and data through that handle, so a writer replacing it meanwhile changes nothing here.
// With `through_pandas` false the file's table is converted as pandas converts it, without the
// dataset scan of pd.read_parquet, which costs more than the decode of a month file.
py::object read_parquet_snapshot(const py::handle &path, bool through_pandas = true);

// pyarrow readers that hold no Python object. pyarrow's pool threads may let go of a reader after
// its read has returned; one that holds a Python object then takes the GIL, and a thread that does
// so while the interpreter exits aborts the process. A copy of `data` (any bytes-like object) in
// pyarrow's memory, or the file open as `fd` reopened by pyarrow (the same version, whatever replaced
// its path since; a copy where that fails).
// The major version of a module that has a __version__ (pandas, pyarrow).
int major_version(const py::handle &module);

py::object arrow_reader_of_bytes(const py::handle &data);
py::object arrow_reader_of_descriptor(int fd);

// The exclusive lock of the stored file at `path`, held by every read-merge-write of that file
// until the returned object is destroyed. Waits with the GIL released; TimeoutError naming the
// file after CORVANE_LOCK_TIMEOUT seconds (600 when unset); KeyboardInterrupt soon after a SIGINT
// (the wait looks at the interpreter's signals) or after interrupt_lock_waits.
core::FileLock lock_stored_file(const py::handle &path);

// Makes every lock wait in progress in this process raise KeyboardInterrupt: only the main thread
// sees a Ctrl-C, and the pool's threads must not wait out their locks after it.
void interrupt_lock_waits();

}  // namespace corvane::native
