// The month files of one update made durable together (core/durable_batch.hpp), and the status lines
// that report them held back until they are.
//
// A month's status line says that the month is stored. Its writer fsyncs and renames its file under
// the month's lock, but the directory fsync that makes the rename survive a power cut is the batch's,
// once for all months, when the update's tasks are done; so the line waits for that fsync too.
// Printing it after the rename alone would report, for a moment, a month that a power cut could still
// take back. Lines of months that wrote nothing (identical, failed) go out at once, as before.
//
// Every function needs the GIL.
#pragma once

#include "core/durable_batch.hpp"

#include <pybind11/pybind11.h>

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace corvane::native {

namespace py = pybind11;

class WriteBatch {
public:
    core::DurableBatch &files() { return files_; }

    // Takes the status lines of an exclusive run whose rename into `directory` waits for finish();
    // false, taking nothing, when finish() is past its fsyncs and the lines may go out now.
    bool hold_lines(const std::string &directory, std::vector<py::object> &lines);

    // fsyncs the directories renamed into (without the GIL), then prints the held lines in the order
    // they were held. OSError naming a directory that could not be fsynced; the lines of its months
    // are dropped, as their files may not survive a power cut.
    void finish();

private:
    core::DurableBatch files_;
    std::mutex mutex_;
    bool synced_ = false;
    std::set<std::string> failed_;
    std::vector<std::pair<std::string, std::vector<py::object>>> held_;
};

// The batch that writes on this thread join; null outside one.
std::shared_ptr<WriteBatch> current_write_batch();

// Runs `writes`, which hands the month tasks to the runner, with the local files they replace made
// durable as one batch, finished before this returns: also when `writes` fails, so that the months
// stored before the failure still report (the failure is what is raised).
void run_as_one_write_batch(const std::function<void()> &writes);

// `worker` as the runner's pool threads call it: inside the calling thread's batch, when it has one.
py::object joining_current_write_batch(const py::object &worker);

// Prints status lines collected from an exclusive run; None stands for the bare print() that ends an
// update's report.
void print_held_lines(const std::vector<py::object> &lines);

}  // namespace corvane::native
