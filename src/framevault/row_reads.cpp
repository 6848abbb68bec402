// Some series of a category kept by month, over a date range. Month files of the store's own shape go
// through the page reader (row_pages.hpp); others are decoded by pyarrow, asked for the day columns of
// the range only, and only the wanted rows are turned into pandas.
#include "framevault/month_files.hpp"
#include "framevault/numeric_frames.hpp"
#include "framevault/row_pages.hpp"
#include "bindings/dates.hpp"
#include "bindings/months.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace corvane::store {

namespace {

using namespace pybind11::literals;

// A bound as day labels are compared with it: without a zone; on the string path the whole day.
py::object as_day_bound(py::object day, bool whole_day) {
    if (!day.attr("tz").is_none()) {
        day = day.attr("tz_localize")(py::none());
    }
    return whole_day ? day.attr("normalize")() : day;
}

// The one stored index column of a month file written from a frame with a labelled index; None for
// files whose index is a range (not stored) or has several levels, which are read whole instead.
py::object single_index_column(const py::object &schema) {
    py::object metadata = schema.attr("pandas_metadata");
    if (metadata.is_none()) {
        return py::none();
    }
    py::list index_columns = metadata.attr("get")("index_columns", py::list());
    if (py::len(index_columns) != 1 || !py::isinstance<py::str>(index_columns[0]) ||
        !py::list(schema.attr("names")).contains(index_columns[0])) {
        return py::none();
    }
    return index_columns[0];
}

// Positions of the stored rows whose labels are wanted, ascending. Text labels are matched in
// Arrow; any other kind as pandas matches them.
py::object row_positions(const py::object &index_values, const py::list &wanted) {
    py::object pa = py::module_::import("pyarrow");
    py::object types = pa.attr("types");
    py::object type = index_values.attr("type");
    bool all_text = true;
    for (py::handle label : wanted) {
        all_text = all_text && py::isinstance<py::str>(label);
    }
    py::object mask;
    if (all_text && (py::bool_(types.attr("is_string")(type)) || py::bool_(types.attr("is_large_string")(type)))) {
        mask = py::module_::import("pyarrow.compute")
                   .attr("is_in")(index_values, "value_set"_a = pa.attr("array")(wanted, "type"_a = type))
                   .attr("to_numpy")("zero_copy_only"_a = false);
    } else {
        mask = index_values.attr("to_pandas")().attr("isin")(wanted).attr("to_numpy")();
    }
    return py::module_::import("numpy").attr("flatnonzero")(mask);
}

// Text labels as an Index of the dtype pandas gives stored text, also when there are none.
py::object text_labels(const py::list &labels, const py::object &name = py::none()) {
    py::object pd = global("pd");
    if (py::len(labels) > 0) {
        return pd.attr("Index")(labels, "name"_a = name);
    }
    py::list one;
    one.append(py::str(""));
    return pd.attr("Index")(one, "name"_a = name)[py::slice(0, 0, 1)];
}

// The rows at `positions` as a frame. float64 days (the common case) are taken column by column
// into one block; others go through pandas' own conversion, which knows their dtypes.
py::object rows_as_frame(const py::object &table, const py::object &positions, const py::object &index_column,
                         const py::list &day_columns) {
    py::object pa = py::module_::import("pyarrow");
    py::object taken_at = pa.attr("array")(positions);
    py::object schema = table.attr("schema");
    py::object float64 = pa.attr("float64")();
    for (py::handle name : day_columns) {
        py::object type = schema.attr("field")(name).attr("type");
        if (!type.equal(float64)) {
            return table.attr("take")(taken_at).attr("to_pandas")();
        }
    }
    py::object numpy = py::module_::import("numpy");
    py::object block = numpy.attr("empty")(py::make_tuple(py::len(positions), py::len(day_columns)));
    py::object all_rows = py::reinterpret_steal<py::object>(PySlice_New(nullptr, nullptr, nullptr));
    for (size_t day = 0; day < day_columns.size(); ++day) {
        block[py::make_tuple(all_rows, day)] = table.attr("column")(day_columns[day]).attr("take")(taken_at).attr("to_numpy")();
    }
    // The labels through pandas' conversion, which gives an empty index the stored dtype too.
    py::object labels = table.attr("column")(index_column).attr("take")(taken_at).attr("to_pandas")();
    // pandas names an unnamed index __index_level_0__ on disk.
    py::object name = py::bool_(global("re").attr("fullmatch")(R"(__index_level_\d+__)", index_column))
                          ? py::object(py::none()) : index_column;
    py::object pd = global("pd");
    return pd.attr("DataFrame")(block, "index"_a = pd.attr("Index")(labels, "name"_a = name),
                                "columns"_a = text_labels(day_columns));
}

// The wanted rows and the days from first to last of one month file, with the days their labels
// stand for; either may be empty.
py::object read_month_rows(const py::object &path, const py::list &wanted, const py::object &first,
                           const py::object &last) {
    py::object pd = global("pd");
    py::object all_rows = py::reinterpret_steal<py::object>(PySlice_New(nullptr, nullptr, nullptr));
    // One read of the whole file: its footer and its columns come from the same version.
    py::object data = native::read_stored_bytes(path);
    py::object parquet = py::module_::import("pyarrow.parquet").attr("ParquetFile")(native::arrow_reader_of_bytes(data));
    py::object schema = parquet.attr("schema_arrow");
    py::object index_column = single_index_column(schema);
    py::object frame;
    if (index_column.is_none()) {
        frame = native::read_stored_parquet(path);
        frame = frame[frame.attr("index").attr("isin")(wanted)];
    } else {
        py::list labels;
        for (py::handle name : schema.attr("names")) {
            if (!name.equal(index_column)) {
                labels.append(name);
            }
        }
        py::object days = stored_label_days(pd.attr("Index")(labels, "dtype"_a = "object"), path);
        py::object in_range = days.attr("__ge__")(first).attr("__and__")(days.attr("__le__")(last));
        py::list columns;
        for (size_t position = 0; position < labels.size(); ++position) {
            if (py::bool_(in_range[py::int_(position)])) {
                columns.append(labels[position]);
            }
        }
        columns.append(index_column);
        py::object table = parquet.attr("read")("columns"_a = columns, "use_pandas_metadata"_a = true);
        py::object positions = row_positions(table.attr("column")(index_column), wanted);
        columns.attr("pop")();
        frame = rows_as_frame(table, positions, index_column, columns);
    }
    py::object days = stored_label_days(frame.attr("columns"), path);
    py::object in_range = days.attr("__ge__")(first).attr("__and__")(days.attr("__le__")(last));
    if (!py::bool_(in_range.attr("all")())) {
        frame = frame.attr("iloc")[py::make_tuple(all_rows, in_range)];
        days = days[in_range];
    }
    return py::make_tuple(frame, days);
}

// Months from the page reader joined without a pandas frame per month: one block for the result,
// columns in calendar order, rows in the order asked for.
py::object join_paged(const std::vector<py::object> &months, const py::list &wanted, bool as_text) {
    py::object pd = global("pd");
    py::set present;
    for (const py::object &month : months) {
        for (py::handle row : month[py::int_(1)]) {
            present.add(row);
        }
    }
    py::list found;
    py::dict row_of;
    for (py::handle row : wanted) {
        if (present.contains(row) && !row_of.contains(row)) {
            row_of[row] = py::len(found);
            found.append(row);
        }
    }
    std::vector<std::vector<py::ssize_t>> result_rows(months.size());  // per month, its rows' places in the result
    for (size_t month = 0; month < months.size(); ++month) {
        for (py::handle row : months[month][py::int_(1)]) {
            result_rows[month].push_back(row_of[row].cast<py::ssize_t>());
        }
    }
    std::vector<std::tuple<int64_t, size_t, size_t>> columns;  // tick, month, column in the month
    for (size_t month = 0; month < months.size(); ++month) {
        auto ticks = py::array_t<int64_t>::ensure(months[month][py::int_(3)]);
        for (py::ssize_t column = 0; column < ticks.size(); ++column) {
            columns.emplace_back(ticks.at(column), month, static_cast<size_t>(column));
        }
    }
    std::stable_sort(columns.begin(), columns.end(),
                     [](const auto &left, const auto &right) { return std::get<0>(left) < std::get<0>(right); });
    py::array_t<double> block({static_cast<py::ssize_t>(py::len(found)), static_cast<py::ssize_t>(columns.size())});
    std::fill(block.mutable_data(), block.mutable_data() + block.size(), std::numeric_limits<double>::quiet_NaN());
    auto out = block.mutable_unchecked<2>();
    py::list labels;
    std::vector<int64_t> ticks;
    for (size_t at = 0; at < columns.size(); ++at) {
        auto [tick, month, column] = columns[at];
        const py::object &result = months[month];
        labels.append(py::list(result[py::int_(2)])[column]);
        ticks.push_back(tick);
        auto values = py::array_t<double>::ensure(result[py::int_(4)]);
        auto in = values.unchecked<2>();
        const std::vector<py::ssize_t> &places = result_rows[month];
        for (size_t row = 0; row < places.size(); ++row) {
            out(places[row], static_cast<py::ssize_t>(at)) = in(static_cast<py::ssize_t>(row), static_cast<py::ssize_t>(column));
        }
    }
    py::object columns_index;
    if (as_text) {
        columns_index = text_labels(labels);
    } else {
        py::array_t<int64_t> raw(static_cast<py::ssize_t>(ticks.size()));
        std::copy(ticks.begin(), ticks.end(), raw.mutable_data());
        columns_index = pd.attr("DatetimeIndex")(raw.attr("view")("datetime64[us]"));
    }
    return pd.attr("DataFrame")(block, "index"_a = text_labels(found, months.front()[py::int_(5)]),
                                "columns"_a = columns_index);
}

// A paged month as a frame and its days, for a join with months read otherwise.
std::pair<py::object, py::object> paged_as_frame(const py::handle &result) {
    py::object pd = global("pd");
    py::object frame = pd.attr("DataFrame")(result[py::int_(4)], "index"_a = text_labels(result[py::int_(1)], result[py::int_(5)]),
                                            "columns"_a = text_labels(result[py::int_(2)]));
    py::object days = pd.attr("DatetimeIndex")(py::reinterpret_borrow<py::object>(result[py::int_(3)]).attr("view")("datetime64[us]"));
    return {frame, days};
}

py::object join_row_frames(const py::list &results, const py::list &wanted, bool as_text) {
    py::object pd = global("pd");
    std::vector<std::pair<py::object, py::object>> parts;
    std::vector<py::object> paged;
    bool all_paged = true;
    for (py::handle result : results) {
        if (result.is_none()) {
            continue;
        }
        if (py::len(result) == 6) {
            paged.push_back(py::reinterpret_borrow<py::object>(result));
        } else {
            all_paged = false;
        }
    }
    if (!paged.empty() && all_paged) {
        return join_paged(paged, wanted, as_text);
    }
    for (py::handle result : results) {
        if (result.is_none()) {
            continue;
        }
        if (py::len(result) == 6) {
            parts.push_back(paged_as_frame(result));
        } else {
            parts.emplace_back(result[py::int_(0)], result[py::int_(1)]);
        }
    }
    if (parts.empty()) {
        return pd.attr("DataFrame")();
    }
    py::list frames;
    py::list day_parts;
    for (auto &[frame, days] : parts) {
        frames.append(frame);
        day_parts.append(days);
    }
    py::object joined = pd.attr("concat")(frames, "axis"_a = 1);
    py::object days = day_parts[0];
    if (py::len(day_parts) > 1) {
        days = days.attr("append")(day_parts[py::slice(1, PY_SSIZE_T_MAX, 1)]);
    }
    py::object order = days.attr("argsort")("kind"_a = "stable");
    py::object all_rows = py::reinterpret_steal<py::object>(PySlice_New(nullptr, nullptr, nullptr));
    joined = joined.attr("iloc")[py::make_tuple(all_rows, order)];
    py::list found;
    for (py::handle row : wanted) {
        if (joined.attr("index").contains(row) && !found.contains(row)) {
            found.append(row);
        }
    }
    // Taken by position, so that no rows found keeps the stored labels' dtype.
    joined = joined.attr("iloc")[joined.attr("index").attr("get_indexer")(found)];
    if (!as_text) {
        joined.attr("columns") = days[order];
    }
    return joined;
}

}  // namespace

py::object read_pivot_rows(py::object self, py::object category, py::object rows, py::object start_date,
                           py::object end_date, py::object column_type) {
    py::object pd = global("pd");
    py::object directory = category_directory(self, category);
    py::list wanted = as_label_list(rows);
    if (py::len(wanted) == 0) {
        raise_error(PyExc_ValueError, "rows names no series to read");
    }
    py::list months = stored_month_keys(directory, category);
    if (py::len(months) > 0) {
        py::object latest = months[py::len(months) - 1];
        if (start_date.is_none()) {
            start_date = native::concat(latest, "-01");
        }
        if (end_date.is_none()) {
            end_date = (pd.attr("Timestamp")(latest) + pd.attr("offsets").attr("MonthEnd")(0)).attr("strftime")("%Y-%m-%d");
        }
    }
    py::object start_day = native::require_date(start_date, "start_date");
    py::object end_day = native::require_date(end_date, "end_date");
    if (start_day > end_day) {
        raise_error(PyExc_ValueError,
                    native::concat("start_date ", py::repr(start_date), " lies after end_date ", py::repr(end_date)));
    }
    py::set stored(months);
    py::list present;
    py::list missing;
    for (py::handle month : native::months_overlapping(start_day, end_day, "%Y-%m")) {
        (stored.contains(month) ? present : missing).append(month);
    }
    if (py::len(missing) > 0) {
        native::print_line(native::concat(category, ": no file for the months ", missing));
    }
    bool as_text = !column_type.equal(py::str("datetime"));
    py::object first = as_day_bound(start_day, as_text);
    py::object last = as_day_bound(end_day, as_text);
    py::list tasks = month_path_tasks(directory, category, present);
    // The page reader takes text labels only; other labels are matched as pandas matches them.
    std::vector<std::string> labels;
    bool paged = native_core_enabled();
    for (py::handle row : wanted) {
        paged = paged && py::isinstance<py::str>(row);
        if (paged) {
            labels.push_back(row.cast<std::string>());
        }
    }
    int64_t first_us = first.attr("value").cast<int64_t>() / 1000;
    int64_t last_us = last.attr("value").cast<int64_t>() / 1000;
    auto found = std::make_shared<FoundRows>();
    py::object worker = pool_worker("read_month_rows", [=](py::object path) -> py::object {
        try {
            if (paged) {
                if (std::optional<py::object> month = paged_month(path, wanted, labels, first_us, last_us, *found)) {
                    return *month;
                }
            }
            return read_month_rows(path, wanted, first, last);
        } catch (py::error_already_set &error) {
            // Removed by a delete since the listing: the month is absent, as if never listed.
            if (error.matches(PyExc_FileNotFoundError)) {
                return py::none();
            }
            throw;
        }
    });
    preload_parquet_engine();
    py::list results = store_class().attr("run_concurrently")(
        tasks, worker, "max_workers"_a = self.attr("max_workers"),
        "task_desc"_a = native::concat("Reading rows of ", category, " From ", start_date, " To ", end_date, ": "));
    py::object result = join_row_frames(results, wanted, as_text);
    py::list absent;
    for (py::handle row : wanted) {
        if (!result.attr("index").contains(row)) {
            absent.append(row);
        }
    }
    if (py::len(absent) > 0 && py::len(present) > 0) {
        native::print_line(native::concat(category, ": rows not stored from ", start_day.attr("date")(), " to ",
                                          end_day.attr("date")(), ": ", absent));
    }
    return result;
}

}  // namespace corvane::store
