// Month files written from a frame's float64 cells: encoded by the core writer straight from the
// frame's block where pandas would lay the file out as that writer does, else through pyarrow with the
// values shared through Arrow's C data interface; other frames as pandas writes them.
#include "framevault/month_blocks.hpp"

#include "core/arrow_c_abi.h"
#include "core/arrow_columns.hpp"
#include "core/parquet_writer.hpp"
#include "framevault/numeric_frames.hpp"
#include "bindings/storage.hpp"

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvane::store {

namespace {

using namespace pybind11::literals;

py::object arrow_module() { return py::module_::import("pyarrow"); }

}  // namespace

namespace {

// Whether the frame can be encoded from its buffers: float64 cells, text day labels and labelled rows.
std::optional<FloatCells> encodable_cells(const py::object &frame) {
    if (!native_core_enabled() || !py::type::of(frame.attr("index")).is(global("pd").attr("Index"))) {
        return std::nullopt;
    }
    for (py::handle label : frame.attr("columns")) {
        if (!PyUnicode_CheckExact(label.ptr())) {
            return std::nullopt;
        }
    }
    return float_cells(frame);
}

void release_exported_schema(void *pointer) {
    auto *schema = static_cast<ArrowSchema *>(pointer);
    if (schema->release != nullptr) {
        schema->release(schema);
    }
    delete schema;
}

void release_exported_array(void *pointer) {
    auto *array = static_cast<ArrowArray *>(pointer);
    if (array->release != nullptr) {
        array->release(array);
    }
    delete array;
}

// Appends a label axis's name to `key`; false for names other than None and text.
bool append_name(const py::object &name, std::string &key) {
    if (name.is_none()) {
        key += '\1';
        return true;
    }
    std::optional<std::string_view> text =
        PyUnicode_CheckExact(name.ptr()) ? native::utf8_view(name) : std::nullopt;
    if (!text) {
        return false;
    }
    key += '\2';
    key.append(*text);
    return true;
}

// What pyarrow's description of a month frame's cell depends on besides its values: the dtypes and
// names of its labels. Empty where the values count too: object row labels (their type is inferred
// from them), names other than None and text, and frame attributes.
std::string description_key(const py::object &frame) {
    py::object index = frame.attr("index");
    py::object columns = frame.attr("columns");
    std::string index_dtype = py::str(index.attr("dtype")).cast<std::string>();
    if (index_dtype == "object" || py::len(frame.attr("attrs")) > 0) {
        return {};
    }
    std::string key = index_dtype + '\0' + py::str(columns.attr("dtype")).cast<std::string>() + '\0';
    if (!append_name(index.attr("name"), key)) {
        return {};
    }
    key += '\0';
    return append_name(columns.attr("name"), key) ? key : std::string();
}

// pyarrow's description of the frame's first row and first day; months with the same kinds of labels
// share one (their days differ only by their labels), so it is made once for them.
py::object described_cell(const py::object &frame) {
    // Used with the GIL held only; never destroyed, as the interpreter may be gone by then.
    static auto *descriptions = new std::map<std::string, py::object>();
    std::string key = description_key(frame);
    if (!key.empty()) {
        auto found = descriptions->find(key);
        if (found != descriptions->end()) {
            return found->second;
        }
    }
    py::object head = frame.attr("iloc")("axis"_a = 1)[py::slice(0, 1, 1)].attr("iloc")[py::slice(0, 1, 1)];
    py::object described = arrow_module().attr("Schema").attr("from_pandas")(head, "preserve_index"_a = py::none());
    if (!key.empty()) {
        if (descriptions->size() >= 64) {
            descriptions->clear();
        }
        (*descriptions)[key] = described;
    }
    return described;
}

// The "pandas" metadata pandas writes for a frame of `labels` (text days) that `described` describes
// one cell of, as UTF-8 JSON: its day entries differ only by their labels.
py::bytes pandas_metadata(const py::object &described, const py::list &labels) {
    // A fresh dict from the schema's JSON each time: the shared description stays as it is.
    py::dict metadata = described.attr("pandas_metadata");
    py::list entries = metadata["columns"];
    py::list columns;
    for (py::handle label : labels) {
        py::dict entry = entries[0].attr("copy")();
        entry["name"] = label;
        entry["field_name"] = label;
        columns.append(entry);
    }
    columns.append(entries[1]);
    metadata["columns"] = columns;
    return py::module_::import("json").attr("dumps")(metadata).attr("encode")("utf8");
}

// The schema pandas would write for the frame (day fields, then the index field, and the metadata
// that restores labels and index), built from the description of one cell: float64 days differ in
// their description only by their labels, and describing one day rather than all spares pyarrow a
// pass over every column of every month written. nullopt where pandas would lay the frame out otherwise.
py::object schema_of_cells(const py::object &described, const py::list &labels, const py::bytes &pandas_json) {
    py::object day_field = described.attr("field")(0);
    py::list fields;
    for (py::handle label : labels) {
        fields.append(day_field.attr("with_name")(label));
    }
    fields.append(described.attr("field")(1));
    py::dict encoded;
    encoded[py::bytes("pandas")] = pandas_json;
    return arrow_module().attr("schema")(fields, "metadata"_a = encoded);
}

std::optional<py::object> month_schema(const py::object &frame, const py::list &labels) {
    py::object described = described_cell(frame);
    if (py::len(described.attr("names")) != 2) {
        return std::nullopt;
    }
    return schema_of_cells(described, labels, pandas_metadata(described, labels));
}

// The frame as a pyarrow table of pandas' layout, the values shared with the frame.
py::object month_table(const py::object &frame, const FloatCells &cells) {
    py::object pa = arrow_module();
    py::list labels = frame.attr("columns").attr("tolist")();
    auto days = static_cast<size_t>(cells.view.days);
    std::optional<py::object> found = py::len(labels) == days ? month_schema(frame, labels) : std::nullopt;
    if (!found) {
        return py::none();
    }
    py::object schema = *found;
    std::vector<std::string> day_names;
    for (size_t day = 0; day < days; ++day) {
        day_names.push_back(labels[day].cast<std::string>());
    }
    py::object index_type = schema.attr("field")(py::int_(days)).attr("type");
    py::object index_array = pa.attr("array")(frame.attr("index"), "type"_a = index_type, "from_pandas"_a = true);

    // The values stay the frame's: the exported array keeps their owner until pyarrow lets go of it.
    auto *owner = new py::object(cells.owner);
    auto *schema_out = new ArrowSchema{};
    auto *array_out = new ArrowArray{};
    py::capsule schema_capsule(schema_out, "arrow_schema", &release_exported_schema);
    py::capsule array_capsule(array_out, "arrow_array", &release_exported_array);
    native::without_gil([&] {
        core::export_float_columns(cells.view.data, cells.view.rows, cells.view.row_stride, cells.view.day_stride,
                                   day_names,
                                   [owner] {
                                       py::gil_scoped_acquire gil;
                                       delete owner;
                                   },
                                   schema_out, array_out);
    });
    py::object batch = pa.attr("RecordBatch").attr("_import_from_c_capsule")(schema_capsule, array_capsule);
    py::list arrays = batch.attr("columns");
    arrays.append(index_array);
    return pa.attr("Table").attr("from_arrays")(arrays, "schema"_a = schema);
}

// A month the core writer encodes: its row keys and what the file holds, the cells the frame's.
struct EncodableMonth {
    core::RowKeys rows;
    core::MonthFileContent content;
};

// The frame as the core writer takes it, laid out as pandas would write it; nullopt where pandas
// would lay it out otherwise (labels of other types, row labels with gaps, no rows).
std::optional<EncodableMonth> encodable_month(const py::object &frame, const FloatCells &cells) {
    py::list labels = frame.attr("columns").attr("tolist")();
    if (py::len(labels) != static_cast<size_t>(cells.view.days)) {
        return std::nullopt;
    }
    std::optional<core::RowKeys> keys = row_keys(frame.attr("index"));
    std::optional<MonthFileLayout> layout = keys ? month_file_layout(frame, keys->kind) : std::nullopt;
    if (!layout) {
        return std::nullopt;
    }
    EncodableMonth month{std::move(*keys), {}};
    core::MonthFileContent &content = month.content;
    content.cells = cells.view;
    for (py::handle label : labels) {
        content.day_names.push_back(label.cast<std::string>());
    }
    content.row_field = layout->row_field;
    content.metadata = month_file_metadata(*layout, labels, pandas_metadata(layout->described, labels));
    return month;
}

}  // namespace

std::optional<MonthFileLayout> month_file_layout(const py::object &frame, char key_kind) {
    py::object described = described_cell(frame);
    if (py::len(described.attr("names")) != 2) {
        return std::nullopt;
    }
    py::object row_field = described.attr("field")(1);
    std::string row_type = py::str(row_field.attr("type")).cast<std::string>();
    bool text = row_type == "string" || row_type == "large_string";
    if (!((text && key_kind == 's') || (row_type == "int64" && key_kind == 'i'))) {
        return std::nullopt;
    }
    return MonthFileLayout{described, py::str(row_field.attr("name")).cast<std::string>(), row_type};
}

std::vector<std::pair<std::string, std::string>> month_file_metadata(const MonthFileLayout &layout,
                                                                     const py::list &labels,
                                                                     const py::bytes &pandas_json) {
    std::vector<std::pair<std::string, std::string>> metadata;
    metadata.emplace_back("pandas", pandas_json.cast<std::string>());
    // Parquet's text type reads back as pyarrow's string; the Arrow schema keeps a large_string as
    // such, as pyarrow's own files do.
    if (layout.row_type == "large_string") {
        py::object serialized =
            schema_of_cells(layout.described, labels, pandas_json).attr("serialize")().attr("to_pybytes")();
        py::object encoded = py::module_::import("base64").attr("b64encode")(serialized);
        metadata.emplace_back("ARROW:schema", encoded.cast<std::string>());
    }
    return metadata;
}

void write_encoded_month(const native::Storage &storage, const py::object &path,
                         const core::MonthFileContent &content) {
    bool written = storage.write_through_local_file(path, [&](const py::str &temporary) {
        std::string target = temporary.cast<std::string>();
        std::optional<std::string> failure = native::without_gil([&]() -> std::optional<std::string> {
            try {
                core::write_month_parquet(target, content);
                return std::nullopt;
            } catch (const std::runtime_error &error) {
                return std::string(error.what());
            }
        });
        if (failure) {
            raise_error(PyExc_OSError, failure->c_str());
        }
    });
    if (!written) {
        // Object storage: the whole object in one PUT.
        std::string encoded = native::without_gil([&] {
            std::string out;
            core::encode_month_parquet(content, out);
            return out;
        });
        storage.write_bytes(path, py::bytes(encoded));
    }
}

void write_month_file(const py::object &frame, const py::object &path) {
    const native::Storage &storage = native::storage_for(path);
    auto cells = encodable_cells(frame);
    if (cells) {
        std::optional<EncodableMonth> month = encodable_month(frame, *cells);
        if (month) {
            // Set here: the keys moved with the month.
            month->content.rows = &month->rows;
            write_encoded_month(storage, path, month->content);
            return;
        }
    }
    py::object table = cells ? month_table(frame, *cells) : py::none();
    if (table.is_none()) {
        storage.write_parquet(frame, path);
        return;
    }
    // Doubles of many series rarely repeat within a column: a dictionary costs time and space. The
    // labels of the rows keep it.
    py::list dictionary_columns;
    py::list names = table.attr("column_names");
    dictionary_columns.append(names[py::len(names) - 1]);
    py::object write_table = py::module_::import("pyarrow.parquet").attr("write_table");
    bool written = storage.write_through_local_file(path, [&](const py::str &temporary) {
        write_table(table, temporary, "compression"_a = "snappy", "use_dictionary"_a = dictionary_columns);
    });
    if (!written) {
        storage.write_parquet(frame, path);
    }
}

}  // namespace corvane::store
