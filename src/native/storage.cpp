#include "native/storage.hpp"

#include "native/pyglue.hpp"

#include <string>
#include <vector>

namespace corvane::native {

namespace {

using namespace pybind11::literals;

// The status lines held back by the run_exclusively running on this thread, if any.
thread_local std::vector<py::object> *held_lines = nullptr;

// Collects this thread's status lines for its lifetime, then restores the collector it replaced.
class HeldStatusLines {
public:
    HeldStatusLines() : outer_(held_lines) { held_lines = &lines_; }
    ~HeldStatusLines() { held_lines = outer_; }
    HeldStatusLines(const HeldStatusLines &) = delete;
    HeldStatusLines &operator=(const HeldStatusLines &) = delete;

    // Prints and forgets what was collected; called once the lock is gone.
    void print_all() {
        held_lines = outer_;
        std::vector<py::object> lines = std::move(lines_);
        for (const py::object &line : lines) {
            if (line.is_none()) {
                print_empty_line();
            } else {
                print_line(line);
            }
        }
    }

private:
    std::vector<py::object> *outer_;
    std::vector<py::object> lines_;
};

// Imported at call time, as every other module the store drives: a test may rebind it.
py::object object_store() { return py::module_::import("corvane._object_storage"); }

}  // namespace

bool is_local(const py::handle &path) {
    py::object text = global("os").attr("fspath")(path);
    if (!py::isinstance<py::str>(text)) {
        return true;
    }
    std::string spelled = text.cast<std::string>();
    size_t separator = spelled.find("://");
    if (separator == std::string::npos || separator == 0) {
        return true;
    }
    std::string scheme = spelled.substr(0, separator);
    for (char c : scheme) {
        bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
                       c == '-' || c == '.';
        if (!allowed) {
            return true;
        }
    }
    py::str message;
    if (scheme == "s3") {
        size_t bucket = separator + 3;
        if (bucket < spelled.size() && spelled[bucket] != '/') {
            return false;
        }
        message = concat(py::repr(text), " names no bucket: give s3://bucket/prefix");
    } else {
        message = concat("unsupported storage scheme ", py::repr(py::str(scheme)), " in ", py::repr(text),
                         ": give a local path or s3://bucket/prefix");
    }
    raise_error(PyExc_ValueError, message);
}

py::list list_directory(const py::handle &path) {
    if (is_local(path)) {
        return global("os").attr("listdir")(path);
    }
    return object_store().attr("list_directory")(path);
}

py::list list_regular_files(const py::handle &path) {
    if (!is_local(path)) {
        return object_store().attr("list_directory")(path, "files_only"_a = true);
    }
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

bool path_exists(const py::handle &path) {
    if (is_local(path)) {
        return py::bool_(global("os").attr("path").attr("exists")(path));
    }
    return py::bool_(object_store().attr("exists")(path));
}

void make_directories(const py::handle &path) {
    if (is_local(path)) {
        ensure_directory(path);
    }
}

py::object read_stored_parquet(const py::handle &path) {
    if (is_local(path)) {
        return read_parquet_snapshot(path);
    }
    py::object data = object_store().attr("read_bytes")(path);
    try {
        return global("pd").attr("read_parquet")(py::module_::import("io").attr("BytesIO")(data));
    } catch (py::error_already_set &error) {
        rethrow_naming_file(error, path);
    }
}

py::object read_stored_month(const py::handle &path) {
    return is_local(path) ? read_parquet_snapshot(path, false) : read_stored_parquet(path);
}

void write_stored_parquet(const py::handle &frame, const py::handle &path) {
    if (is_local(path)) {
        write_parquet_atomically(frame, path);
        return;
    }
    py::object store = object_store();
    store.attr("write_bytes")(path, store.attr("frame_to_parquet_bytes")(frame));
}

void remove_stored_file(const py::handle &path) {
    if (!is_local(path)) {
        object_store().attr("delete_object")(path);
        return;
    }
    py::object os = global("os");
    os.attr("remove")(path);
    py::object directory = os.attr("path").attr("dirname")(os.attr("path").attr("abspath")(path));
    py::object descriptor = os.attr("open")(directory, os.attr("O_RDONLY"));
    try {
        os.attr("fsync")(descriptor);
    } catch (py::error_already_set &) {
        os.attr("close")(descriptor);
        throw;
    }
    os.attr("close")(descriptor);
}

py::object read_stored_bytes(const py::handle &path) {
    if (!is_local(path)) {
        return object_store().attr("read_bytes")(path);
    }
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

std::optional<StoredBytes> open_stored_bytes(const py::handle &path) {
    if (!is_local(path)) {
        py::object data = read_stored_bytes(path);
        py::buffer_info bytes = py::buffer(data).request();
        return StoredBytes{FileBytes(static_cast<const uint8_t *>(bytes.ptr), static_cast<size_t>(bytes.size)), data};
    }
    std::string local = py::str(global("os").attr("fspath")(path)).cast<std::string>();
    std::optional<FileBytes> file;
    {
        py::gil_scoped_release no_gil;
        file = FileBytes::open(local);
    }
    if (!file) {
        return std::nullopt;
    }
    return StoredBytes{std::move(*file), py::none()};
}

void run_exclusively(const py::handle &path, const std::function<void()> &body) {
    if (is_local(path)) {
        HeldStatusLines held;
        try {
            FileLock lock = lock_stored_file(path);
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
        return;
    }
    object_store().attr("run_exclusively")(path, py::cpp_function([&body]() { body(); }));
}

void print_status_line(const py::handle &text) {
    if (held_lines != nullptr) {
        held_lines->push_back(py::reinterpret_borrow<py::object>(text));
        return;
    }
    print_line(text);
}

void print_status_empty_line() {
    if (held_lines != nullptr) {
        // None stands for the bare print() that ends an update's report.
        held_lines->push_back(py::none());
        return;
    }
    print_empty_line();
}

py::object read_object_digest_record(const py::handle &path) {
    return object_store().attr("read_digest_record")(path);
}

void write_object_digest_record(const py::handle &path, const py::dict &fields) {
    object_store().attr("write_digest_record")(path, fields);
}

void remove_object_digest_record(const py::handle &path) {
    object_store().attr("remove_digest_record")(path);
}

void remove_object_category_digests(const py::handle &root, const py::handle &category) {
    object_store().attr("remove_category_digests")(root, category);
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
