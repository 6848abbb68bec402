// The months of a date range of a category kept by month, read on the thread pool and joined.
#include "framevault/numeric_frames.hpp"
#include "framevault/store.hpp"
#include "native/months.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace corvane::store {

namespace {

using namespace pybind11::literals;

// Month keys (YYYY-MM) of the month files in the directory, ascending. Any name carrying a month
// stamp before ".parquet" counts, whichever category it names.
py::list stored_months(const py::object &directory) {
    py::object pattern = global("re").attr("compile")(R"((\d{4})-(\d{2})\.parquet)");
    py::list months;
    for (py::handle name : global("os").attr("listdir")(directory)) {
        if (!py::bool_(name.attr("endswith")(".parquet"))) {
            continue;
        }
        py::object match = pattern.attr("search")(name);
        if (py::bool_(match)) {
            months.append(native::concat(match.attr("group")(1), "-", match.attr("group")(2)));
        }
    }
    months.attr("sort")();
    return months;
}

// The month frames joined side by side in calendar order. Results come in completion order; put
// back in order, the joined days usually need no sort and so no copy. Takes the frames out of
// `results`, so that each can be freed as soon as it is joined.
py::object join_months(py::list &results) {
    std::vector<std::pair<std::string, py::object>> frames;
    for (py::handle frame : results) {
        py::object columns = frame.attr("columns");
        std::string first = py::len(columns) > 0 ? py::str(columns.attr("__getitem__")(0)).cast<std::string>() : "";
        frames.emplace_back(std::move(first), py::reinterpret_borrow<py::object>(frame));
    }
    std::stable_sort(frames.begin(), frames.end(),
                     [](const auto &left, const auto &right) { return left.first < right.first; });
    results.attr("clear")();
    std::vector<py::object> months;
    for (auto &entry : frames) {
        months.push_back(std::move(entry.second));
    }
    frames.clear();
    if (std::optional<py::object> joined = join_numeric_months(months)) {
        return *joined;
    }
    py::list ordered;
    for (auto &month : months) {
        ordered.append(month);
    }
    return global("pd").attr("concat")(ordered, "axis"_a = 1);
}

void sort_days(py::object &dfs) {
    if (!py::bool_(dfs.attr("columns").attr("is_monotonic_increasing"))) {
        dfs.attr("sort_index")("axis"_a = 1, "inplace"_a = true);
    }
}

// The days from start to end, both included. The days are sorted, so they form one run: found by
// binary search and taken as a slice rather than a copy.
py::object cut_days(const py::object &dfs, const py::object &start, const py::object &end) {
    py::object columns = dfs.attr("columns");
    auto first = columns.attr("searchsorted")(start, "side"_a = "left").cast<Py_ssize_t>();
    auto stop = columns.attr("searchsorted")(end, "side"_a = "right").cast<Py_ssize_t>();
    if (first == 0 && stop == static_cast<Py_ssize_t>(py::len(columns))) {
        return dfs;
    }
    py::object all_rows = py::reinterpret_steal<py::object>(PySlice_New(nullptr, nullptr, nullptr));
    return dfs.attr("iloc")[py::make_tuple(all_rows, py::slice(first, std::max(first, stop), 1))];
}

// True for text of the form YYYY-MM-DD, which is its own "%Y-%m-%d" rendering once pandas has
// accepted it as a date (the month list has parsed both bounds by now).
bool is_iso_day(const py::object &date) {
    if (!PyUnicode_CheckExact(date.ptr()) || PyUnicode_GET_LENGTH(date.ptr()) != 10) {
        return false;
    }
    std::string text = date.cast<std::string>();
    for (size_t position = 0; position < text.size(); ++position) {
        bool dash = position == 4 || position == 7;
        if (dash ? text[position] != '-' : (text[position] < '0' || text[position] > '9')) {
            return false;
        }
    }
    return true;
}

// The date as a bound of the cut; without a date, the outermost day (`extreme` is "min" or "max").
py::object bound(const py::object &date, const py::object &days, const char *extreme, bool as_text) {
    if (!py::bool_(date)) {
        return days.attr(extreme)();
    }
    if (as_text && is_iso_day(date)) {
        return date;
    }
    py::object day = global("pd").attr("to_datetime")(date);
    return as_text ? day.attr("strftime")("%Y-%m-%d") : day;
}

}  // namespace

py::object read_pivot_category(py::object self, py::object category, py::object start_date,
                               py::object end_date, py::object column_type) {
    py::object pd = global("pd");
    py::object directory = self.attr("_get_category_path")(category);
    py::list exists_ms = stored_months(directory);

    // Without dates the latest stored month is read.
    if (py::len(exists_ms) > 0) {
        py::object latest = exists_ms[py::len(exists_ms) - 1];
        if (start_date.equal(py::none())) {
            start_date = native::concat(latest, "-01");
        }
        if (end_date.equal(py::none())) {
            end_date = (pd.attr("Timestamp")(latest) + pd.attr("offsets").attr("MonthEnd")(0))
                           .attr("strftime")("%Y-%m-%d");
        }
    }
    py::list target_ms = native::months_overlapping(start_date, end_date, "%Y-%m");
    if (py::len(exists_ms) > 0 && py::len(target_ms) == 0) {
        raise_value_error(py::str("读取失败"));
    }

    py::set stored(exists_ms);
    py::list present;
    py::set missing;
    for (py::handle month : target_ms) {
        if (stored.contains(month)) {
            present.append(month);
        } else {
            missing.add(month);
        }
    }
    // Months without a file are reported and skipped; what is stored is still returned.
    if (py::len(missing) > 0 || py::len(exists_ms) == 0) {
        py::list ms_delta(missing);
        ms_delta.attr("sort")();
        native::print_line(native::concat("数据不存在 ", category, ": ", ms_delta, " 数据不存在"));
    }
    if (py::len(present) == 0) {
        return pd.attr("DataFrame")();
    }

    py::list iterators;
    for (py::handle month : present) {
        py::list task;
        task.append(native::concat(directory, "/", category, "_", month, ".parquet"));
        iterators.append(task);
    }
    py::object task_info = native::concat("Reading ", category, " From ", start_date, " To ", end_date, ": ");
    preload_parquet_engine();
    py::list results = store_class().attr("run_concurrently")(
        iterators, store_class().attr("read_parquet"), "max_workers"_a = self.attr("max_workers"),
        "task_desc"_a = task_info);
    if (py::len(results) == 0) {
        raise_value_error(py::str("读取失败"));
    }

    py::object dfs = join_months(results);
    bool as_text = !column_type.equal(py::str("datetime"));
    if (!as_text) {
        dfs.attr("columns") = to_day_labels(dfs.attr("columns"), directory, py::str("%Y-%m-%d"));
    }
    sort_days(dfs);
    py::object columns = dfs.attr("columns");
    py::object start = bound(start_date, columns, "min", as_text);
    py::object end = bound(end_date, columns, "max", as_text);
    return cut_days(dfs, start, end);
}

}  // namespace corvane::store
