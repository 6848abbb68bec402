#include "framevault/store.hpp"
#include "bindings/write_batch.hpp"

namespace corvane::store {

namespace {

using namespace pybind11::literals;

// Submits every task before collecting any result, keyed by its future, as the progress bar's total
// is the number of submitted calls. The pool threads write within the caller's batch, if any.
py::dict submit_all(py::object &executor, py::object &tasks, py::object &worker_function) {
    py::dict future_to_task;
    py::object submit = executor.attr("submit");
    py::object worker = native::joining_current_write_batch(worker_function);
    for (py::handle task : tasks) {
        py::tuple arguments = py::isinstance<py::tuple>(task)
                                  ? py::reinterpret_borrow<py::tuple>(task)
                                  : py::tuple(py::reinterpret_borrow<py::object>(task));
        future_to_task[submit(worker, *arguments)] = task;
    }
    return future_to_task;
}

// The next future the bar yields; none when it is done, or (setting `lost`) when its stream is
// gone, the reader of a pipe having gone away: the tasks' work matters more than their progress.
py::object next_under_bar(const py::object &bar, bool &lost) {
    try {
        PyObject *next = PyIter_Next(bar.ptr());
        if (next == nullptr) {
            if (PyErr_Occurred() != nullptr) {
                native::raise_pending();
            }
            return py::none();
        }
        return py::reinterpret_steal<py::object>(next);
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_BrokenPipeError)) {
            throw;
        }
        lost = true;
        return py::none();
    }
}

py::list collect_in_completion_order(py::dict &future_to_task, py::object &task_desc) {
    py::list results;
    py::object bar = py::none();
    bool lost = false;
    try {
        bar = py::iter(native::make_bar_under_status_line_lock([&] {
            return global("tqdm")(global("as_completed")(future_to_task), "total"_a = py::len(future_to_task),
                                  "desc"_a = task_desc, **native::bar_settings());
        }));
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_BrokenPipeError)) {
            throw;
        }
        lost = true;
    }
    py::set collected;
    if (!lost) {
        for (py::object future = next_under_bar(bar, lost); !future.is_none(); future = next_under_bar(bar, lost)) {
            collected.add(future);
            results.append(future.attr("result")());
        }
    }
    // The bar gave up early: the other calls' results, without it.
    if (lost) {
        py::list rest;
        for (auto item : future_to_task) {
            if (!collected.contains(item.first)) {
                rest.append(item.first);
            }
        }
        for (py::handle future : global("as_completed")(rest)) {
            results.append(future.attr("result")());
        }
    }
    return results;
}

}  // namespace

py::list run_concurrently(py::object tasks, py::object worker_function, py::object max_workers,
                          py::object task_desc) {
    // `with ThreadPoolExecutor(...) as executor:` spelled out: the exit waits for every submitted
    // call, on success and on failure alike.
    py::object manager = global("ThreadPoolExecutor")("max_workers"_a = max_workers);
    py::object exit = py::type::of(manager).attr("__exit__");
    py::object executor = manager.attr("__enter__")();
    py::list results;
    try {
        py::dict future_to_task = submit_all(executor, tasks, worker_function);
        results = collect_in_completion_order(future_to_task, task_desc);
    } catch (py::error_already_set &error) {
        if (error.matches(PyExc_KeyboardInterrupt)) {
            // Otherwise the exit below runs the queued tasks and waits for threads waiting on file locks.
            executor.attr("shutdown")("wait"_a = false, "cancel_futures"_a = true);
            native::interrupt_lock_waits();
        }
        py::object suppressed = exit(manager, error.type(), error.value(), error.trace());
        if (py::bool_(suppressed)) {
            return py::list();
        }
        throw;
    }
    exit(manager, py::none(), py::none(), py::none());
    return results;
}

}  // namespace corvane::store
