// Server values are loaded in a process of their own (corvane/_value_worker.py): a pickle decides by
// its arguments what the rebuilders it names do, so no list of admitted names makes it safe to load
// here. The worker is a fresh interpreter started per client and kept for its values; it unpickles
// under a memory and CPU limit and returns a DataFrame as an Arrow IPC stream, which runs no code and
// is validated in full here before pandas sees it. A crash, an overrun or a refusal becomes an error
// naming the key, and the worker is started again for the next value.
#include "cvclient/client.hpp"
#include "cvclient/worker_channel.hpp"

#include <pybind11/eval.h>

#include <fcntl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <string>

namespace corvane::client {

namespace {

using namespace pybind11::literals;

// What one value may use: memory in proportion to its size (a frame's pickle, its objects and its
// Arrow copy), with a floor for small frames; seconds likewise.
constexpr std::uint64_t memory_floor = 512ull << 20;
constexpr std::uint64_t memory_per_value_byte = 32;
constexpr double default_seconds_floor = 60;
constexpr double seconds_per_mib = 1;

// The worker's reply kinds, in the order of the worker's constants.
enum ReplyKind : std::uint8_t {
    ok, refused, not_a_pickle, not_a_frame, no_safe_format, out_of_memory, changed_a_class
};

struct Limits {
    std::uint64_t memory;
    std::uint64_t cpu_seconds;
    double seconds;
};

double seconds_floor() {
    py::object text = global("os").attr("environ").attr("get")("CORVANE_VALUE_TIMEOUT");
    if (text.is_none()) {
        return default_seconds_floor;
    }
    try {
        double seconds = py::float_(text).cast<double>();
        if (seconds > 0) {
            return seconds;
        }
    } catch (py::error_already_set &) {
    }
    raise_error(PyExc_ValueError,
                native::concat("CORVANE_VALUE_TIMEOUT must be a number of seconds > 0, not ", py::repr(text)));
}

Limits limits_for(std::size_t size) {
    double seconds = seconds_floor() + seconds_per_mib * static_cast<double>(size) / (1 << 20);
    std::uint64_t memory = std::max<std::uint64_t>(memory_floor, memory_per_value_byte * size);
    return {memory, static_cast<std::uint64_t>(seconds) + 1, seconds};
}

py::object unpickling_error() { return global("pickle").attr("UnpicklingError"); }

// --- the worker process ---------------------------------------------------------------------------

// Ends a worker: closes its pipes, kills it and reaps it. Runs when its client is collected, at
// interpreter exit, and whenever a value leaves the worker in doubt.
void stop_worker(py::object process) {
    for (const char *stream : {"stdin", "stdout"}) {
        py::object pipe = process.attr(stream);
        if (!pipe.is_none()) {
            pipe.attr("close")();
        }
    }
    if (process.attr("poll")().is_none()) {
        process.attr("kill")();
    }
    process.attr("wait")();
}

// The worker sees only what it needs: no credential or token of the environment, no descriptor of
// ours (close_fds), the import path as an argument, and one thread for numpy and Arrow.
py::dict worker_environment() {
    py::dict environment;
    environment["PATH"] = global("os").attr("defpath");
    environment["OPENBLAS_NUM_THREADS"] = "1";
    environment["OMP_NUM_THREADS"] = "1";
    // malloc, whose address space follows what is used, so the limit counts the value's memory.
    environment["ARROW_DEFAULT_MEMORY_POOL"] = "system";
    return environment;
}

// A month's value is about a MiB each way: a pipe that holds it whole saves both sides a wake-up per
// 64 KiB. Where the system allows less, the pipe stays as it is.
void widen_pipe(int fd) {
    constexpr int wanted = 1 << 20;
    (void)::fcntl(fd, F_SETPIPE_SZ, wanted);
}

// Waits, on a thread of its own, until the worker ends, and reaps it then: a worker that dies while
// its client is idle leaves no zombie behind. WNOWAIT leaves the reaping to Popen, which records
// the exit status; a worker reaped meanwhile by stop_worker only ends the wait. Written in Python:
// a thread still waiting at interpreter exit must end in the interpreter's own code, holding no
// object of ours.
constexpr const char *reaper_source = R"(
import os

def reap_when_it_ends(process):
    try:
        os.waitid(os.P_PID, process.pid, os.WEXITED | os.WNOWAIT)
    except ChildProcessError:
        pass
    process.poll()
)";

void watch_worker(const py::object &process) {
    py::dict scope;
    py::exec(reaper_source, scope);
    py::module_::import("threading")
        .attr("Thread")("target"_a = scope["reap_when_it_ends"], "args"_a = py::make_tuple(process),
                        "daemon"_a = true, "name"_a = "corvane-value-worker-reaper")
        .attr("start")();
}

py::object start_worker() {
    py::module_ sys = py::module_::import("sys");
    py::object os = global("os");
    py::object here = os.attr("path").attr("dirname")(py::module_::import("corvane.CVClient").attr("__file__"));
    py::list command;
    command.append(sys.attr("executable"));
    command.append("-I");  // no environment variables, no user site, no script directory on the path
    command.append("-S");
    command.append(os.attr("path").attr("join")(here, "_value_worker.py"));
    for (py::handle entry : sys.attr("path")) {
        if (py::isinstance<py::str>(entry)) {
            command.append(entry);
        }
    }
    py::object subprocess = py::module_::import("subprocess");
    py::object process = subprocess.attr("Popen")(
        command, "stdin"_a = subprocess.attr("PIPE"), "stdout"_a = subprocess.attr("PIPE"),
        "stderr"_a = subprocess.attr("DEVNULL"), "env"_a = worker_environment(), "close_fds"_a = true,
        "bufsize"_a = 0);
    // Transfers poll with a deadline: a write to a full pipe must not block past it.
    for (const char *stream : {"stdin", "stdout"}) {
        int fd = process.attr(stream).attr("fileno")().cast<int>();
        os.attr("set_blocking")(fd, false);
        widen_pipe(fd);
    }
    watch_worker(process);
    return process;
}

// A fresh worker started ahead for the next client, made when a client goes away while the process
// goes on (a service, a test run, a benchmark making one client after another), so that its first
// sync does not wait for an interpreter to start. It has loaded nothing, so no client ever sees a
// worker another client's values went through. Never destroyed: the exit hook ends it.
py::object &spare_worker() {
    static auto *spare = new py::object(py::none());
    return *spare;
}

void stop_spare() {
    py::object spare = spare_worker();
    spare_worker() = py::none();
    if (!spare.is_none()) {
        stop_worker(spare);
    }
}

void keep_a_spare() {
    // At exit the main thread has already stopped: no new process then.
    if (!spare_worker().is_none() ||
        !py::bool_(py::module_::import("threading").attr("main_thread")().attr("is_alive")())) {
        return;
    }
    static bool exit_hook = false;
    if (!exit_hook) {
        py::module_::import("atexit").attr("register")(py::cpp_function(&stop_spare, py::name("stop_spare")));
        exit_hook = true;
    }
    spare_worker() = start_worker();
}

py::object take_worker() {
    py::object spare = spare_worker();
    spare_worker() = py::none();
    if (!spare.is_none()) {
        if (spare.attr("poll")().is_none()) {
            return spare;
        }
        stop_worker(spare);
    }
    return start_worker();
}

// The finalizer of a client's worker: it ends with its client, or when a value leaves it in doubt.
void retire_worker(py::object process) {
    stop_worker(process);
    keep_a_spare();
}

// The client's worker record (process, finalizer, lock), made on first use. Made with the GIL held
// throughout, so two threads cannot both make one.
py::object worker_record(py::object &self) {
    py::object record = py::getattr(self, "_value_worker", py::none());
    if (record.is_none()) {
        record = py::module_::import("types").attr("SimpleNamespace")(
            "process"_a = py::none(), "ready"_a = false, "stop"_a = py::none(),
            "lock"_a = py::module_::import("threading").attr("Lock")());
        self.attr("_value_worker") = record;
    }
    return record;
}

// The running worker of this client, started when there is none or the last one ended.
py::object running_worker(py::object &self, py::object &record) {
    py::object process = record.attr("process");
    if (!process.is_none()) {
        if (process.attr("poll")().is_none()) {
            return process;
        }
        record.attr("stop")();
    }
    process = take_worker();
    py::cpp_function stop(&retire_worker, py::name("retire_worker"), py::arg("process"));
    record.attr("stop") = py::module_::import("weakref").attr("finalize")(self, stop, process);
    record.attr("process") = process;
    record.attr("ready") = false;
    return process;
}

// --- one exchange ---------------------------------------------------------------------------------

struct Reply {
    ReplyKind kind;
    py::bytes payload;
};

void put_u64(char *out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<char>((value >> (8 * i)) & 0xff);
    }
}

std::uint64_t get_u64(const char *in) {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
        value |= static_cast<std::uint64_t>(static_cast<unsigned char>(in[i])) << (8 * i);
    }
    return value;
}

// Why the worker is gone, from its exit status: a signal by name, or the exit code.
py::str how_it_ended(py::object &process) {
    py::object code = process.attr("returncode");
    if (code.is_none()) {
        return py::str("stopped answering");
    }
    int status = code.cast<int>();
    if (status < 0) {
        py::object name = py::module_::import("signal").attr("Signals")(-status).attr("name");
        return native::concat("died of ", name);
    }
    return native::concat("exited with status ", code);
}

[[noreturn]] void worker_failed(py::object &record, py::object &process, const py::handle &key, Transfer why,
                                const Limits &limits) {
    record.attr("stop")();
    if (why == Transfer::timed_out) {
        raise_error(PyExc_TimeoutError,
                    native::concat(key, ": loading the value took longer than ",
                                   py::str("{:.0f}").format(limits.seconds),
                                   " seconds (CORVANE_VALUE_TIMEOUT, plus one second per MiB); nothing was stored"));
    }
    py::str ended = how_it_ended(process);
    raise_error(unpickling_error(), native::concat(key, ": the process loading the value ", ended,
                                                   "; nothing was stored"));
}

// Runs `body` (a transfer) with the GIL released, checking for signals between waits. When it is
// interrupted (Ctrl-C) the worker's place in the exchange is unknown, so the worker is stopped.
template <typename Body>
Transfer without_gil(py::object &record, double seconds, Body &&body) {
    std::function<void()> check_signals = [] {
        py::gil_scoped_acquire acquire;
        if (PyErr_CheckSignals() != 0) {
            native::raise_pending();
        }
    };
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000));
    Waiting waiting{deadline, std::chrono::milliseconds(200), check_signals};
    try {
        py::gil_scoped_release release;
        return body(waiting);
    } catch (...) {
        record.attr("stop")();
        throw;
    }
}

// A new worker writes one byte once it has imported pandas and pyarrow: its start does not count
// against the first value's time.
constexpr double start_seconds = 120;

// How long a new worker may take to become ready: CORVANE_VALUE_TIMEOUT where it is set, so that
// no wait outlasts it, else start_seconds.
double start_wait() {
    if (global("os").attr("environ").attr("get")("CORVANE_VALUE_TIMEOUT").is_none()) {
        return start_seconds;
    }
    return seconds_floor();
}

void await_ready(py::object &record, py::object &process, const py::handle &key) {
    int from_worker = process.attr("stdout").attr("fileno")().cast<int>();
    char ready = 0;
    Transfer got = without_gil(record, start_wait(),
                               [&](const Waiting &waiting) { return read_exact(from_worker, &ready, 1, waiting); });
    if (got != Transfer::done || ready != 'R') {
        process.attr("poll")();
        record.attr("stop")();
        raise_error(PyExc_RuntimeError, native::concat(key, ": the process that loads server values did not start (",
                                                       how_it_ended(process), ")"));
    }
    record.attr("ready") = true;
}

struct Request {
    char header[24];
    explicit Request(const py::buffer_info &value, const Limits &limits) {
        put_u64(header, static_cast<std::uint64_t>(value.size));
        put_u64(header + 8, limits.memory);
        put_u64(header + 16, limits.cpu_seconds);
    }
};

int pipe_of(py::object &process, const char *stream) {
    return process.attr(stream).attr("fileno")().cast<int>();
}

// The rest of a reply whose 9-byte header is read: checked, then its payload, first from `inbox`.
Reply read_reply_body(py::object &record, py::object &process, const py::handle &key, const Limits &limits,
                      const char *reply_header, std::string &inbox) {
    std::uint64_t length = get_u64(reply_header + 1);
    auto kind = static_cast<ReplyKind>(reply_header[0]);
    // The reply can be no larger than what the worker may hold; anything else is not our worker.
    if (kind > changed_a_class || length > limits.memory) {
        record.attr("stop")();
        raise_error(unpickling_error(), native::concat(key, ": the process loading the value answered out of turn"));
    }
    py::bytes payload(nullptr, 0);
    if (length > 0) {
        payload = py::reinterpret_steal<py::bytes>(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
        if (!payload) {
            native::raise_pending();
        }
        char *into = PyBytes_AS_STRING(payload.ptr());
        int from_worker = pipe_of(process, "stdout");
        Transfer got = without_gil(record, limits.seconds, [&](const Waiting &waiting) {
            return read_exact_after(inbox, from_worker, into, static_cast<std::size_t>(length), waiting);
        });
        if (got != Transfer::done) {
            process.attr("poll")();
            worker_failed(record, process, key, got, limits);
        }
    }
    if (kind == changed_a_class) {
        record.attr("stop")();  // the worker ends itself too: its interpreter is no longer a clean one
    }
    return {kind, payload};
}

// One value through the worker and back, nothing else in flight; the caller holds the record's lock.
Reply exchange_locked(py::object &self, py::object &record, const py::handle &key, const py::buffer_info &value,
                      const Limits &limits) {
    Request request(value, limits);
    char reply_header[9];
    py::object process;
    Transfer sent = Transfer::done;
    std::string inbox;  // stays empty: nothing else is in flight
    // A worker that died since its last value (killed from outside, perhaps a moment ago) closes
    // without a reply; the value then goes to a new worker once. A new worker that dies while loading
    // is the value's doing.
    for (int attempt = 0; attempt < 2; ++attempt) {
        process = running_worker(self, record);
        bool reused = py::bool_(record.attr("ready"));
        if (!reused) {
            await_ready(record, process, key);
        }
        int to_worker = pipe_of(process, "stdin");
        int from_worker = pipe_of(process, "stdout");
        sent = without_gil(record, limits.seconds, [&](const Waiting &waiting) {
            Transfer step = write_all(to_worker, request.header, sizeof request.header, waiting);
            if (step == Transfer::done) {
                step = write_all(to_worker, static_cast<const char *>(value.ptr), static_cast<std::size_t>(value.size),
                                 waiting);
            }
            if (step != Transfer::done) {
                return step;
            }
            return read_exact(from_worker, reply_header, sizeof reply_header, waiting);
        });
        if (!reused || sent != Transfer::closed) {
            break;
        }
        record.attr("stop")();
    }
    if (sent != Transfer::done) {
        process.attr("poll")();
        worker_failed(record, process, key, sent, limits);
    }
    return read_reply_body(record, process, key, limits, reply_header, inbox);
}

// The record's lock, held for one exchange or a whole pipelined load: one caller at a time per worker;
// another thread of this client waits here (GIL released).
class WorkerLock {
public:
    explicit WorkerLock(py::object &record) : lock_(record.attr("lock")) { lock_.attr("acquire")(); }
    ~WorkerLock() { lock_.attr("release")(); }
    WorkerLock(const WorkerLock &) = delete;
    WorkerLock &operator=(const WorkerLock &) = delete;

private:
    py::object lock_;
};

Reply exchange(py::object &self, const py::handle &key, const py::buffer_info &value, const Limits &limits) {
    py::object record = worker_record(self);
    WorkerLock locked(record);
    return exchange_locked(self, record, key, value, limits);
}

// --- the frame that comes back ------------------------------------------------------------------

// Arrow types a DataFrame is carried in: flat scalars, dictionaries of them, and shallow structs and
// unions (intervals, mixed object columns). Nothing whose size is not in its buffers (run-end
// encoding, views) and nothing deeply nested.
bool is_carried_type(const py::handle &type, int depth) {
    py::object pa = py::module_::import("pyarrow");
    py::object types = pa.attr("types");
    py::object storage = py::reinterpret_borrow<py::object>(type);
    if (py::isinstance(storage, pa.attr("ExtensionType"))) {
        storage = storage.attr("storage_type");
    }
    for (const char *flat : {"is_null", "is_boolean", "is_integer", "is_floating", "is_string", "is_large_string",
                             "is_binary", "is_large_binary", "is_timestamp", "is_date", "is_time", "is_duration",
                             "is_decimal"}) {
        if (py::bool_(types.attr(flat)(storage))) {
            return true;
        }
    }
    if (py::bool_(types.attr("is_dictionary")(storage))) {
        return py::bool_(types.attr("is_integer")(storage.attr("index_type"))) &&
               is_carried_type(storage.attr("value_type"), depth + 1);
    }
    if (depth < 2 && (py::bool_(types.attr("is_struct")(storage)) || py::bool_(types.attr("is_union")(storage)))) {
        for (int i = 0; i < storage.attr("num_fields").cast<int>(); ++i) {
            if (!is_carried_type(storage.attr("field")(i).attr("type"), depth + 1)) {
                return false;
            }
        }
        return true;
    }
    return false;
}

// The pieces the worker's note names: mixed object columns (unions) and index frequencies.
py::dict worker_note(const py::object &table) {
    py::object metadata = table.attr("schema").attr("metadata");
    if (metadata.is_none() || !metadata.contains(py::bytes("corvane"))) {
        raise_error(PyExc_ValueError, "it carries no description of the frame");
    }
    py::object note = py::module_::import("json").attr("loads")(metadata[py::bytes("corvane")]);
    if (!py::isinstance<py::dict>(note)) {
        raise_error(PyExc_ValueError, "its description of the frame is not a mapping");
    }
    return note;
}

// The columns the worker sent as unions, taken out of the table (nulls in their place) for pandas.
py::dict take_mixed_columns(py::object &table, const py::dict &note) {
    py::object pa = py::module_::import("pyarrow");
    py::dict mixed;
    py::object positions = note.attr("get")("mixed", py::list());
    for (py::handle position : positions) {
        py::object column = table.attr("column")(position);
        if (!py::bool_(pa.attr("types").attr("is_union")(column.attr("type")))) {
            raise_error(PyExc_ValueError, "a mixed column is not a union");
        }
        mixed[position] = column;
        table = table.attr("set_column")(position, table.attr("field")(position).attr("name"),
                                         pa.attr("nulls")(table.attr("num_rows")));
    }
    for (py::handle field : table.attr("schema")) {
        if (py::bool_(pa.attr("types").attr("is_union")(field.attr("type")))) {
            raise_error(PyExc_ValueError, "a union outside the mixed columns");
        }
    }
    return mixed;
}

void restore_frequencies(py::object &frame, const py::dict &note) {
    py::object frequencies = note.attr("get")("freq", py::dict());
    for (const char *axis : {"index", "columns"}) {
        py::object freq = frequencies.attr("get")(axis);
        if (!freq.is_none()) {
            py::object labels = frame.attr(axis);
            // The constructor checks that the labels follow the frequency.
            frame.attr(axis) = py::type::of(labels)(labels, "freq"_a = py::str(freq));
        }
    }
}

py::object frame_from_arrow(const py::handle &key, const py::bytes &payload) {
    py::object pa = py::module_::import("pyarrow");
    py::module_::import("pyarrow.ipc");
    // pandas' period and interval types, which Arrow knows only once pandas has registered them.
    py::module_::import("pandas.core.arrays.arrow.extension_types");
    py::object pd = global("pd");
    try {
        py::object table = pa.attr("ipc").attr("open_stream")(pa.attr("py_buffer")(payload)).attr("read_all")();
        table.attr("validate")("full"_a = true);
        for (py::handle field : table.attr("schema")) {
            if (!is_carried_type(field.attr("type"), 0)) {
                raise_error(PyExc_ValueError, native::concat("column type ", field.attr("type"), " is not taken"));
            }
        }
        // A column without buffers (nulls) has no size to check; a frame has no more rows than bits sent.
        if (table.attr("num_rows").cast<std::uint64_t>() > 8 * static_cast<std::uint64_t>(py::len(payload)) + 64) {
            raise_error(PyExc_ValueError, "more rows than the data sent");
        }
        py::dict note = worker_note(table);
        py::dict mixed = take_mixed_columns(table, note);
        std::optional<py::object> month = py::len(mixed) == 0 ? month_frame_from_arrow(table) : std::nullopt;
        // One thread: a month's conversion is shorter than handing it to Arrow's pool and back.
        py::object frame = month ? *month : table.attr("to_pandas")("use_threads"_a = false);
        for (auto item : mixed) {
            frame.attr("isetitem")(item.first, pd.attr("Series")(item.second.attr("to_pylist")(), "dtype"_a = "object",
                                                                  "index"_a = frame.attr("index")));
        }
        py::module_::import("corvane._value_worker").attr("restore_text")(frame, note.attr("get")("text", py::dict()));
        restore_frequencies(frame, note);
        if (!py::isinstance(frame, pd.attr("DataFrame"))) {
            raise_error(PyExc_ValueError, "it is not a DataFrame");
        }
        return frame;
    } catch (py::error_already_set &error) {
        if (error.matches(PyExc_MemoryError) || !error.matches(PyExc_Exception)) {
            throw;
        }
        raise_error(unpickling_error(), native::concat(key, ": the frame from the loading process is not valid: ",
                                                       error.value()));
    }
}

// The value's bytes; TypeError, the complaint pickle.loads makes, for anything else (so a missing
// key still reads as TypeError).
py::buffer_info value_buffer(const py::handle &data) {
    if (!PyObject_CheckBuffer(data.ptr())) {
        // The same complaint pickle.loads makes, so a missing key still reads as TypeError.
        native::raise_formatted(PyExc_TypeError, "a bytes-like object is required, not '%.200s'",
                                Py_TYPE(data.ptr())->tp_name);
    }
    return py::reinterpret_borrow<py::buffer>(data).request();
}

py::object frame_from_reply(const py::handle &key, const Reply &reply, const Limits &limits, py::ssize_t value_size) {
    py::str message = reply.kind == ok ? py::str("") : py::str(reply.payload.attr("decode")("utf-8", "replace"));
    switch (reply.kind) {
    case ok:
        return frame_from_arrow(key, reply.payload);
    case refused:
        raise_error(unpickling_error(), native::concat(key, ": ", message));
    case not_a_pickle:
        raise_error(unpickling_error(), native::concat(key, ": not a loadable pickle: ", message));
    case not_a_frame:
        raise_error(PyExc_TypeError, native::concat(key, " holds a ", message, ", not a pandas DataFrame"));
    case no_safe_format:
        raise_error(PyExc_ValueError, native::concat(key, ": refused: ", message));
    case out_of_memory:
        raise_error(PyExc_MemoryError,
                    native::concat(key, ": loading the value needs more than ", py::int_(limits.memory >> 20),
                                   " MiB (the limit for a value of ", py::int_(value_size),
                                   " bytes); nothing was stored"));
    case changed_a_class:
        raise_error(unpickling_error(), native::concat(key, ": refused: ", message));
    }
    raise_error(unpickling_error(), native::concat(key, ": unknown reply"));
}

// --- many values in turn --------------------------------------------------------------------------

// Values loaded in turn through the client's worker, each sent on before the reply to the one before
// it is taken: the worker unpickles the next value while this thread converts the last one and
// fetches another, so the two processes work at once. Replies come in the order the values went, and
// at most two values are in flight. When the worker ends under a value (killed from outside, or by
// the value), the values in flight go again one by one, as exchange() sends them, to a new worker.
class ValuePipeline {
public:
    explicit ValuePipeline(py::object self) : self_(std::move(self)), record_(worker_record(self_)), lock_(record_) {}
    ValuePipeline(const ValuePipeline &) = delete;
    ValuePipeline &operator=(const ValuePipeline &) = delete;

    // Left early (an error, Ctrl-C): replies still owed would meet the next caller, so the worker goes.
    ~ValuePipeline() {
        if (std::any_of(queue_.begin(), queue_.end(), [](const Pending &item) { return item.sent; })) {
            try {
                record_.attr("stop")();
            } catch (py::error_already_set &error) {
                error.discard_as_unraisable("stopping the worker of an unfinished load");
            }
        }
    }

    std::size_t size() const { return queue_.size(); }

    void submit(const py::handle &key, py::object data) {
        py::buffer_info value = value_buffer(data);
        Limits limits = limits_for(static_cast<std::size_t>(value.size * value.itemsize));
        queue_.push_back({py::reinterpret_borrow<py::object>(key), std::move(data), std::move(value), limits, false});
        send(queue_.back());
    }

    // The oldest value's frame, or its error.
    py::object take() {
        Pending item = std::move(queue_.front());
        queue_.pop_front();
        std::optional<Reply> reply;
        if (item.sent) {
            reply = receive(item);
        }
        if (!reply) {
            reply = exchange_locked(self_, record_, item.key, item.value, item.limits);
            // The values that went to the worker that ended go to its successor.
            for (Pending &next : queue_) {
                send(next);
            }
        }
        return frame_from_reply(item.key, *reply, item.limits, item.value.size);
    }

private:
    struct Pending {
        py::object key;
        py::object data;  // holds the bytes `value` points into
        py::buffer_info value;
        Limits limits;
        bool sent;
    };

    // Sends `item` behind the value in flight, taking that one's reply meanwhile; where a value before
    // it is still to go again, it waits its turn.
    void send(Pending &item) {
        const Pending *ahead = nullptr;
        for (const Pending &other : queue_) {
            if (&other == &item) {
                break;
            }
            if (!other.sent) {
                return;
            }
            ahead = &other;
        }
        py::object process = ahead != nullptr ? py::object(record_.attr("process")) : running_worker(self_, record_);
        if (!py::bool_(record_.attr("ready"))) {
            await_ready(record_, process, item.key);
        }
        Request request(item.value, item.limits);
        int to_worker = pipe_of(process, "stdin");
        int from_worker = pipe_of(process, "stdout");
        std::size_t inbox_limit = ahead != nullptr ? 9 + ahead->limits.memory : 0;
        double seconds = item.limits.seconds + (ahead != nullptr ? ahead->limits.seconds : 0);
        Transfer sent = without_gil(record_, seconds, [&](const Waiting &waiting) {
            Transfer step = write_all_draining(to_worker, request.header, sizeof request.header, from_worker, inbox_,
                                               inbox_limit, waiting);
            if (step == Transfer::done) {
                step = write_all_draining(to_worker, static_cast<const char *>(item.value.ptr),
                                          static_cast<std::size_t>(item.value.size), from_worker, inbox_, inbox_limit,
                                          waiting);
            }
            return step;
        });
        if (sent == Transfer::done) {
            item.sent = true;
        } else if (sent == Transfer::timed_out) {
            // The worker is still on the value ahead: that is the one that overran.
            const Pending &late = ahead != nullptr ? *ahead : item;
            worker_failed(record_, process, late.key, sent, late.limits);
        } else {
            abandon_worker();
        }
    }

    // The reply to `item`, the oldest value sent; nullopt when the worker ended first.
    std::optional<Reply> receive(const Pending &item) {
        py::object process = record_.attr("process");
        int from_worker = pipe_of(process, "stdout");
        char reply_header[9];
        Transfer got = without_gil(record_, item.limits.seconds, [&](const Waiting &waiting) {
            return read_exact_after(inbox_, from_worker, reply_header, sizeof reply_header, waiting);
        });
        if (got == Transfer::timed_out) {
            process.attr("poll")();
            worker_failed(record_, process, item.key, got, item.limits);
        }
        if (got != Transfer::done) {
            abandon_worker();
            return std::nullopt;
        }
        return read_reply_body(record_, process, item.key, item.limits, reply_header, inbox_);
    }

    void abandon_worker() {
        record_.attr("stop")();
        inbox_.clear();
        for (Pending &item : queue_) {
            item.sent = false;
        }
    }

    py::object self_;
    py::object record_;
    WorkerLock lock_;
    std::deque<Pending> queue_;
    std::string inbox_;  // what the worker answered while a value was being sent
};

}  // namespace

py::list sandboxed_load_each(py::object self, const py::iterable &keys) {
    ValuePipeline pipeline(self);
    py::list frames;
    for (py::handle key : keys) {
        py::object data;
        try {
            data = self.attr("r").attr("get")(key);
            value_buffer(data);
        } catch (py::error_already_set &error) {
            // The months before this one fail first, as when each is loaded in turn.
            if (error.matches(PyExc_Exception)) {
                while (pipeline.size() > 0) {
                    frames.append(pipeline.take());
                }
            }
            throw;
        }
        pipeline.submit(key, std::move(data));
        if (pipeline.size() > 1) {
            frames.append(pipeline.take());
        }
    }
    while (pipeline.size() > 0) {
        frames.append(pipeline.take());
    }
    return frames;
}

py::object sandboxed_loads(py::object self, const py::handle &key, const py::handle &data) {
    py::buffer_info value = value_buffer(data);
    Limits limits = limits_for(static_cast<std::size_t>(value.size * value.itemsize));
    Reply reply = exchange(self, key, value, limits);
    return frame_from_reply(key, reply, limits, value.size);
}

}  // namespace corvane::client
