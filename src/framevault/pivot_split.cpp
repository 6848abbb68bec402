// A full write of float64 months encoded straight from the frame's block: the labels, the file
// layout and the pandas metadata are made once for all months, and each month's file is encoded from
// its range of day columns on the pool's threads with the GIL released. No pandas frame per month.
#include "framevault/month_blocks.hpp"
#include "framevault/month_files.hpp"
#include "framevault/numeric_frames.hpp"
#include "framevault/store.hpp"
#include "core/cell_merge.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvane::store {

namespace {

using namespace pybind11::literals;

// The "pandas" metadata JSON of a month, assembled from pieces dumped once: json.dumps renders a list
// as its items' renderings joined by ", ", so a month's day entries are a run of the days' entries.
struct PandasJson {
    std::string head;                      // up to and with the "[" of the columns list
    std::vector<std::string> day_entries;  // one per day of the frame
    std::string tail;                      // ", " and the row labels' entry, "]" and the rest

    py::bytes for_days(int64_t first, int64_t count) const {
        std::string json = head;
        for (int64_t day = first; day < first + count; ++day) {
            json += day_entries[static_cast<size_t>(day)];
            json += ", ";
        }
        return py::bytes(json + tail);
    }
};

// The pieces of pandas_metadata's JSON for the days labelled `labels`, as month_writes.cpp builds it.
std::optional<PandasJson> pandas_json_pieces(const MonthFileLayout &layout, const py::list &labels) {
    py::object dumps = py::module_::import("json").attr("dumps");
    py::dict metadata = layout.described.attr("pandas_metadata");
    py::list entries = metadata["columns"];
    py::str marker("\x01corvane days\x01");
    py::list marked;
    marked.append(marker);
    metadata["columns"] = marked;
    std::string whole = dumps(metadata).cast<std::string>();
    std::string placeholder = "[" + dumps(marker).cast<std::string>() + "]";
    size_t at = whole.find(placeholder);
    if (at == std::string::npos || whole.find(placeholder, at + 1) != std::string::npos) {
        return std::nullopt;
    }
    PandasJson json{whole.substr(0, at + 1), {},
                    dumps(entries[1]).cast<std::string>() + "]" + whole.substr(at + placeholder.size())};
    for (py::handle label : labels) {
        py::dict entry = entries[0].attr("copy")();
        entry["name"] = label;
        entry["field_name"] = label;
        json.day_entries.push_back(dumps(entry).cast<std::string>());
    }
    return json;
}

// What every month of the frame shares, taken from it once; read by the pool's threads.
struct SplitFrame {
    py::object df;
    py::object strf;
    std::string date_format;
    FloatCells cells;
    core::RowKeys keys;
    MonthFileLayout layout;
    PandasJson pandas_json;
    py::list labels;                     // the days' text labels
    std::vector<std::string> day_names;  // the same, as the files name their columns
    py::object read_back;                // the days as the next merge reads them back from the labels
    std::vector<int64_t> ticks;          // read_back's ticks
    std::vector<PlannedMonth> months;
};

// The frame's first row and day under its text label: what pyarrow's description of a month depends
// on besides the labels (their kinds and names) is the frame's.
py::object head_cell(const py::object &df, const py::object &text) {
    py::object head = df.attr("iloc")[py::make_tuple(py::slice(0, 1, 1), py::slice(0, 1, 1))];
    head = head.attr("copy")("deep"_a = false);
    head.attr("columns") = text.attr("__getitem__")(py::slice(0, 1, 1));
    return head;
}

// Whether the class writes months through its own runner and update_pivot_parquet.
bool own_write_hooks_in_place() {
    py::object cls = store_class();
    return py::object(cls.attr("update_pivot_parquet")).is(own_month_hooks().writer) &&
           py::object(cls.attr("run_concurrently")).is(own_month_hooks().runner);
}

// Whether every month is one run of columns: the block then holds it as one range of days.
bool months_contiguous(const std::vector<PlannedMonth> &months) {
    for (const PlannedMonth &month : months) {
        if (month.positions.back() - month.positions.front() + 1 != static_cast<Py_ssize_t>(month.positions.size())) {
            return false;
        }
    }
    return true;
}

// Every label a str, none the row labels' name (which would then lay a month out otherwise).
bool labels_name_days_only(const py::list &labels, const py::object &index) {
    py::object name = index.attr("name");
    for (py::handle label : labels) {
        if (!PyUnicode_CheckExact(label.ptr()) || label.equal(name)) {
            return false;
        }
    }
    return true;
}

// The frame's shared state, where every month of it can be encoded from the block.
std::optional<SplitFrame> split_frame(const py::object &df, const py::object &strf, const py::object &text,
                                      const std::vector<PlannedMonth> &months) {
    if (!native_core_enabled() || months.empty() || !own_write_hooks_in_place() || !months_contiguous(months) ||
        !py::type::of(df.attr("index")).is(global("pd").attr("Index")) || py::len(df.attr("attrs")) > 0) {
        return std::nullopt;
    }
    std::optional<FloatCells> cells = float_cells(df);
    std::optional<core::RowKeys> keys = cells ? row_keys(df.attr("index")) : std::nullopt;
    py::list labels = text.attr("tolist")();
    if (!keys || !labels_name_days_only(labels, df.attr("index"))) {
        return std::nullopt;
    }
    std::optional<MonthFileLayout> layout = month_file_layout(head_cell(df, text), keys->kind);
    std::optional<PandasJson> pandas_json = layout ? pandas_json_pieces(*layout, labels) : std::nullopt;
    if (!pandas_json) {
        return std::nullopt;
    }
    py::object read_back;
    try {
        read_back = to_day_labels(text, months.front().path, strf);
    } catch (py::error_already_set &) {
        // Labels that do not read back leave their months unrecorded, as the month-by-month write does.
        return std::nullopt;
    }
    SplitFrame split{df, strf, py::str(strf).cast<std::string>(), std::move(*cells), std::move(*keys),
                     std::move(*layout), std::move(*pandas_json), labels, {}, read_back, day_ticks(read_back), months};
    for (py::handle label : labels) {
        split.day_names.push_back(label.cast<std::string>());
    }
    return split;
}

// One month's cells and row keys as its file holds them: the rows without a value in the month
// dropped, as rows_with_values drops them. Rows are kept whole where every one has a value. Filled in
// place, as `view` and `keys` may point into it.
struct MonthCells {
    core::CellView view;
    std::vector<double> gathered;  // the kept rows' cells, where some were dropped
    core::RowKeys kept_keys;
    const core::RowKeys *keys = nullptr;
};

void fill_month_cells(const SplitFrame &split, int64_t first, int64_t count, MonthCells &month) {
    const core::CellView &whole = split.cells.view;
    month.view = {whole.data + first * whole.day_stride, whole.rows, count, whole.row_stride, whole.day_stride};
    month.keys = &split.keys;
    std::vector<int64_t> rows = core::rows_with_a_value(month.view);
    if (static_cast<int64_t>(rows.size()) == whole.rows) {
        return;
    }
    month.gathered = core::cells_of_rows(month.view, rows);
    auto kept = static_cast<int64_t>(rows.size());
    month.view = {month.gathered.data(), kept, count, 1, kept};
    month.kept_keys.kind = split.keys.kind;
    for (int64_t row : rows) {
        month.kept_keys.keys.push_back(split.keys.keys[static_cast<size_t>(row)]);
    }
    month.keys = &month.kept_keys;
}

// Records the digest of the month just written, as record_month_digest records it.
void record_written_month(const SplitFrame &split, const py::object &path, const MonthCells &cells, int64_t first,
                          const std::string &shape) {
    int64_t count = cells.view.days;
    std::vector<int64_t> ticks(split.ticks.begin() + first, split.ticks.begin() + first + count);
    core::Digest128 digest = native::without_gil([&] { return core::month_digest(cells.view, *cells.keys, ticks); });
    core::DigestRecord record{digest,
                              core::FileIdentity{},
                              split.date_format,
                              py::str(split.read_back.attr("__getitem__")(first)).cast<std::string>(),
                              py::str(split.read_back.attr("__getitem__")(first + count - 1)).cast<std::string>(),
                              shape};
    const native::Storage &storage = native::storage_for(path);
    if (!storage.write_digest_record(path, record, std::nullopt)) {
        storage.forget_digest_record(path);
    }
}

// Creates the month's file from the block, under the file's lock with no file there; false, having
// done nothing, where the month has no row with a value (pandas writes that file).
bool create_from_block(const SplitFrame &split, const PlannedMonth &month) {
    auto first = static_cast<int64_t>(month.positions.front());
    auto count = static_cast<int64_t>(month.positions.size());
    MonthCells cells;
    native::without_gil([&] { fill_month_cells(split, first, count, cells); });
    if (cells.view.rows == 0) {
        return false;
    }
    py::list labels = split.labels[py::slice(first, first + count, 1)];
    core::MonthFileContent content;
    content.cells = cells.view;
    content.day_names.assign(split.day_names.begin() + first, split.day_names.begin() + first + count);
    content.rows = cells.keys;
    content.row_field = split.layout.row_field;
    content.metadata = month_file_metadata(split.layout, labels, split.pandas_json.for_days(first, count));
    write_encoded_month(native::storage_for(month.path), month.path, content);
    py::tuple shape = py::make_tuple(cells.view.rows, count);
    record_written_month(split, month.path, cells, first, py::str(shape).cast<std::string>());
    native::print_status_line(native::concat(month.path, ": Initializing: Shape ", shape, " From ", py::object(labels[0]),
                                             " To ", py::object(labels[py::len(labels) - 1])));
    return true;
}

// One month's task: created from the block where no file is there when it runs, else (another writer
// made it meanwhile, or the block cannot hold it) written month by month as the class writes it.
void write_planned_month(const SplitFrame &split, size_t index) {
    const PlannedMonth &month = split.months[index];
    bool created = false;
    native::run_exclusively(month.path, [&] {
        created = !native::path_exists(month.path) && create_from_block(split, month);
    });
    if (!created) {
        update_pivot_parquet(month.path, month_frame(split.df, month.positions), split.strf);
    }
}

}  // namespace

std::optional<MonthTasks> block_month_tasks(const py::object &df, const py::object &strf, const py::object &text,
                                            const std::vector<PlannedMonth> &months) {
    std::optional<SplitFrame> split = split_frame(df, strf, text, months);
    if (!split) {
        return std::nullopt;
    }
    auto shared = std::make_shared<const SplitFrame>(std::move(*split));
    MonthTasks planned{py::list(), pool_worker("write_month_from_block", [shared](py::object, size_t index) {
                           write_planned_month(*shared, index);
                       })};
    for (size_t index = 0; index < shared->months.size(); ++index) {
        py::list task;
        task.append(shared->months[index].path);
        task.append(index);
        planned.tasks.append(task);
    }
    return planned;
}

}  // namespace corvane::store
