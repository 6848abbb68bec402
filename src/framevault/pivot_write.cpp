// A frame of days split by calendar month, each month merged into its own file on the thread pool.
#include "framevault/store.hpp"
#include "bindings/dates.hpp"
#include "bindings/names.hpp"
#include "bindings/write_batch.hpp"

#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace corvane::store {

namespace {

using namespace pybind11::literals;

using MonthKey = std::pair<long, long>;

// Column positions per (year, month), keys ascending as a sorted group-by yields them. Grouping
// positions rather than the frame keeps working where pandas no longer groups along columns.
std::map<MonthKey, std::vector<Py_ssize_t>> columns_by_month(const py::object &days) {
    py::list years = days.attr("year").attr("tolist")();
    py::list months = days.attr("month").attr("tolist")();
    std::map<MonthKey, std::vector<Py_ssize_t>> positions;
    for (size_t position = 0; position < years.size(); ++position) {
        MonthKey key{years[position].cast<long>(), months[position].cast<long>()};
        positions[key].push_back(static_cast<Py_ssize_t>(position));
    }
    return positions;
}

// The days' labels when `strf` gives every day one label that reads back as that day; nullopt also
// for a format that cannot be applied (the month-by-month check then raises the error).
std::optional<py::object> sound_text_labels(const py::object &days, const py::object &strf) {
    try {
        return to_text_labels(days, strf);
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_ValueError)) {
            throw;
        }
        return std::nullopt;
    }
}

}  // namespace

// A contiguous run is taken as a slice, which pandas hands out without copying the values; indexing
// one axis costs a third of a (rows, columns) pair.
py::object month_frame(const py::object &df, const std::vector<Py_ssize_t> &positions) {
    py::object columns;
    Py_ssize_t first = positions.front();
    Py_ssize_t last = positions.back();
    if (last - first + 1 == static_cast<Py_ssize_t>(positions.size())) {
        columns = py::slice(first, last + 1, 1);
    } else {
        py::list listed;
        for (Py_ssize_t position : positions) {
            listed.append(position);
        }
        columns = listed;
    }
    return df.attr("iloc")("axis"_a = 1)[columns];
}

void update_pivot_category(py::object self, py::object df, py::object category, py::object strf) {
    native::require_category_name(category);
    require_frame(df, "df");
    // The caller's frame keeps the datetime labels, as callers of the write expect.
    py::object labels = df.attr("columns");
    py::object days = to_day_labels(labels, py::str("df"));
    py::object shown = labels_as_pandas_parses(labels, days);
    df.attr("columns") = shown;
    // The work goes on with the labels in the store's one unit, whatever unit pandas gave the caller's.
    if (!shown.is(days)) {
        df = df.attr("copy")("deep"_a = false);
        df.attr("columns") = days;
    }
    native::require_storable_years(df.attr("columns"), py::str("df"));
    // Every month is checked, and every path made, before the first task runs: a month that would be
    // refused must not leave the months before it written.
    if (py::len(df.attr("columns")) > 0) {
        require_unique_labels(df.attr("columns"), df.attr("index"), "df");
        require_one_kind_of_key(df.attr("index"), py::str("df: the row labels"));
    }
    // One pass over all the days settles a sound format; a refused one is checked again month by
    // month, so that the error names the labels of the month that fails.
    std::optional<py::object> text = sound_text_labels(df.attr("columns"), strf);
    std::vector<PlannedMonth> months;
    for (auto &[key, positions] : columns_by_month(df.attr("columns"))) {
        if (!text) {
            to_text_labels(month_frame(df, positions).attr("columns"), strf);
        }
        months.push_back({self.attr("_get_pivot_file_path")(category, key.first, key.second), std::move(positions)});
    }
    std::optional<MonthTasks> block_tasks = text ? block_month_tasks(df, strf, *text, months) : std::nullopt;
    py::list iterators;
    py::object work_function;
    if (block_tasks) {
        iterators = block_tasks->tasks;
        work_function = block_tasks->worker;
    } else {
        work_function = store_class().attr("update_pivot_parquet");
        for (const PlannedMonth &month : months) {
            py::list task;
            task.append(month.path);
            task.append(month_frame(df, month.positions));
            task.append(strf);
            iterators.append(task);
        }
    }
    preload_parquet_engine();
    // The months' renames are made durable together, each directory fsynced once after the tasks end,
    // before this returns; each month's status line waits for it (see bindings/write_batch.hpp).
    native::run_as_one_write_batch([&] {
        store_class().attr("run_concurrently")(iterators, work_function, "max_workers"_a = self.attr("max_workers"),
                                               "task_desc"_a = native::concat("Updating ", category));
    });
}

}  // namespace corvane::store
