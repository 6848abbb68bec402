#include "bindings/storage.hpp"

#include "bindings/pyglue.hpp"
#include "bindings/write_batch.hpp"

#include "core/local_storage.hpp"
#include "core/store_layout.hpp"

#include <map>
#include <memory>

#include <string>
#include <vector>

namespace corvane::native {

namespace {

using namespace pybind11::literals;

class HeldStatusLines;

// The run_exclusively running on this thread, whose status lines are held back, if any.
thread_local HeldStatusLines *held_lines = nullptr;

// Collects this thread's status lines for its lifetime, then restores the collector it replaced.
class HeldStatusLines {
public:
    HeldStatusLines() : outer_(held_lines) { held_lines = this; }
    ~HeldStatusLines() { held_lines = outer_; }
    HeldStatusLines(const HeldStatusLines &) = delete;
    HeldStatusLines &operator=(const HeldStatusLines &) = delete;

    void hold(py::object line) { lines_.push_back(std::move(line)); }

    // The run's write into `directory` is durable only once `batch` finishes: so are its lines.
    void await(std::shared_ptr<WriteBatch> batch, std::string directory) {
        batch_ = std::move(batch);
        directory_ = std::move(directory);
    }

    // Prints and forgets what was collected, or hands it to the batch its write waits for; called
    // once the lock is gone.
    void print_all() {
        held_lines = outer_;
        std::vector<py::object> lines = std::move(lines_);
        if (batch_ && batch_->hold_lines(directory_, lines)) {
            return;
        }
        print_held_lines(lines);
    }

private:
    HeldStatusLines *outer_;
    std::vector<py::object> lines_;
    std::shared_ptr<WriteBatch> batch_;
    std::string directory_;
};

// A local replace of `path` through `write`: inside an exclusive run of a batch (a month of an
// update), the directory's fsync is left to the batch, and the run's lines wait for it.
void replace_locally(const py::handle &path, const std::function<void(const py::str &temporary)> &write) {
    std::shared_ptr<WriteBatch> batch = held_lines != nullptr ? current_write_batch() : nullptr;
    std::optional<std::string> deferred = write_atomically(path, write, batch ? &batch->files() : nullptr);
    if (deferred) {
        held_lines->await(batch, *deferred);
    }
}

// The scheme of `text` (xyz of xyz://...), or nothing for a local path.
std::optional<std::string> scheme_of(const std::string &spelled) {
    size_t separator = spelled.find("://");
    if (separator == std::string::npos || separator == 0) {
        return std::nullopt;
    }
    std::string scheme = spelled.substr(0, separator);
    for (char c : scheme) {
        bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
                       c == '-' || c == '.';
        if (!allowed) {
            return std::nullopt;
        }
    }
    return scheme;
}

std::string text_of(const py::handle &path) { return py::str(global("os").attr("fspath")(path)).cast<std::string>(); }

class LocalFiles final : public Storage {
public:
    py::list list_directory(const py::handle &path) const override { return global("os").attr("listdir")(path); }

    py::list list_regular_files(const py::handle &path) const override {
        py::list names;
        py::object entries = global("os").attr("scandir")(path);
        try {
            for (py::handle entry : entries) {
                if (py::bool_(entry.attr("is_file")())) {
                    names.append(entry.attr("name"));
                }
            }
        } catch (py::error_already_set &) {
            entries.attr("close")();
            throw;
        }
        entries.attr("close")();
        return names;
    }

    bool exists(const py::handle &path) const override {
        return py::bool_(global("os").attr("path").attr("exists")(path));
    }

    bool is_directory(const py::handle &path) const override {
        return py::bool_(global("os").attr("path").attr("isdir")(path));
    }

    void make_directories(const py::handle &path) const override { ensure_directory(path); }

    void remove_directory_if_empty(const py::handle &directory) const override {
        if (py::len(list_directory(directory)) == 0) {
            global("os").attr("rmdir")(directory);
        }
    }

    void forget_category(const py::handle &root, const py::handle &category) const override {
        // A later write creates them afresh.
        py::object path = global("os").attr("path");
        py::object internal = path.attr("join")(path.attr("abspath")(root), core::layout::state_directory);
        for (const char *kind : {"locks", "digests"}) {
            py::module_::import("shutil").attr("rmtree")(path.attr("join")(internal, kind, category),
                                                         "ignore_errors"_a = true);
        }
    }

    py::object read_parquet(const py::handle &path) const override { return read_parquet_snapshot(path); }
    py::object read_month(const py::handle &path) const override { return read_parquet_snapshot(path, false); }

    void write_parquet(const py::handle &frame, const py::handle &path) const override {
        replace_locally(path, [&](const py::str &temporary) { frame.attr("to_parquet")(temporary); });
    }

    bool write_through_local_file(const py::handle &path,
                                  const std::function<void(const py::str &temporary)> &write) const override {
        replace_locally(path, write);
        return true;
    }

    void write_bytes(const py::handle &path, const py::bytes &data) const override {
        replace_locally(path, [&](const py::str &temporary) {
            py::object file = py::module_::import("io").attr("open")(temporary, "wb");
            file.attr("write")(data);
            file.attr("close")();
        });
    }

    void remove(const py::handle &path) const override {
        std::string local = text_of(path);
        without_gil([&] { files_.remove(local); });
    }

    py::object read_bytes(const py::handle &path) const override {
        py::object handle = py::module_::import("pyarrow").attr("OSFile")(global("os").attr("fspath")(path));
        py::object data;
        try {
            data = handle.attr("read")();
        } catch (py::error_already_set &) {
            handle.attr("close")();
            throw;
        }
        handle.attr("close")();
        return data;
    }

    std::optional<StoredBytes> open_bytes(const py::handle &path) const override {
        std::string local = text_of(path);
        std::optional<core::FileBytes> file = without_gil([&] { return files_.open(local); });
        if (!file) {
            return std::nullopt;
        }
        return StoredBytes{std::move(*file), py::none()};
    }

    void run_exclusively(const py::handle &path, const std::function<void()> &body) const override {
        HeldStatusLines held;
        try {
            core::FileLock lock = lock_stored_file(path);
            body();
        } catch (py::error_already_set &) {
            // The lines body printed before failing (its error line among them) still belong to the run.
            try {
                held.print_all();
            } catch (py::error_already_set &) {
                // body's own failure is the one to report.
            }
            throw;
        }
        held.print_all();
    }

    std::optional<core::FileIdentity> version_before_read(const py::handle &path) const override {
        std::string local = text_of(path);
        return without_gil([&] { return files_.version(local); });
    }

    // Record files are read, written and removed without the GIL: the other months' threads go on meanwhile.
    std::optional<core::DigestRecord> read_digest_record(const py::handle &path) const override {
        std::string local = text_of(path);
        return without_gil([&] { return files_.current_record(local); });
    }

    bool write_digest_record(const py::handle &path, const core::DigestRecord &record,
                             const std::optional<core::FileIdentity> &read_as) const override {
        std::string local = text_of(path);
        std::shared_ptr<WriteBatch> batch = current_write_batch();
        core::LeftoverSweeps *sweeps = batch ? &batch->files().sweeps() : nullptr;
        return without_gil([&] { return files_.bind_record(local, record, read_as, sweeps); });
    }

    void forget_digest_record(const py::handle &path) const override {
        std::string local = text_of(path);
        without_gil([&] { files_.forget_record(local); });
    }

private:
    core::LocalStorage files_;
};

// A root served by a Python backend: the module or object registered for its scheme in
// corvane._storage_schemes, looked up at call time as every other module the store drives (a test
// may rebind it), with the functions of corvane._object_storage.
class ObjectStorage final : public Storage {
public:
    explicit ObjectStorage(std::string scheme) : scheme_(std::move(scheme)) {}

    py::list list_directory(const py::handle &path) const override {
        return backend().attr("list_directory")(path);
    }
    py::list list_regular_files(const py::handle &path) const override {
        return backend().attr("list_directory")(path, "files_only"_a = true);
    }
    bool exists(const py::handle &path) const override { return py::bool_(backend().attr("exists")(path)); }
    bool is_directory(const py::handle &) const override { return false; }
    void make_directories(const py::handle &) const override {}
    void remove_directory_if_empty(const py::handle &) const override {}
    // The category's digest records; a backend without records has nothing to forget.
    void forget_category(const py::handle &root, const py::handle &category) const override {
        py::object store = backend();
        if (py::hasattr(store, "remove_category_digests")) {
            store.attr("remove_category_digests")(root, category);
        }
    }

    py::object read_parquet(const py::handle &path) const override {
        py::object data = backend().attr("read_bytes")(path);
        try {
            return global("pd").attr("read_parquet")(arrow_reader_of_bytes(data));
        } catch (py::error_already_set &error) {
            rethrow_naming_file(error, path);
        }
    }
    py::object read_month(const py::handle &path) const override { return read_parquet(path); }

    void write_parquet(const py::handle &frame, const py::handle &path) const override {
        py::object store = backend();
        store.attr("write_bytes")(path, store.attr("frame_to_parquet_bytes")(frame));
    }
    void write_bytes(const py::handle &path, const py::bytes &data) const override {
        backend().attr("write_bytes")(path, data);
    }
    bool write_through_local_file(const py::handle &,
                                  const std::function<void(const py::str &temporary)> &) const override {
        return false;
    }
    void remove(const py::handle &path) const override { backend().attr("delete_object")(path); }

    py::object read_bytes(const py::handle &path) const override { return backend().attr("read_bytes")(path); }
    std::optional<StoredBytes> open_bytes(const py::handle &path) const override {
        py::object data = read_bytes(path);
        py::buffer_info bytes = py::buffer(data).request();
        return StoredBytes{core::FileBytes(static_cast<const uint8_t *>(bytes.ptr), static_cast<size_t>(bytes.size)), data};
    }

    void run_exclusively(const py::handle &path, const std::function<void()> &body) const override {
        backend().attr("run_exclusively")(path, py::cpp_function([&body]() { body(); }));
    }

    // The backend binds records to the ETag its exclusive run saw; there is nothing to take here.
    std::optional<core::FileIdentity> version_before_read(const py::handle &) const override { return core::FileIdentity{}; }

    std::optional<core::DigestRecord> read_digest_record(const py::handle &path) const override {
        py::object fields = backend().attr("read_digest_record")(path);
        if (fields.is_none()) {
            return std::nullopt;
        }
        try {
            auto text = [&](const char *name) { return fields[name].cast<std::string>(); };
            std::string hex = text("digest");
            if (hex.size() != 32 || hex.find_first_not_of("0123456789abcdef") != std::string::npos) {
                return std::nullopt;
            }
            core::Digest128 digest{std::stoull(hex.substr(0, 16), nullptr, 16), std::stoull(hex.substr(16), nullptr, 16)};
            return core::DigestRecord{digest, core::FileIdentity{}, text("date_format"), text("first_day"), text("last_day"),
                                text("shape")};
        } catch (py::error_already_set &) {
            return std::nullopt;  // a record of another shape vouches for nothing
        } catch (py::cast_error &) {
            return std::nullopt;
        }
    }

    bool write_digest_record(const py::handle &path, const core::DigestRecord &record,
                             const std::optional<core::FileIdentity> &) const override {
        py::dict fields("digest"_a = record.digest.hex(), "date_format"_a = record.date_format,
                        "first_day"_a = record.first_day, "last_day"_a = record.last_day, "shape"_a = record.shape);
        backend().attr("write_digest_record")(path, fields);
        return true;
    }

    void forget_digest_record(const py::handle &path) const override {
        py::object store = backend();
        if (py::hasattr(store, "remove_digest_record")) {
            store.attr("remove_digest_record")(path);
        }
    }

private:
    py::object backend() const {
        py::object found = py::module_::import("corvane._storage_schemes").attr("BACKENDS")[py::str(scheme_)];
        return py::isinstance<py::str>(found) ? py::object(py::module_::import("importlib").attr("import_module")(found))
                                              : found;
    }

    std::string scheme_;
};

}  // namespace

const Storage &storage_for(const py::handle &path) {
    static const LocalFiles local;
    py::object text = global("os").attr("fspath")(path);
    if (!py::isinstance<py::str>(text)) {
        return local;
    }
    std::string spelled = text.cast<std::string>();
    std::optional<std::string> scheme = scheme_of(spelled);
    if (!scheme) {
        return local;
    }
    if (*scheme == "s3") {
        size_t bucket = scheme->size() + 3;
        if (bucket >= spelled.size() || spelled[bucket] == '/') {
            raise_error(PyExc_ValueError, concat(py::repr(text), " names no bucket: give s3://bucket/prefix"));
        }
    }
    py::dict backends = py::module_::import("corvane._storage_schemes").attr("BACKENDS");
    if (!backends.contains(py::str(*scheme))) {
        raise_error(PyExc_ValueError, concat("unsupported storage scheme ", py::repr(py::str(*scheme)), " in ",
                                             py::repr(text), ": give a local path or s3://bucket/prefix"));
    }
    // One per scheme for the process's life; never erased, so references stay valid (the GIL guards it).
    static std::map<std::string, std::unique_ptr<ObjectStorage>> served;
    std::unique_ptr<ObjectStorage> &storage = served[*scheme];
    if (!storage) {
        storage = std::make_unique<ObjectStorage>(*scheme);
    }
    return *storage;
}

void print_status_line(const py::handle &text) {
    if (held_lines != nullptr) {
        held_lines->hold(py::reinterpret_borrow<py::object>(text));
        return;
    }
    print_line(text);
}

void print_status_empty_line() {
    if (held_lines != nullptr) {
        held_lines->hold(py::none());  // see print_held_lines
        return;
    }
    print_empty_line();
}

bool is_write_conflict(const py::error_already_set &error) {
    // Only s3:// writes raise it, and only after the module has been imported.
    py::dict modules = py::module_::import("sys").attr("modules");
    if (!modules.contains("corvane._object_storage")) {
        return false;
    }
    return error.matches(modules["corvane._object_storage"].attr("WriteConflict"));
}

}  // namespace corvane::native
