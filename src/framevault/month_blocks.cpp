#include "framevault/month_blocks.hpp"

#include "core/arrow_columns.hpp"
#include "core/block_join.hpp"
#include "core/chunk_decode.hpp"
#include "core/parquet_footer.hpp"
#include "framevault/numeric_frames.hpp"
#include "bindings/storage.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
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

// One stored month, opened once: one version of its bytes (the open file locally, the bytes of one
// GET on object storage) serves the footer, the row labels and the values.
struct StoredMonth {
    StoredMonth() = default;
    StoredMonth(StoredMonth &&) = default;
    StoredMonth &operator=(StoredMonth &&) = default;
    // A month given up on (a declined read, an error) closes pyarrow's file object, not the collector.
    ~StoredMonth() {
        if (source && !source.is_none()) {
            try {
                source.attr("close")();
            } catch (py::error_already_set &) {
                // Closing a read-only file has nothing to report.
            }
        }
    }

    py::object path;
    std::optional<core::FileBytes> bytes;
    py::object owner;   // what keeps object bytes alive, else None
    py::object source;  // pyarrow's view of the same bytes, made where pyarrow is needed
    py::object file;    // pyarrow.parquet.ParquetFile on `source`
    std::optional<core::FileLayout> layout;  // the core's reading of the footer; nullopt: pyarrow decodes
    py::object index_metadata;
    py::object column_metadata;
    std::string index_field;
    std::vector<std::string> day_names;
    size_t index_chunk = 0;          // in `layout`
    std::vector<size_t> day_chunks;  // in `layout`, one per day name
    int64_t first_column = 0;        // in the block
    bool has_attrs = false;          // frame attributes, which only pandas' reader restores
    bool fits = false;               // a month the block read takes
    std::optional<core::RowKeys> keys;  // the row labels as the core decoded them, kept for the union
    bool placed = false;                // its values are in the block
    bool held_keys = false;             // rows differ from the first month's: placed by `keys` in the union
    std::optional<core::ImportedTable> held;  // decoded by pyarrow, rows differing from the first month's
};

// pyarrow's view of the month's bytes: the object's bytes, or the open file (the same version,
// whatever replaced the path since).
py::object &month_source(StoredMonth &month) {
    if (!month.source || month.source.is_none()) {
        month.source = month.owner.is_none() ? native::arrow_reader_of_descriptor(month.bytes->descriptor())
                                              : native::arrow_reader_of_bytes(month.owner);
    }
    return month.source;
}

py::object &month_file(StoredMonth &month) {
    if (!month.file || month.file.is_none()) {
        month.file = parquet().attr("ParquetFile")(month_source(month));
    }
    return month.file;
}

// Lets go of the month's bytes and of pyarrow's hold on them.
void close_month(StoredMonth &month) {
    month.file = py::none();
    if (month.source && !month.source.is_none()) {
        month.source.attr("close")();
    }
    month.source = py::none();
    month.owner = py::none();
    month.bytes.reset();
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

// The footer as the core read it; nullopt for metadata that is not JSON, which pyarrow then reads.
// Doubles whose pandas type is float64 are float64 columns; text and plain int64 index columns are
// keyed (a month whose decoded labels turn out otherwise is decoded by pyarrow).
std::optional<FooterFields> footer_by_core(const core::FileLayout &layout) {
    if (!layout.pandas_metadata) {
        return std::nullopt;
    }
    FooterFields footer;
    try {
        footer.pandas_metadata = py::module_::import("json").attr("loads")(py::bytes(*layout.pandas_metadata));
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_ValueError)) {
            throw;
        }
        return std::nullopt;
    }
    if (!py::isinstance<py::dict>(footer.pandas_metadata)) {
        return std::nullopt;
    }
    const auto &keys = layout.metadata_keys;
    footer.has_pandas_attrs = std::find(keys.begin(), keys.end(), "PANDAS_ATTRS") != keys.end();
    for (const core::ColumnLayout &column : layout.columns) {
        bool key = (column.type == core::PhysicalType::kByteArray && column.text) || column.plain_integer;
        FieldKind kind = column.type == core::PhysicalType::kDouble ? FieldKind::kFloat64
                         : key                                      ? FieldKind::kKey
                                                                    : FieldKind::kOther;
        footer.fields.emplace_back(column.name, kind);
    }
    return footer;
}

// Whether the month, as its footer describes it, is one the block read takes: one keyable index
// column and float64 days that pandas stored as float64. Fills the month's description; the chunk
// positions are those of the footer's fields.
bool describe_month(StoredMonth &month, const FooterFields &footer) {
    month.day_names.clear();
    month.day_chunks.clear();
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
    for (size_t at = 0; at < footer.fields.size(); ++at) {
        const auto &[name, kind] = footer.fields[at];
        if (name == month.index_field) {
            has_index = kind == FieldKind::kKey;
            month.index_chunk = at;
        } else if (kind != FieldKind::kFloat64) {
            return false;
        } else {
            month.day_names.push_back(name);
            month.day_chunks.push_back(at);
        }
    }
    return has_index && !month.day_names.empty() && month.index_metadata;
}

core::ChunkSource chunk_of(const StoredMonth &month, size_t chunk) {
    return core::ChunkSource{&*month.bytes, month.layout->columns[chunk], month.layout->rows};
}

// One version of the month's bytes: the open file, or one GET. Where the local file cannot be opened
// as a regular file, pyarrow opens it, so that the caller sees the error a read would raise.
void open_month_bytes(StoredMonth &month) {
    const native::Storage &storage = native::storage_for(month.path);
    std::optional<native::StoredBytes> stored = storage.open_bytes(month.path);
    if (!stored) {
        try {
            pyarrow().attr("OSFile")(global("os").attr("fspath")(month.path)).attr("close")();
        } catch (py::error_already_set &error) {
            raise_naming_month(month.path, error.value());
        }
        raise_naming_month(month.path, py::handle(PyExc_OSError)("not a regular file"));
    }
    month.bytes = std::move(stored->bytes);
    month.owner = stored->owner;
}

// The month at `path` opened and described. Runs on a pool thread: the core reads the footer with the
// GIL released.
StoredMonth open_month(const py::object &path) {
    StoredMonth month;
    month.path = path;
    month.owner = py::none();
    month.source = py::none();
    month.file = py::none();
    open_month_bytes(month);
    try {
        const core::FileBytes &bytes = *month.bytes;
        month.layout = native::without_gil([&] { return core::read_layout(bytes); });
        std::optional<FooterFields> footer = month.layout ? footer_by_core(*month.layout) : std::nullopt;
        month.fits = footer && describe_month(month, *footer);
        if (!month.fits) {
            // The core knows text, int64 and double columns only: pyarrow has the last word on others.
            month.layout.reset();
            month.fits = describe_month(month, footer_by_pyarrow(month));
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

// The read's shared state: the months, in calendar order once ordered, and the block they go into.
struct BlockRead {
    std::vector<StoredMonth> months;
    core::RowKeys reference;  // the first month's rows
    int64_t rows = 0;
    py::array_t<double> block;  // days x rows: one contiguous run per day
    py::object row_index;       // the block's rows, columns and the days of its columns
    py::object labels;
    py::object days;
};

bool same_rows(const core::RowKeys &keys, const core::RowKeys &reference) {
    return keys.kind == reference.kind && keys.keys == reference.keys;
}

// The month's days decoded by the core into their columns of `data` (`rows` a column), each of its
// rows at `positions` (empty: the block's rows are the month's). False where the core declines a
// chunk; the columns are then rewritten by whoever decodes the month instead.
bool decode_month_into(const StoredMonth &month, double *data, int64_t rows, const core::Positions &positions) {
    for (size_t day = 0; day < month.day_chunks.size(); ++day) {
        double *column = data + (month.first_column + static_cast<int64_t>(day)) * rows;
        if (!core::decode_doubles(chunk_of(month, month.day_chunks[day]), column, positions)) {
            return false;
        }
    }
    return true;
}

// The months the core reads decoded straight into the block, on as many threads as there are cores,
// without the GIL: their labels first, then, where they are the first month's, their days. A month
// with other labels keeps them for the union (held_keys); one the core declines is left unplaced.
void decode_months_natively(BlockRead &read) {
    std::vector<StoredMonth *> native_months;
    for (StoredMonth &month : read.months) {
        if (month.layout) {
            native_months.push_back(&month);
        }
    }
    enum Outcome : char { kDeclined, kPlaced, kHeld };
    std::vector<char> outcome(native_months.size(), kDeclined);
    double *data = read.block.mutable_data();
    int64_t rows = read.rows;
    const core::RowKeys &reference = read.reference;
    native::without_gil([&] {
        std::atomic<size_t> next{0};
        auto work = [&] {
            for (size_t at = next++; at < native_months.size(); at = next++) {
                StoredMonth &month = *native_months[at];
                std::optional<core::RowKeys> keys = core::decode_keys(chunk_of(month, month.index_chunk));
                if (!keys) {
                    continue;
                }
                if (!same_rows(*keys, reference)) {
                    month.keys = std::move(keys);  // only months that differ keep their labels
                    outcome[at] = kHeld;
                } else if (decode_month_into(month, data, rows, {})) {
                    outcome[at] = kPlaced;
                }
            }
        };
        size_t threads = std::min<size_t>(std::max(1u, std::thread::hardware_concurrency()), native_months.size());
        std::vector<std::thread> pool;
        for (size_t i = 1; i < threads; ++i) {
            pool.emplace_back(work);
        }
        work();
        for (std::thread &thread : pool) {
            thread.join();
        }
    });
    for (size_t at = 0; at < native_months.size(); ++at) {
        if (outcome[at] == kPlaced) {
            native_months[at]->placed = true;
            close_month(*native_months[at]);
        } else if (outcome[at] == kHeld) {
            native_months[at]->held_keys = true;
        }
    }
}

// A month the core declined, decoded by pyarrow: copied into the block when it holds the first
// month's rows in their order, else kept for the union.
void decode_remaining_month(BlockRead &read, StoredMonth &month) {
    core::ImportedTable table;
    try {
        table = import_table(month_file(month).attr("read")("use_threads"_a = true));
    } catch (py::error_already_set &error) {
        raise_naming_month(month.path, error.value());
    }
    std::optional<size_t> index = table.column(month.index_field);
    std::vector<size_t> columns;
    for (const std::string &name : month.day_names) {
        std::optional<size_t> column = table.column(name);
        if (!index || !column || table.format(*column) != "g") {
            raise_naming_month(month.path, py::handle(PyExc_ValueError)("the file changed its columns while it was read"));
        }
        columns.push_back(*column);
    }
    close_month(month);
    double *data = read.block.mutable_data();
    native::without_gil([&] {
        if (!table.same_keys(*index, read.reference)) {
            month.held = std::move(table);
            return;
        }
        for (size_t day = 0; day < columns.size(); ++day) {
            table.copy_float_column(columns[day], data + (month.first_column + static_cast<int64_t>(day)) * read.rows, {});
        }
    });
    month.placed = !month.held;
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

// The labels of a month kept for the union.
std::optional<core::RowKeys> held_rows(const StoredMonth &month) {
    return month.held_keys ? month.keys : month.held->keys(*month.held->column(month.index_field));
}

// A held month's days written into the union block `data` (`rows` a column) at `positions`, holes
// where it lacks a row: by the core from its bytes, or from pyarrow's table.
void fill_held_month(StoredMonth &month, double *data, int64_t rows, const core::Positions &positions) {
    const double hole = std::numeric_limits<double>::quiet_NaN();
    auto columns = static_cast<int64_t>(month.day_names.size());
    std::fill(data + month.first_column * rows, data + (month.first_column + columns) * rows, hole);
    if (month.held_keys && decode_month_into(month, data, rows, positions)) {
        return;
    }
    if (month.held_keys) {
        // The core declined a chunk after its labels: pyarrow decodes the month.
        std::fill(data + month.first_column * rows, data + (month.first_column + columns) * rows, hole);
        py::gil_scoped_acquire gil;
        try {
            month.held = import_table(month_file(month).attr("read")("use_threads"_a = true));
        } catch (py::error_already_set &error) {
            raise_naming_month(month.path, error.value());
        }
    }
    for (int64_t day = 0; day < columns; ++day) {
        auto column = month.held->column(month.day_names[static_cast<size_t>(day)]);
        if (!column) {
            py::gil_scoped_acquire gil;
            raise_naming_month(month.path, py::handle(PyExc_ValueError)("the file changed its columns while it was read"));
        }
        month.held->copy_float_column(*column, data + (month.first_column + day) * rows, positions);
    }
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
        if (month.placed) {
            continue;
        }
        auto keys = held_rows(month);
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
            if (!month.placed) {
                fill_held_month(month, data, rows, positions[at]);
                month.held.reset();
                continue;
            }
            if (data == old_data) {
                continue;
            }
            auto columns = static_cast<int64_t>(month.day_names.size());
            for (int64_t day = month.first_column; day < month.first_column + columns; ++day) {
                double *out = data + day * rows;
                std::memcpy(out, old_data + day * read.rows, static_cast<size_t>(read.rows) * sizeof(double));
                std::fill(out + read.rows, out + rows, hole);
            }
        }
    });
    for (StoredMonth &month : read.months) {
        if (!month.placed) {
            close_month(month);
        }
    }
    read.block = block;
    read.rows = rows;
    return true;
}

// The opened months put in calendar order of their first days, with the stored labels and their
// days in that order; false where they cannot share one block (a month the block read does not take,
// labels of different kinds, frame attributes).
bool order_months(BlockRead &read, std::vector<StoredMonth> opened) {
    py::list names;
    for (const StoredMonth &month : opened) {
        if (!month.fits || month.has_attrs || !alike(opened.front(), month)) {
            return false;
        }
        for (const std::string &name : month.day_names) {
            names.append(py::str(name));
        }
    }
    py::object pd = global("pd");
    py::object column_name = opened.front().column_metadata.is_none() || py::len(opened.front().column_metadata) != 1
                                 ? py::object(py::none())
                                 : py::object(opened.front().column_metadata[py::int_(0)]["name"]);
    py::object stored_labels = pd.attr("Index")(names, "name"_a = column_name);
    py::object parsed = stored_label_days(stored_labels, opened.front().path);
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
        read.months.push_back(std::move(opened[at]));
    }
    read.labels = stored_labels.attr("take")(positions);
    read.days = parsed.attr("take")(positions);
    return true;
}

// The first month's row labels as pandas reads them, from the index column of its bytes. pyarrow 19
// and later converts text as pandas does, so the index column alone is converted; older pyarrow
// needs pandas' own type mapping.
py::object first_month_rows(StoredMonth &first) {
    if (native::major_version(pyarrow()) < 19) {
        return global("pd").attr("read_parquet")(month_source(first), "columns"_a = py::list()).attr("index");
    }
    py::list columns;
    columns.append(py::str(first.index_field));
    return month_file(first).attr("read")("columns"_a = columns, "use_pandas_metadata"_a = true).attr("to_pandas")().attr("index");
}

// The first month's row labels made from the keys the core decoded, where they are what pyarrow's
// conversion gives: text or int64 labels of pandas' plain types, named by text or not at all (a
// pandas 3 text column reads back as text only under pandas 3). nullopt elsewhere.
std::optional<py::object> rows_of_keys(const StoredMonth &first, const core::RowKeys &keys) {
    const py::object &entry = first.index_metadata;
    py::object name = entry.attr("get")("name");
    if (!(name.is_none() || py::isinstance<py::str>(name)) || !entry.attr("get")("metadata").is_none()) {
        return std::nullopt;
    }
    std::string pandas_type = py::str(entry.attr("get")("pandas_type"));
    std::string numpy_type = py::str(entry.attr("get")("numpy_type"));
    py::object pd = global("pd");
    if (keys.kind == 'i' && pandas_type == "int64" && numpy_type == "int64") {
        py::array_t<int64_t> values(static_cast<py::ssize_t>(keys.keys.size()));
        int64_t *into = values.mutable_data();
        for (const std::string &key : keys.keys) {
            std::memcpy(into++, key.data(), sizeof(int64_t));
        }
        return pd.attr("Index")(values, "name"_a = name, "copy"_a = false);
    }
    bool plain_text = (pandas_type == "unicode" && numpy_type == "object") ||
                      (pandas_type == "object" && numpy_type == "str" && native::major_version(pd) >= 3);
    if (keys.kind != 's' || !plain_text) {
        return std::nullopt;
    }
    std::vector<int64_t> every(keys.keys.size());
    std::iota(every.begin(), every.end(), 0);
    return pd.attr("Index")(labels_of(keys, every), "name"_a = name);
}

// The first month's row labels, and their keys for matching the other months' rows: from the keys
// the core decodes where it can, else as pyarrow converts them.
void take_first_month_rows(BlockRead &read) {
    StoredMonth &first = read.months.front();
    if (first.layout) {
        std::optional<core::RowKeys> keys =
            native::without_gil([&] { return core::decode_keys(chunk_of(first, first.index_chunk)); });
        std::optional<py::object> rows = keys ? rows_of_keys(first, *keys) : std::nullopt;
        if (rows) {
            read.row_index = *rows;
            read.reference = std::move(*keys);
            return;
        }
    }
    try {
        read.row_index = first_month_rows(first);
    } catch (py::error_already_set &error) {
        raise_naming_month(first.path, error.value());
    }
    auto reference = py::type::of(read.row_index).is(global("pd").attr("Index")) ? row_keys(read.row_index) : std::nullopt;
    if (reference) {
        read.reference = std::move(*reference);
    } else {
        read.row_index = py::none();
    }
}

// The opened months in one block: the core decodes what it reads, pyarrow the rest. nullopt where
// the months do not make one block (whether it is tried at all is month_readers' decision).
std::optional<py::object> block_of(std::vector<StoredMonth> opened, BlockRead &read) {
    if (opened.empty() || !order_months(read, std::move(opened))) {
        return std::nullopt;
    }
    take_first_month_rows(read);
    if (read.row_index.is_none()) {
        return std::nullopt;
    }
    read.rows = static_cast<int64_t>(read.reference.keys.size());
    read.block = py::array_t<double>({static_cast<int64_t>(py::len(read.labels)), read.rows});
    decode_months_natively(read);
    for (StoredMonth &month : read.months) {
        if (!month.placed && !month.held_keys) {
            decode_remaining_month(read, month);
        }
    }
    bool any_held = std::any_of(read.months.begin(), read.months.end(), [](const StoredMonth &month) { return !month.placed; });
    if (any_held && !place_held_months(read, read.row_index)) {
        return std::nullopt;
    }
    return global("pd").attr("DataFrame")(read.block.attr("T"), "index"_a = read.row_index, "columns"_a = read.labels,
                                          "copy"_a = false);
}

// What pandas' reader makes of each month, from the bytes still open: the frames a declined block
// read hands back. A month already decoded into the block (and let go) is read again.
py::list frames_by_pandas(std::vector<StoredMonth> &opened) {
    py::list frames;
    for (StoredMonth &month : opened) {
        if (!month.bytes) {
            frames.append(native::read_stored_parquet(month.path));
            continue;
        }
        py::object &source = month_source(month);
        try {
            source.attr("seek")(0);
            frames.append(global("pd").attr("read_parquet")(source));
        } catch (py::error_already_set &error) {
            raise_naming_month(month.path, error.value());
        }
        close_month(month);
    }
    return frames;
}

}  // namespace

std::optional<py::object> read_stored_month_block(const py::object &path) {
    std::vector<StoredMonth> opened;
    opened.push_back(open_month(path));
    BlockRead read;
    return block_of(std::move(opened), read);
}

MonthBlock read_month_block(const py::object &self, const py::list &paths, const py::object &task_desc) {
    MonthBlock result;
    // Each task opens its month (the file, or one GET) and decodes its labels; the values go into the
    // block once every month's days are known.
    auto opened = std::make_shared<std::vector<StoredMonth>>(py::len(paths));
    auto slots = std::make_shared<std::map<std::string, size_t>>();
    py::list iterators;
    for (size_t at = 0; at < opened->size(); ++at) {
        py::object path = paths[at];
        (*slots)[py::str(path).cast<std::string>()] = at;
        py::list task;
        task.append(path);
        iterators.append(task);
    }
    py::cpp_function worker([opened, slots](py::object path) {
        (*opened)[slots->at(py::str(path).cast<std::string>())] = open_month(path);
    });
    py::list results = store_class().attr("run_concurrently")(iterators, worker, "max_workers"_a = self.attr("max_workers"),
                                                              "task_desc"_a = task_desc);
    if (py::len(results) == 0) {
        raise_error(PyExc_ValueError, "读取失败");
    }
    std::vector<StoredMonth> months = std::move(*opened);
    // A month that is not the block's leaves the others' bytes open for pandas' reader.
    bool block_kind = std::all_of(months.begin(), months.end(), [&](const StoredMonth &month) {
        return month.fits && !month.has_attrs && alike(months.front(), month);
    });
    if (!block_kind) {
        result.frames = frames_by_pandas(months);
        return result;
    }
    BlockRead read;
    if (std::optional<py::object> frame = block_of(std::move(months), read)) {
        result.block = std::make_pair(*frame, read.days);
        return result;
    }
    // Labels the block cannot key or join: pandas reads the months from the bytes still open.
    result.frames = frames_by_pandas(read.months);
    return result;
}

}  // namespace corvane::store
