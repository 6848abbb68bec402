#include "bindings/write_batch.hpp"

#include "bindings/errors.hpp"
#include "bindings/pyglue.hpp"

#include "core/durable_files.hpp"

#include <cstring>

namespace corvane::native {

namespace {

thread_local std::shared_ptr<WriteBatch> current_batch;

// Makes `batch` this thread's for the scope's lifetime, then restores the one it replaced (an update
// started from inside a pool task has a batch of its own).
class WriteBatchScope {
public:
    explicit WriteBatchScope(std::shared_ptr<WriteBatch> batch) : outer_(std::move(current_batch)) {
        current_batch = std::move(batch);
    }
    ~WriteBatchScope() { current_batch = std::move(outer_); }
    WriteBatchScope(const WriteBatchScope &) = delete;
    WriteBatchScope &operator=(const WriteBatchScope &) = delete;

private:
    std::shared_ptr<WriteBatch> outer_;
};

}  // namespace

bool WriteBatch::hold_lines(const std::string &directory, std::vector<py::object> &lines) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (failed_.count(directory) != 0) {
        lines.clear();  // not durable: these months must not report
        return true;
    }
    if (synced_) {
        return false;
    }
    held_.emplace_back(directory, std::move(lines));
    lines.clear();
    return true;
}

void WriteBatch::finish() {
    std::vector<core::DurableBatch::Failure> failures = without_gil([&] { return files_.finish(); });
    std::vector<std::pair<std::string, std::vector<py::object>>> held;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        synced_ = true;
        for (const auto &failure : failures) {
            failed_.insert(failure.first);
        }
        held.swap(held_);
    }
    for (const auto &[directory, lines] : held) {
        if (failed_.count(directory) == 0) {
            print_held_lines(lines);
        }
    }
    if (!failures.empty()) {
        raising_core_failures([&] {
            throw core::SystemCallError(failures.front().second, failures.front().first, "fsync");
        });
    }
}

std::shared_ptr<WriteBatch> current_write_batch() { return current_batch; }

void run_as_one_write_batch(const std::function<void()> &writes) {
    auto batch = std::make_shared<WriteBatch>();
    try {
        WriteBatchScope scope(batch);
        writes();
    } catch (...) {
        try {
            batch->finish();
        } catch (py::error_already_set &) {
            // The tasks' own failure is the one to report.
        }
        throw;
    }
    batch->finish();
}

py::object joining_current_write_batch(const py::object &worker) {
    std::shared_ptr<WriteBatch> batch = current_batch;
    if (!batch) {
        return worker;
    }
    return py::cpp_function([batch, worker](py::args arguments, py::kwargs keywords) {
        WriteBatchScope scope(batch);
        return worker(*arguments, **keywords);
    });
}

void print_held_lines(const std::vector<py::object> &lines) {
    for (const py::object &line : lines) {
        if (line.is_none()) {
            print_empty_line();
        } else {
            print_line(line);
        }
    }
}

}  // namespace corvane::native
