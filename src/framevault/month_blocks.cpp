#include "framevault/month_blocks.hpp"

#include "core/arrow_columns.hpp"
#include "framevault/numeric_frames.hpp"
#include "core/block_join.hpp"
#include "core/parquet_footer.hpp"
#include "bindings/storage.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

namespace corvane::store {

namespace {

using namespace pybind11::literals;

py::object pyarrow() { return py::module_::import("pyarrow"); }
py::object parquet() { return py::module_::import("pyarrow.parquet"); }

// The month's failure (`original`, an exception) raised again with its path in the message, the
// original as its cause, so a damaged file among many is named.
[[noreturn]] void raise_naming_month(const py::object &path, const py::object &original) {
    py::object kind = py::type::of(original);
    py::str message = native::concat(path, ": ", original);
    py::object wrapped;
    try {
        wrapped = kind(message);
    } catch (py::error_already_set &) {
        wrapped = py::handle(PyExc_OSError)(message);
    }
    native::raise_with_cause(wrapped, original);
}

// The Arrow stream of a pyarrow table, taken out of its capsule and read with the GIL released.
core::ImportedTable import_table(const py::object &table) {
    py::capsule capsule = table.attr("__arrow_c_stream__")();
    auto *stream = capsule.get_pointer<ArrowArrayStream>();
    return native::without_gil([stream] { return core::ImportedTable::from_stream(stream); });
}

// The label kinds whose keys the core compares on Arrow's buffers.
bool keyable_type(const py::object &type) {
    std::string name = py::str(type).cast<std::string>();
    return name == "string" || name == "large_string" || name == "int64";
}

// One stored month, opened once: its handle serves the footer now and the data later.
struct StoredMonth {
    py::object path;
    py::object handle;
    py::object file;  // pyarrow.parquet.ParquetFile on `handle`, made where it is first needed
    py::object index_metadata;
    py::object column_metadata;
    std::string index_field;
    std::vector<std::string> day_names;
    int64_t first_column = 0;  // in the block
    bool has_attrs = false;    // frame attributes, which only pandas' reader restores
    std::optional<core::ImportedTable> decoded;  // decoded before the pool ran: the first month
    std::optional<core::ImportedTable> held;  // decoded but not placed: its rows differ from the first month's
};

// pyarrow's reader of the month, made on first need: on the calling thread for the first month, on
// the pool's for the others, where it overlaps the other months' decoding.
py::object &month_file(StoredMonth &month) {
    if (!month.file || month.file.is_none()) {
        month.file = parquet().attr("ParquetFile")(month.handle);
    }
    return month.file;
}

// A month file's columns as its footer describes them, whichever reader read it.
enum class FieldKind { kFloat64, kKey, kOther };
struct FooterFields {
    py::object pandas_metadata;  // the parsed "pandas" entry, or None
    bool has_pandas_attrs = false;
    std::vector<std::pair<std::string, FieldKind>> fields;  // in schema order
};

// The footer through pyarrow, which reads every file the store may meet.
FooterFields footer_by_pyarrow(StoredMonth &month) {
    py::object schema = month_file(month).attr("schema_arrow");
    FooterFields footer;
    footer.pandas_metadata = schema.attr("pandas_metadata");
    py::object raw_metadata = schema.attr("metadata");
    footer.has_pandas_attrs = !raw_metadata.is_none() && raw_metadata.contains(py::bytes("PANDAS_ATTRS"));
    py::object float64 = pyarrow().attr("float64")();
    for (py::handle field : schema) {
        py::object type = field.attr("type");
        FieldKind kind = type.equal(float64) ? FieldKind::kFloat64 : keyable_type(type) ? FieldKind::kKey : FieldKind::kOther;
        footer.fields.emplace_back(py::str(field.attr("name")).cast<std::string>(), kind);
    }
    return footer;
}

// The footer read by the core from the month's open handle, without the GIL; nullopt for files it does
// not describe (and for metadata that is not JSON), which pyarrow reads. Doubles whose pandas type is
// float64 are float64 columns; a text index column is keyed as text (a month whose decoded labels turn
// out otherwise is not placed, and the read falls back to pandas).
std::optional<FooterFields> footer_by_core(const StoredMonth &month) {
    int descriptor = month.handle.attr("fileno")().cast<int>();
    std::optional<core::FileLayout> layout = native::without_gil([descriptor]() -> std::optional<core::FileLayout> {
        std::optional<core::FileBytes> file = core::FileBytes::of_descriptor(descriptor);
        return file ? core::read_layout(*file) : std::nullopt;
    });
    if (!layout || !layout->pandas_metadata) {
        return std::nullopt;
    }
    FooterFields footer;
    try {
        footer.pandas_metadata = py::module_::import("json").attr("loads")(py::bytes(*layout->pandas_metadata));
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_ValueError)) {
            throw;
        }
        return std::nullopt;
    }
    if (!py::isinstance<py::dict>(footer.pandas_metadata)) {
        return std::nullopt;
    }
    const auto &keys = layout->metadata_keys;
    footer.has_pandas_attrs = std::find(keys.begin(), keys.end(), "PANDAS_ATTRS") != keys.end();
    for (const core::ColumnLayout &column : layout->columns) {
        FieldKind kind = column.type == core::PhysicalType::kDouble                     ? FieldKind::kFloat64
                         : column.type == core::PhysicalType::kByteArray && column.text ? FieldKind::kKey
                                                                                          : FieldKind::kOther;
        footer.fields.emplace_back(column.name, kind);
    }
    return footer;
}

// Whether the month, as its footer describes it, is one the block read takes: one keyable index
// column and float64 days that pandas stored as float64. Fills the month's description.
bool describe_month(StoredMonth &month, const FooterFields &footer) {
    month.day_names.clear();
    month.index_metadata = py::object();
    py::object metadata = footer.pandas_metadata;
    if (metadata.is_none()) {
        return false;
    }
    // pyarrow keeps a frame's attrs in its metadata, pandas' writer beside it.
    py::object attributes = metadata.attr("get")("attributes");
    month.has_attrs = footer.has_pandas_attrs || (!attributes.is_none() && py::len(attributes) > 0);
    py::list index_columns = metadata["index_columns"];
    if (py::len(index_columns) != 1 || !py::isinstance<py::str>(index_columns[0])) {
        return false;
    }
    month.index_field = index_columns[0].cast<std::string>();
    month.column_metadata = metadata["column_indexes"];
    // pandas restores nullable and other dtypes from this description, not from the Arrow type.
    py::str plain_float("float64");
    for (py::handle entry : metadata["columns"]) {
        if (py::str(entry["field_name"]).cast<std::string>() == month.index_field) {
            month.index_metadata = py::reinterpret_borrow<py::object>(entry);
        } else if (!py::object(entry["numpy_type"]).equal(plain_float)) {
            return false;
        }
    }
    bool has_index = false;
    for (const auto &[name, kind] : footer.fields) {
        if (name == month.index_field) {
            has_index = kind == FieldKind::kKey;
        } else if (kind != FieldKind::kFloat64) {
            return false;
        } else {
            month.day_names.push_back(name);
        }
    }
    return has_index && !month.day_names.empty() && month.index_metadata;
}

// The footer of a month file as the native read needs it; nullopt where it does not apply.
std::optional<StoredMonth> open_month(const py::object &path) {
    StoredMonth month;
    month.path = path;
    month.file = py::none();
    try {
        month.handle = pyarrow().attr("OSFile")(global("os").attr("fspath")(path));
        // The core knows text and double columns only: pyarrow has the last word on any other.
        std::optional<FooterFields> footer = footer_by_core(month);
        if (!footer || !describe_month(month, *footer)) {
            if (!describe_month(month, footer_by_pyarrow(month))) {
                return std::nullopt;
            }
        }
    } catch (py::error_already_set &error) {
        raise_naming_month(path, error.value());
    }
    return month;
}

// Whether months hold the same kind of labels, named alike, so that one frame can hold them all.
bool alike(const StoredMonth &first, const StoredMonth &month) {
    return month.index_field == first.index_field && month.index_metadata.equal(first.index_metadata) &&
           month.column_metadata.equal(first.column_metadata);
}

}  // namespace

MonthHooks &own_month_hooks() {
    static MonthHooks hooks;
    return hooks;
}

namespace {

// At most `limit` holders at once; waiting happens with the GIL released.
class InFlight {
public:
    explicit InFlight(unsigned limit) : free_(limit == 0 ? 1 : limit) {}
    void enter() {
        native::without_gil([&] {
            std::unique_lock<std::mutex> lock(mutex_);
            freed_.wait(lock, [&] { return free_ > 0; });
            --free_;
        });
    }
    void leave() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++free_;
        }
        freed_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable freed_;
    unsigned free_;
};

// The read's shared state: the months, in calendar order, and the block they are copied into.
struct BlockRead {
    // More months decoding at once than there are cores gains no speed, and each keeps its own
    // allocator memory: the peak above the block grows with them.
    std::shared_ptr<InFlight> decoding = std::make_shared<InFlight>(std::thread::hardware_concurrency());
    std::vector<StoredMonth> months;
    std::map<std::string, size_t> by_path;
    core::RowKeys reference;  // the first month's rows
    int64_t rows = 0;
    py::array_t<double> block;  // days x rows: one contiguous run per day
    py::object row_index;       // the block's rows, columns and the days of its columns
    py::object labels;
    py::object days;
};

// Decodes one month and copies it into its columns of the block when it holds the first month's rows
// in their order; otherwise keeps it decoded for the union.
// The month's table as pyarrow decodes it, on Arrow's own threads, as many as there are cores, so
// that the allocator's memory stays with those few threads instead of spreading over the pool's.
py::object decode_month(StoredMonth &month) { return month_file(month).attr("read")("use_threads"_a = true); }

// The reader keeps what it read of the file until it goes: let it go with the month.
void close_month(StoredMonth &month) {
    month.file = py::none();
    month.handle.attr("close")();
}

core::ImportedTable decoded_month(StoredMonth &month) {
    if (month.decoded) {
        core::ImportedTable table = std::move(*month.decoded);
        month.decoded.reset();
        return table;
    }
    try {
        core::ImportedTable table = import_table(decode_month(month));
        close_month(month);
        return table;
    } catch (py::error_already_set &error) {
        raise_naming_month(month.path, error.value());
    }
}

void read_one_month(BlockRead &read, const py::object &path) {
    StoredMonth &month = read.months.at(read.by_path.at(py::str(path).cast<std::string>()));
    // A month holds its slot until it is copied: its decoded table counts towards the peak until then.
    InFlight *slots = month.decoded ? nullptr : read.decoding.get();
    if (slots != nullptr) {
        // Its reader is made before it waits: that work holds the GIL, and overlaps the months
        // decoding meanwhile.
        try {
            month_file(month);
        } catch (py::error_already_set &error) {
            raise_naming_month(month.path, error.value());
        }
        slots->enter();
    }
    struct Leave {
        InFlight *slots;
        ~Leave() {
            if (slots != nullptr) {
                slots->leave();
            }
        }
    } leave{slots};
    core::ImportedTable table = decoded_month(month);
    std::optional<size_t> index = table.column(month.index_field);
    std::vector<size_t> columns;
    for (const std::string &name : month.day_names) {
        std::optional<size_t> column = table.column(name);
        if (!index || !column || table.format(*column) != "g") {
            raise_naming_month(path, py::handle(PyExc_ValueError)("the file changed its columns while it was read"));
        }
        columns.push_back(*column);
    }
    double *data = read.block.mutable_data();
    native::without_gil([&] {
        if (!table.same_keys(*index, read.reference)) {
            month.held = std::move(table);
            return;
        }
        for (size_t day = 0; day < columns.size(); ++day) {
            table.copy_float_column(columns[day], data + (month.first_column + static_cast<int64_t>(day)) * read.rows, {});
        }
        // The month's Arrow memory goes back before the next month is decoded on this thread.
        table = core::ImportedTable();
    });
}

// Labels of `keys` at `added` as a list of Python objects: text or int.
py::list labels_of(const core::RowKeys &keys, const std::vector<int64_t> &added) {
    py::list labels;
    for (int64_t position : added) {
        const std::string &key = keys.keys[static_cast<size_t>(position)];
        if (keys.kind == 'i') {
            int64_t value = 0;
            std::memcpy(&value, key.data(), sizeof value);
            labels.append(value);
        } else {
            labels.append(py::str(key.data(), key.size()));
        }
    }
    return labels;
}

// Months whose rows differ from the first month's placed in the union of all rows, as concat orders
// it; a wider block when they add rows. False where the labels cannot be joined here (repeats).
bool place_held_months(BlockRead &read, py::object &row_index) {
    auto joined = core::RowUnion::starting_with(read.reference);
    if (!joined) {
        return false;
    }
    std::vector<core::Positions> positions(read.months.size());
    py::list new_labels;
    for (size_t at = 0; at < read.months.size(); ++at) {
        StoredMonth &month = read.months[at];
        if (!month.held) {
            continue;
        }
        auto keys = month.held->keys(*month.held->column(month.index_field));
        std::vector<int64_t> added;
        auto placed = keys ? joined->place(*keys, added) : std::nullopt;
        if (!placed) {
            return false;
        }
        if (!added.empty()) {
            new_labels.append(global("pd").attr("Index")(labels_of(*keys, added), "dtype"_a = row_index.attr("dtype"),
                                                           "name"_a = row_index.attr("name")));
        }
        positions[at] = std::move(*placed);
    }
    int64_t rows = joined->size();
    int64_t days = read.block.shape(0);
    py::array_t<double> block = read.block;
    if (rows != read.rows) {
        block = py::array_t<double>({days, rows});
        row_index = row_index.attr("append")(new_labels);
    }
    const double *old_data = read.block.data();
    double *data = block.mutable_data();
    const double hole = std::numeric_limits<double>::quiet_NaN();
    native::without_gil([&] {
        for (size_t at = 0; at < read.months.size(); ++at) {
            StoredMonth &month = read.months[at];
            auto columns = static_cast<int64_t>(month.day_names.size());
            for (int64_t day = month.first_column; day < month.first_column + columns; ++day) {
                double *out = data + day * rows;
                if (!month.held) {
                    if (data != old_data) {
                        std::memcpy(out, old_data + day * read.rows, static_cast<size_t>(read.rows) * sizeof(double));
                        std::fill(out + read.rows, out + rows, hole);
                    }
                    continue;
                }
                std::fill(out, out + rows, hole);
                auto column = *month.held->column(month.day_names[static_cast<size_t>(day - month.first_column)]);
                month.held->copy_float_column(column, out, positions[at]);
            }
            month.held.reset();
        }
    });
    read.block = block;
    read.rows = rows;
    return true;
}

// The months opened and put in calendar order of their first days; nullopt where any of them cannot
// be read natively. `labels` and `days` receive the stored labels and their days in that order.
std::optional<BlockRead> open_months(const py::list &paths, py::object &labels, py::object &days) {
    BlockRead read;
    std::vector<StoredMonth> opened;
    py::list names;
    for (py::handle path : paths) {
        auto month = open_month(py::reinterpret_borrow<py::object>(path));
        if (!month || (!opened.empty() && !alike(opened.front(), *month))) {
            return std::nullopt;
        }
        for (const std::string &name : month->day_names) {
            names.append(py::str(name));
        }
        opened.push_back(std::move(*month));
    }
    py::object pd = global("pd");
    py::object column_name = opened.front().column_metadata.is_none() || py::len(opened.front().column_metadata) != 1
                                 ? py::object(py::none())
                                 : py::object(opened.front().column_metadata[py::int_(0)]["name"]);
    py::object stored_labels = pd.attr("Index")(names, "name"_a = column_name);
    py::object parsed = stored_label_days(stored_labels, paths[0]);
    std::vector<int64_t> ticks = day_ticks(parsed);

    // Months sort by their first day, as the pandas join orders them.
    std::vector<int64_t> first_tick;
    size_t next = 0;
    for (const StoredMonth &month : opened) {
        auto stop = next + month.day_names.size();
        first_tick.push_back(*std::min_element(ticks.begin() + static_cast<long>(next), ticks.begin() + static_cast<long>(stop)));
        next = stop;
    }
    std::vector<size_t> order(opened.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](size_t left, size_t right) { return first_tick[left] < first_tick[right]; });
    std::vector<size_t> start(opened.size());
    for (size_t at = 0, column = 0; at < opened.size(); ++at) {
        start[at] = column;
        column += opened[at].day_names.size();
    }
    py::list positions;
    int64_t column = 0;
    for (size_t at : order) {
        for (size_t day = 0; day < opened[at].day_names.size(); ++day) {
            positions.append(start[at] + day);
        }
        opened[at].first_column = column;
        column += static_cast<int64_t>(opened[at].day_names.size());
        read.by_path[py::str(opened[at].path).cast<std::string>()] = read.months.size();
        read.months.push_back(std::move(opened[at]));
    }
    labels = stored_labels.attr("take")(positions);
    days = parsed.attr("take")(positions);
    return read;
}

// The first month's row labels as pandas reads them, from its decoded `table` or, where that is None,
// from the file. pyarrow 19 and later converts text as pandas does, so the index column alone is
// converted; older pyarrow needs pandas' own type mapping, and reads the labels again.
py::object first_month_rows(StoredMonth &first, const py::object &table) {
    std::string version = py::str(pyarrow().attr("__version__")).cast<std::string>();
    if (std::stoi(version.substr(0, version.find('.'))) < 19) {
        return global("pd").attr("read_parquet")(first.handle, "columns"_a = py::list()).attr("index");
    }
    py::list columns;
    columns.append(py::str(first.index_field));
    if (table.is_none()) {
        return month_file(first).attr("read")("columns"_a = columns, "use_pandas_metadata"_a = true).attr("to_pandas")().attr("index");
    }
    return table.attr("select")(columns).attr("to_pandas")().attr("index");
}

// The months at `paths` opened and the block made for them; the block's rows are the first month's.
// nullopt, having read at most the first month, where the months' shape rules the block out (whether
// it is tried at all is month_readers' decision).
std::shared_ptr<BlockRead> prepare_block(const py::list &paths) {
    if (py::len(paths) == 0) {
        return nullptr;
    }
    py::object labels;
    py::object days;
    auto opened = open_months(paths, labels, days);
    // Frame attributes are restored by pandas' reader alone.
    if (!opened || std::any_of(opened->months.begin(), opened->months.end(),
                               [](const StoredMonth &month) { return month.has_attrs; })) {
        return nullptr;
    }
    auto read = std::make_shared<BlockRead>(std::move(*opened));
    read->labels = labels;
    read->days = days;
    py::object &row_index = read->row_index;
    // A lone month is decoded here, once, and its table gives the rows; of many, only the first's
    // labels are read here, so that its decode joins the others' on the pool, within their limit (a
    // month decoded outside it raised the peak of a ten-year read by about 5%).
    StoredMonth &first = read->months.front();
    try {
        py::object table = read->months.size() == 1 ? decode_month(first) : py::none();
        row_index = first_month_rows(first, table);
        if (!table.is_none()) {
            first.decoded = import_table(table);
            close_month(first);
        }
    } catch (py::error_already_set &error) {
        raise_naming_month(first.path, error.value());
    }
    auto reference = py::type::of(row_index).is(global("pd").attr("Index")) ? row_keys(row_index) : std::nullopt;
    if (!reference) {
        return nullptr;
    }
    read->reference = std::move(*reference);
    read->rows = static_cast<int64_t>(read->reference.keys.size());
    read->block = py::array_t<double>({static_cast<int64_t>(py::len(labels)), read->rows});
    return read;
}

// The block as a frame around it, no copy, once every month is in it; nullopt where held months'
// labels cannot be joined here.
std::optional<py::object> block_frame(BlockRead &read) {
    bool any_held = std::any_of(read.months.begin(), read.months.end(), [](const StoredMonth &month) { return month.held.has_value(); });
    if (any_held && !place_held_months(read, read.row_index)) {
        return std::nullopt;
    }
    return global("pd").attr("DataFrame")(read.block.attr("T"), "index"_a = read.row_index, "columns"_a = read.labels,
                                          "copy"_a = false);
}

}  // namespace

std::optional<py::object> read_stored_month_block(const py::object &path) {
    py::list paths;
    paths.append(path);
    auto read = prepare_block(paths);
    if (!read) {
        return std::nullopt;
    }
    read_one_month(*read, path);
    return block_frame(*read);
}

std::optional<std::pair<py::object, py::object>> read_month_block(const py::object &self, const py::list &paths,
                                                                  const py::object &task_desc) {
    // A single month too: decoding its columns straight into the block costs less than pandas'
    // conversion of the table, though the frame pandas builds would need no join.
    auto read = prepare_block(paths);
    if (!read) {
        return std::nullopt;
    }

    py::list iterators;
    for (py::handle path : paths) {
        py::list task;
        task.append(path);
        iterators.append(task);
    }
    py::cpp_function worker([read](py::object path) { read_one_month(*read, path); });
    py::list results = store_class().attr("run_concurrently")(iterators, worker, "max_workers"_a = self.attr("max_workers"),
                                                              "task_desc"_a = task_desc);
    if (py::len(results) == 0) {
        raise_error(PyExc_ValueError, "读取失败");
    }
    auto frame = block_frame(*read);
    if (!frame) {
        return std::nullopt;
    }
    return std::make_pair(*frame, read->days);
}

}  // namespace corvane::store
