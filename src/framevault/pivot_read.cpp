// The months of a date range of a category kept by month, read on the thread pool and joined.
#include "framevault/month_blocks.hpp"
#include "framevault/month_reader.hpp"
#include "framevault/numeric_frames.hpp"
#include "framevault/store.hpp"
#include "framevault/month_files.hpp"
#include "bindings/dates.hpp"
#include "bindings/months.hpp"

#include <algorithm>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace corvane::store {

namespace {

using namespace pybind11::literals;

// Month keys (YYYY-MM) of the category's own month files, ascending: regular files named
// <category>_YYYY-MM.parquet. Other names, and directories so named, are not months.
py::list stored_months(const py::object &directory, const py::object &category) {
    return stored_month_keys(directory, category);
}

// The month frames joined side by side in calendar order, with the days their labels stand for.
// Each file's labels are parsed on their own: months written with different formats still read.
// Takes the frames out of `results`, so that each can be freed as soon as it is joined.
std::pair<py::object, py::object> join_months(py::list &results, const py::object &source) {
    std::vector<std::tuple<py::object, py::object, py::object>> frames;  // first day, days, frame
    for (py::handle frame : results) {
        py::object days = stored_label_days(frame.attr("columns"), source);
        py::object first = py::len(days) > 0 ? days.attr("min")() : py::object(global("pd").attr("NaT"));
        frames.emplace_back(first, days, py::reinterpret_borrow<py::object>(frame));
    }
    // Frames without days sort first; NaT compares false with every day.
    std::stable_sort(frames.begin(), frames.end(), [](const auto &left, const auto &right) {
        py::object pd_isna = global("pd").attr("isna");
        bool left_empty = py::bool_(pd_isna(std::get<0>(left)));
        bool right_empty = py::bool_(pd_isna(std::get<0>(right)));
        if (left_empty || right_empty) {
            return left_empty && !right_empty;
        }
        return py::bool_(std::get<0>(left) < std::get<0>(right)).cast<bool>();
    });
    results.attr("clear")();
    std::vector<py::object> months;
    py::list later_days;
    for (auto &entry : frames) {
        months.push_back(std::move(std::get<2>(entry)));
        later_days.append(std::get<1>(entry));
    }
    frames.clear();
    py::object days = later_days[0];
    if (py::len(later_days) > 1) {
        days = days.attr("append")(later_days[py::slice(1, PY_SSIZE_T_MAX, 1)]);
    }
    if (std::optional<py::object> joined = join_numeric_months(months)) {
        return {*joined, days};
    }
    py::list ordered;
    for (auto &month : months) {
        ordered.append(month);
    }
    return {global("pd").attr("concat")(ordered, "axis"_a = 1), days};
}

// The months side by side with the days of their labels: decoded into one block where month_readers
// picks it, otherwise each month read by the class's read_parquet and the frames joined.
std::pair<py::object, py::object> read_months(const py::object &self, const py::list &paths,
                                              const py::object &task_info, const py::object &directory) {
    if (month_readers(MonthRead::kRange, paths).first == MonthReader::kBlock) {
        MonthBlock read = read_month_block(self, paths, task_info);
        if (read.block) {
            return *read.block;
        }
        return join_months(read.frames, directory);
    }
    py::list iterators;
    for (py::handle path : paths) {
        py::list task;
        task.append(path);
        iterators.append(task);
    }
    py::list results = store_class().attr("run_concurrently")(
        iterators, store_class().attr("read_parquet"), "max_workers"_a = self.attr("max_workers"),
        "task_desc"_a = task_info);
    if (py::len(results) == 0) {
        raise_error(PyExc_ValueError, "读取失败");
    }
    return join_months(results, directory);
}

// read_months over the months still there: one that a delete removed since the listing is absent,
// as if never listed. None for the frame when none is left.
std::pair<py::object, py::object> read_present_months(const py::object &self, py::list paths,
                                                      const py::object &task_info, const py::object &directory) {
    while (true) {
        try {
            return read_months(self, paths, task_info, directory);
        } catch (py::error_already_set &error) {
            if (!error.matches(PyExc_FileNotFoundError)) {
                throw;
            }
            py::list left;
            for (py::handle path : paths) {
                if (native::path_exists(path)) {
                    left.append(path);
                }
            }
            if (py::len(left) == py::len(paths)) {
                throw;  // not a vanished month
            }
            if (py::len(left) == 0) {
                return {py::none(), py::none()};
            }
            paths = left;
        }
    }
}

// The columns put in calendar order, when a file held its days out of order.
void sort_days(py::object &dfs, py::object &days) {
    if (!py::bool_(days.attr("is_monotonic_increasing"))) {
        py::object order = days.attr("argsort")("kind"_a = "stable");
        py::object all_rows = py::reinterpret_steal<py::object>(PySlice_New(nullptr, nullptr, nullptr));
        dfs = dfs.attr("iloc")[py::make_tuple(all_rows, order)];
        days = days[order];
    }
}

// The columns whose days lie from start to end, both included. The days are sorted, so they form
// one run: found by binary search and taken as a slice rather than a copy.
std::pair<py::object, py::object> cut_days(const py::object &dfs, const py::object &days, const py::object &start,
                                           const py::object &end) {
    auto first = days.attr("searchsorted")(start, "side"_a = "left").cast<Py_ssize_t>();
    auto stop = days.attr("searchsorted")(end, "side"_a = "right").cast<Py_ssize_t>();
    if (first == 0 && stop == static_cast<Py_ssize_t>(py::len(days))) {
        return {dfs, days};
    }
    py::slice kept(first, std::max(first, stop), 1);
    py::object all_rows = py::reinterpret_steal<py::object>(PySlice_New(nullptr, nullptr, nullptr));
    return {dfs.attr("iloc")[py::make_tuple(all_rows, kept)], days[kept]};
}

// A bound as the labels are compared with it: without a zone, since labels carry none; on the
// string path a whole day, since text labels name days.
py::object as_bound(py::object day, bool whole_day) {
    if (!day.attr("tz").is_none()) {
        day = day.attr("tz_localize")(py::none());
    }
    return whole_day ? day.attr("normalize")() : day;
}

}  // namespace

py::object read_pivot_category(py::object self, py::object category, py::object start_date,
                               py::object end_date, py::object column_type) {
    py::object pd = global("pd");
    py::object directory = self.attr("_get_category_path")(category);
    py::list exists_ms = stored_months(directory, category);

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
    } else if (start_date.is_none() || end_date.is_none()) {
        // Not a fault of the date: a mistyped category, or one kept as a whole table, is the likelier cause.
        if (native::path_exists(table_file_path(directory, category))) {
            raise_error(PyExc_ValueError,
                        native::concat("category ", py::repr(category), " under ", py::repr(self.attr("root_dir")),
                                       " is a whole table (", category,
                                       ".parquet), not kept by month: read it with read_unstack_category"));
        }
        raise_error(PyExc_ValueError,
                    native::concat("category ", py::repr(category), " under ", py::repr(self.attr("root_dir")),
                                   " holds no month files, so ", start_date.is_none() ? "start_date" : "end_date",
                                   " cannot default to its latest month"));
    }
    py::object start_day = native::require_date(start_date, "start_date");
    py::object end_day = native::require_date(end_date, "end_date");
    py::list target_ms = native::months_overlapping(start_day, end_day, "%Y-%m");
    if (py::len(exists_ms) > 0 && py::len(target_ms) == 0) {
        raise_error(PyExc_ValueError, native::concat("读取失败: start_date ", start_date, " is after end_date ",
                                                     end_date, ", so the range holds no day"));
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

    py::list paths;
    for (py::handle month : present) {
        paths.append(month_file_path(directory, category, month));
    }
    py::object task_info = native::concat("Reading ", category, " From ", start_date, " To ", end_date, ": ");
    preload_parquet_engine();
    // Labels are compared as the days they stand for, whatever format wrote them; the string path
    // returns them as stored.
    auto [dfs, days] = read_present_months(self, paths, task_info, directory);
    if (dfs.is_none()) {
        return pd.attr("DataFrame")();
    }
    sort_days(dfs, days);
    bool as_text = !column_type.equal(py::str("datetime"));
    auto [cut, cut_labels] = cut_days(dfs, days, as_bound(start_day, as_text), as_bound(end_day, as_text));
    if (!as_text) {
        if (cut.is(dfs)) {
            cut = cut.attr("copy")("deep"_a = false);
        }
        cut.attr("columns") = cut_labels;
    }
    return cut;
}

}  // namespace corvane::store
