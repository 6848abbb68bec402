#include "bindings/pyglue.hpp"

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include <pthread.h>
#include <unistd.h>

namespace corvane::native {

using namespace pybind11::literals;

namespace {

// The namespace of this shared object's module. Deliberately leaked: it must outlive static
// destruction, which runs after the interpreter has finalised.
PyObject *module_namespace = nullptr;

py::object builtin(const char *name) { return py::module_::import("builtins").attr(name); }

// Bumped by interrupt_lock_waits; a wait that sees it move gives up.
std::atomic<unsigned long> lock_wait_interruptions{0};

std::string absolute_path(const py::handle &path) {
    py::object os = global("os");
    return py::str(os.attr("path").attr("abspath")(os.attr("fspath")(path))).cast<std::string>();
}

}  // namespace

void bind_module_namespace(const py::module_ &module) {
    PyObject *dict = PyModule_GetDict(module.ptr());
    Py_INCREF(dict);
    Py_XDECREF(module_namespace);
    module_namespace = dict;
}

py::object global(const char *name) {
    PyObject *value = module_namespace ? PyDict_GetItemString(module_namespace, name) : nullptr;
    if (value == nullptr) {
        raise_error(PyExc_NameError, concat("name '", name, "' is not defined"));
    }
    return py::reinterpret_borrow<py::object>(value);
}

void import_into(const char *name, const char *as) {
    PyDict_SetItemString(module_namespace, as, py::module_::import(name).ptr());
}

void import_from(const char *package, const char *name) {
    py::object value = py::module_::import(package).attr(name);
    PyDict_SetItemString(module_namespace, name, value.ptr());
}

PyObject *init_or_reuse_module(const char *full_name, void (*fill)(py::module_ &)) noexcept {
    try {
        py::dict modules = py::module_::import("sys").attr("modules");
        if (modules.contains(full_name)) {
            return py::object(modules[full_name]).release().ptr();
        }
        static PyModuleDef definition;
        py::module_ module = py::module_::create_extension_module(full_name, nullptr, &definition);
        bind_module_namespace(module);
        fill(module);
        modules[full_name] = module;
        return module.release().ptr();
    } catch (py::error_already_set &error) {
        error.restore();
    } catch (const std::exception &error) {
        PyErr_SetString(PyExc_ImportError, error.what());
    }
    return nullptr;
}

py::object make_plain_class(const py::module_ &module, const char *name, const char *doc) {
    py::dict namespace_;
    namespace_["__module__"] = module.attr("__name__");
    namespace_["__qualname__"] = name;
    namespace_["__doc__"] = doc;
    py::object cls = builtin("type")(name, py::make_tuple(builtin("object")), namespace_);
    PyDict_SetItemString(module_namespace, name, cls.ptr());
    return cls;
}

void add_forwarding_method(py::object &cls, const char *name, const char *doc, const py::dict &annotations,
                           const py::object &body, const py::list &parameter_names, const py::tuple &defaults,
                           bool with_self, bool is_static) {
    py::list parameters;
    if (with_self) {
        parameters.append("self");
    }
    for (py::handle parameter : parameter_names) {
        parameters.append(parameter);
    }
    py::str listed = py::str(", ").attr("join")(parameters);
    py::str source = concat("def ", name, "(", listed, "):\n    return body(", listed, ")\n");
    // A private namespace: the module gains no globals, and tracebacks name the module.
    py::dict scope;
    scope["__name__"] = cls.attr("__module__");
    scope["body"] = body;
    py::object code = builtin("compile")(source, concat("<", py::object(cls.attr("__module__")), ">"), "exec");
    builtin("exec")(code, scope);
    py::object function = scope[name];
    function.attr("__qualname__") = concat(cls.attr("__qualname__"), ".", name);
    function.attr("__doc__") = doc[0] == '\0' ? py::object(py::none()) : py::object(py::str(doc));
    if (len(defaults) > 0) {
        function.attr("__defaults__") = defaults;
    }
    function.attr("__annotations__") = annotations;
    cls.attr(name) = is_static ? py::object(py::staticmethod(function)) : function;
}

namespace {

// Serialises status lines of this process only: a lock shared with other processes (tqdm's) stays
// held when its holder dies, and one a caller may hold while waiting for the pool deadlocks it.
std::recursive_mutex *status_line_mutex = new std::recursive_mutex;

// A forked child starts with one thread, so a line another thread of the parent was printing
// would leave the copied mutex locked for ever.
void fresh_status_line_mutex_in_child() { status_line_mutex = new std::recursive_mutex; }

struct StatusLineLock {
    StatusLineLock() {
        static const bool registered = pthread_atfork(nullptr, nullptr, &fresh_status_line_mutex_in_child) == 0;
        (void)registered;
        if (!status_line_mutex->try_lock()) {
            // Waited for without the GIL: the holder needs it to finish its line.
            without_gil([] { status_line_mutex->lock(); });
        }
        held = status_line_mutex;
    }
    ~StatusLineLock() { held->unlock(); }
    StatusLineLock(const StatusLineLock &) = delete;
    StatusLineLock &operator=(const StatusLineLock &) = delete;
    std::recursive_mutex *held;
};

// The status lines' lock as a Python lock, for a progress bar to draw under: tqdm draws a bar
// under the bar's `_lock`, and with this one a bar's redraw never lands between a line's clearing
// of the bars and the line itself. One per module, made on first use and kept for its life.
py::object status_line_lock_object() {
    static py::object *lock = nullptr;
    if (lock == nullptr) {
        py::object type = builtin("type");
        py::object cls = type("StatusLineLock", py::make_tuple(builtin("object")), py::dict());
        // Builtin functions do not bind to instances, so these take no self: acquire(blocking=True),
        // release(), and the two of the with statement.
        cls.attr("acquire") = py::cpp_function([](py::args arguments) {
            bool blocking = arguments.empty() || py::bool_(arguments[0]);
            if (status_line_mutex->try_lock()) {
                return true;
            }
            if (!blocking) {
                return false;
            }
            without_gil([] { status_line_mutex->lock(); });
            return true;
        });
        cls.attr("release") = py::cpp_function([](py::args) { status_line_mutex->unlock(); });
        cls.attr("__enter__") = cls.attr("acquire");
        cls.attr("__exit__") = cls.attr("release");
        lock = new py::object(cls());
    }
    return *lock;
}

// Enters tqdm's external_write_mode without its lock: every bar cleared now and redrawn at exit.
// Without the lock, a bar created or closed by another thread meanwhile makes tqdm's walk over its
// bars fail ("changed size during iteration"); the walk is tried again, and after a few such
// failures the line goes out without the bars cleared rather than not at all. None then.
py::object clear_bars() {
    py::object tqdm = py::module_::import("tqdm").attr("tqdm");
    for (int attempt = 0; attempt < 8; ++attempt) {
        py::object bars = tqdm.attr("external_write_mode")("nolock"_a = true);
        try {
            bars.attr("__enter__")();
            return bars;
        } catch (py::error_already_set &error) {
            if (!error.matches(PyExc_RuntimeError)) {
                throw;
            }
        }
    }
    return py::none();
}

}  // namespace

bool is_lost_output(py::error_already_set &error) {
    if (error.matches(PyExc_BrokenPipeError)) {
        return true;
    }
    if (!error.matches(PyExc_ValueError)) {
        return false;
    }
    py::object stdout_ = py::module_::import("sys").attr("stdout");
    return !stdout_.is_none() && py::bool_(py::getattr(stdout_, "closed", py::bool_(false)));
}

namespace {

// The line as a record of the `corvane` logger at INFO: unseen unless the program configures
// logging, and then with whatever timestamps its handlers add.
// The bare print() that ends some reports is no record.
void log_line(const py::tuple &arguments) {
    if (arguments.empty()) {
        return;
    }
    py::object logging = py::module_::import("logging");
    py::object logger = logging.attr("getLogger")("corvane");
    if (py::bool_(logger.attr("isEnabledFor")(logging.attr("INFO")))) {
        logger.attr("info")("%s", py::str(arguments[0]));
    }
}

// Calls print(*arguments) with every tqdm bar cleared around it, taking no lock that tqdm shares.
// A line that cannot be printed is dropped: whatever the caller did (a stored write among it)
// matters more than its report.
void print_between_bars(const py::tuple &arguments) {
    log_line(arguments);
    if (output_silenced()) {
        return;
    }
    StatusLineLock lock;
    // Clearing and redrawing the bars write to their stream too, which may be gone as well.
    py::object bars = py::none();
    try {
        bars = clear_bars();
    } catch (py::error_already_set &error) {
        if (!is_lost_output(error)) {
            throw;
        }
    }
    auto redraw = [&bars] {
        if (bars.is_none()) {
            return;
        }
        try {
            bars.attr("__exit__")(py::none(), py::none(), py::none());
        } catch (py::error_already_set &error) {
            if (!is_lost_output(error)) {
                throw;
            }
        }
    };
    try {
        builtin("print")(*arguments);
    } catch (py::error_already_set &error) {
        redraw();
        if (is_lost_output(error)) {
            return;
        }
        throw;
    }
    redraw();
}

}  // namespace

bool output_silenced() {
    py::object value = py::module_::import("os").attr("environ").attr("get")("CORVANE_QUIET", "");
    std::string setting = py::str(value).cast<std::string>();
    return !setting.empty() && setting != "0";
}

py::dict bar_settings() {
    py::dict settings;
    if (output_silenced()) {
        settings["disable"] = true;
    }
    return settings;
}

void print_line(const py::handle &text) { print_between_bars(py::make_tuple(py::str(text))); }

py::object make_bar_under_status_line_lock(const std::function<py::object()> &make) {
    StatusLineLock lock;
    py::object bar = make();
    if (py::hasattr(bar, "_lock")) {
        bar.attr("_lock") = status_line_lock_object();
    }
    return bar;
}

void print_empty_line() { print_between_bars(py::tuple()); }

void ensure_directory(const py::handle &path) {
    py::object os = global("os");
    if (py::bool_(os.attr("path").attr("exists")(path))) {
        return;
    }
    try {
        os.attr("makedirs")(path);
    } catch (py::error_already_set &error) {
        // Lost a race with another creator: the directory we wanted is there now.
        if (error.matches(PyExc_FileExistsError) &&
            py::bool_(os.attr("path").attr("isdir")(path))) {
            return;
        }
        throw;
    }
}

std::optional<std::string> write_atomically(const py::handle &path,
                                            const std::function<void(const py::str &temporary)> &write,
                                            core::DurableBatch *batch) {
    py::object os = global("os");
    std::string target = py::str(os.attr("fspath")(path)).cast<std::string>();
    std::string directory = py::str(os.attr("path").attr("dirname")(target)).cast<std::string>();
    if (directory.empty()) {
        directory = ".";
    }
    // Named so that listings of month files never pick it up (hidden, no ".parquet", no "_YYYY-MM."),
    // and locked while it lives so that no other writer's cleanup takes it for a dead one's.
    std::optional<core::TemporaryFile> temporary;
    without_gil([&] {
        // Before the write, so that space a dead writer held is free again when this one needs it.
        if (batch != nullptr) {
            batch->sweeps().sweep(directory);
        } else {
            core::remove_dead_writers_leftovers(directory, core::leftover_age_limit);
        }
        temporary.emplace(directory);
    });
    // A failure here leaves the old file; the temporary one goes with its owner.
    write(py::str(temporary->path()));
    return without_gil([&]() -> std::optional<std::string> {
        core::sync_and_rename(*temporary, target);
        if (batch != nullptr && batch->renamed_into(directory)) {
            return directory;
        }
        core::sync_directory(directory);
        return std::nullopt;
    });
}

void rethrow_naming_file(py::error_already_set &error, const py::handle &path) {
    py::str text = py::str(error.value());
    py::str named = py::str(global("os").attr("fspath")(path));
    if (text.attr("__contains__")(named).cast<bool>()) {
        throw error;
    }
    py::object replacement;
    try {
        replacement = error.type()(concat(named, ": ", text));
    } catch (py::error_already_set &) {
        // A type that cannot be built from a message alone keeps its own.
        throw error;
    }
    raise_with_cause(replacement, error.value());
}

namespace {

// pd.read_parquet(handle) without its dataset scan, which costs more than the decode of a month: the
// file's table converted as pandas converts it. pyarrow before 19 needs pandas' own type mapping, and
// frame attributes are restored by pandas alone: both still go through pandas.
py::object read_parquet_handle(const py::object &handle, bool through_pandas) {
    if (!through_pandas && major_version(py::module_::import("pyarrow")) >= 19) {
        py::object table = py::module_::import("pyarrow.parquet")
                               .attr("ParquetFile")(handle)
                               .attr("read")("use_pandas_metadata"_a = true);
        py::object metadata = table.attr("schema").attr("metadata");
        if (metadata.is_none() || !metadata.contains(py::bytes("PANDAS_ATTRS"))) {
            return table.attr("to_pandas")();
        }
        handle.attr("seek")(0);
    }
    return global("pd").attr("read_parquet")(handle);
}

}  // namespace

int major_version(const py::handle &module) {
    std::string version = py::str(module.attr("__version__")).cast<std::string>();
    return std::stoi(version.substr(0, version.find('.')));
}

py::object arrow_reader_of_bytes(const py::handle &data) {
    py::object pyarrow = py::module_::import("pyarrow");
    py::object sink = pyarrow.attr("BufferOutputStream")();
    sink.attr("write")(data);
    return pyarrow.attr("BufferReader")(sink.attr("getvalue")());
}

py::object arrow_reader_of_descriptor(int fd) {
    py::object pyarrow = py::module_::import("pyarrow");
    try {
        return pyarrow.attr("OSFile")("/proc/self/fd/" + std::to_string(fd));
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_OSError)) {
            throw;
        }
    }
    py::object os = global("os");
    return arrow_reader_of_bytes(os.attr("pread")(fd, os.attr("fstat")(fd).attr("st_size"), 0));
}

py::object read_parquet_snapshot(const py::handle &path, bool through_pandas) {
    // pyarrow's own file reads without the GIL, so pool threads reading months stay parallel; a
    // Python file object would take the GIL for every read the decoder makes.
    py::object handle = py::module_::import("pyarrow").attr("OSFile")(global("os").attr("fspath")(path));
    py::object frame;
    try {
        frame = read_parquet_handle(handle, through_pandas);
    } catch (py::error_already_set &error) {
        handle.attr("close")();
        // pandas sees only the open handle, so its message names no file.
        rethrow_naming_file(error, path);
    }
    handle.attr("close")();
    return frame;
}

core::FileLock lock_stored_file(const py::handle &path) {
    std::string data_path = absolute_path(path);
    // With the GIL held: the environment is not read while another thread sets it.
    double timeout = raising_core_failures(core::lock_timeout_seconds);
    unsigned long interruptions = lock_wait_interruptions.load();
    auto interrupted = [interruptions] {
        // With the GIL for a moment: only the interpreter knows whether a signal arrived.
        py::gil_scoped_acquire gil;
        return PyErr_CheckSignals() != 0 || lock_wait_interruptions.load() != interruptions;
    };
    return without_gil([&] { return core::FileLock(data_path, timeout, interrupted); });
}

void interrupt_lock_waits() { lock_wait_interruptions.fetch_add(1); }

std::optional<std::string_view> utf8_view(const py::handle &text) {
    if (!PyUnicode_Check(text.ptr())) {
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char *bytes = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (bytes == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string_view(bytes, static_cast<size_t>(size));
}

}  // namespace corvane::native
