// The common server value, a month of float64 days beside one column of text row labels, turned
// into its DataFrame straight from the validated Arrow table: the days copied into one block with the
// GIL released, the labels made with the dtypes pyarrow's to_pandas gives them. to_pandas spends
// most of a month's conversion rebuilding the labels from pandas' metadata, the same way each time.
#include "cvclient/client.hpp"
#include "core/arrow_columns.hpp"

#include <pybind11/numpy.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace corvane::client {

namespace {

using namespace pybind11::literals;

// What to_pandas makes of one kind of labels: the dtypes and names of the row and column labels.
struct LabelKinds {
    py::object index_dtype;
    py::object index_name;
    py::object columns_dtype;
    py::object columns_name;
};

// Label kinds by what decides them (index type and metadata, column labels' metadata, pandas' text
// inference); None where to_pandas gives labels of another class.
py::dict &label_kinds_seen() {
    static auto *seen = new py::dict();
    return *seen;
}

// The pandas metadata's entries of a month value: every column but the last a float64 day named by
// its field, the last the row labels; nullopt for anything else.
std::optional<py::dict> month_metadata(const py::object &table, const core::ImportedTable &imported) {
    py::object metadata = table.attr("schema").attr("metadata");
    if (metadata.is_none() || !metadata.contains(py::bytes("pandas"))) {
        return std::nullopt;
    }
    py::object pandas = py::module_::import("json").attr("loads")(metadata[py::bytes("pandas")]);
    if (!py::isinstance<py::dict>(pandas)) {
        return std::nullopt;
    }
    py::dict entries = pandas;
    py::list names = table.attr("schema").attr("names");
    size_t fields = py::len(names);
    py::object index_columns = entries.attr("get")("index_columns");
    py::object column_indexes = entries.attr("get")("column_indexes");
    py::object columns = entries.attr("get")("columns");
    py::object attributes = entries.attr("get")("attributes", py::dict());
    if (fields < 2 || !py::isinstance<py::list>(index_columns) || py::len(index_columns) != 1 ||
        !py::object(index_columns[py::int_(0)]).equal(names[fields - 1]) || !py::isinstance<py::list>(column_indexes) ||
        py::len(column_indexes) != 1 || !py::isinstance<py::list>(columns) || py::len(columns) != fields ||
        !py::isinstance<py::dict>(attributes) || py::len(attributes) != 0) {
        return std::nullopt;
    }
    std::string index_format = imported.format(fields - 1);
    if (index_format != "u" && index_format != "U") {
        return std::nullopt;
    }
    py::list column_entries = columns;
    py::set unique;
    for (size_t position = 0; position + 1 < fields; ++position) {
        py::object entry = column_entries[position];
        py::handle name = names[position];
        if (imported.format(position) != "g" || !py::isinstance<py::dict>(entry)) {
            return std::nullopt;
        }
        py::object label = entry.attr("get")("name");
        if (!py::isinstance<py::str>(label) || !label.equal(name) || !entry.attr("get")("field_name").equal(name) ||
            !entry.attr("get")("pandas_type").equal(py::str("float64"))) {
            return std::nullopt;
        }
        unique.add(name);
    }
    if (py::len(unique) + 1 != fields) {
        return std::nullopt;
    }
    return entries;
}

// The label kinds to_pandas gives a month value like `table`, found once per kind by converting an
// empty table of its first day and its row labels.
std::optional<LabelKinds> label_kinds(const py::object &table, const py::dict &metadata) {
    py::object json = py::module_::import("json");
    py::object pd = global("pd");
    py::list columns = metadata["columns"];
    size_t last = py::len(columns) - 1;
    py::object index_entry = columns[last];
    py::tuple key = py::make_tuple(py::str(table.attr("schema").attr("field")(last).attr("type")),
                                   json.attr("dumps")(index_entry, "sort_keys"_a = true),
                                   json.attr("dumps")(metadata["column_indexes"], "sort_keys"_a = true),
                                   py::str(pd.attr("Index")(py::make_tuple("")).attr("dtype")));
    py::dict &seen = label_kinds_seen();
    if (!seen.contains(key)) {
        py::dict sample_metadata = metadata.attr("copy")();
        sample_metadata["columns"] = py::make_tuple(columns[0], index_entry);
        py::dict schema_metadata;
        schema_metadata[py::bytes("pandas")] = json.attr("dumps")(sample_metadata);
        py::list picked;
        picked.append(0);
        picked.append(last);
        py::object sample = table.attr("select")(picked)
                                .attr("slice")(0, 0)
                                .attr("replace_schema_metadata")(schema_metadata)
                                .attr("to_pandas")();
        py::object index = sample.attr("index");
        py::object labels = sample.attr("columns");
        bool plain = py::type::of(index).is(pd.attr("Index")) && py::type::of(labels).is(pd.attr("Index"));
        seen[key] = plain ? py::object(py::make_tuple(index.attr("dtype"), index.attr("name"), labels.attr("dtype"),
                                                      labels.attr("name")))
                          : py::object(py::none());
    }
    py::object kinds = seen[key];
    if (kinds.is_none()) {
        return std::nullopt;
    }
    return LabelKinds{kinds[py::int_(0)], kinds[py::int_(1)], kinds[py::int_(2)], kinds[py::int_(3)]};
}

// The row labels from their Arrow column, as to_pandas converts text: through an extension dtype's
// own conversion, or as Python strings.
py::object row_labels(const py::object &column, const LabelKinds &kinds) {
    py::object values = py::hasattr(kinds.index_dtype, "__from_arrow__")
                            ? kinds.index_dtype.attr("__from_arrow__")(column)
                            : column.attr("to_numpy")("zero_copy_only"_a = false);
    return global("pd").attr("Index")(values, "dtype"_a = kinds.index_dtype, "name"_a = kinds.index_name,
                                      "copy"_a = false);
}

core::ImportedTable import_value_table(const py::object &table) {
    py::capsule capsule = table.attr("__arrow_c_stream__")();
    auto *stream = capsule.get_pointer<ArrowArrayStream>();
    return native::without_gil([&] { return core::ImportedTable::from_stream(stream); });
}

}  // namespace

std::optional<py::object> month_frame_from_arrow(const py::object &table) {
    // CORVANE_NATIVE=0 keeps every frame on to_pandas, as it keeps the store on its pandas path.
    const char *setting = std::getenv("CORVANE_NATIVE");
    if (setting != nullptr && std::strcmp(setting, "0") == 0) {
        return std::nullopt;
    }
    core::ImportedTable imported = import_value_table(table);
    std::optional<py::dict> metadata = month_metadata(table, imported);
    if (!metadata) {
        return std::nullopt;
    }
    std::optional<LabelKinds> kinds = label_kinds(table, *metadata);
    if (!kinds) {
        return std::nullopt;
    }
    py::list names = table.attr("schema").attr("names");
    size_t days = py::len(names) - 1;
    int64_t rows = imported.rows();
    py::array_t<double> block({static_cast<py::ssize_t>(days), static_cast<py::ssize_t>(rows)});
    double *data = block.mutable_data();
    native::without_gil([&] {
        for (size_t day = 0; day < days; ++day) {
            imported.copy_float_column(day, data + static_cast<int64_t>(day) * rows, {});
        }
    });
    names.attr("pop")();
    py::object pd = global("pd");
    py::object index = row_labels(table.attr("column")(days), *kinds);
    py::object labels = pd.attr("Index")(names, "dtype"_a = kinds->columns_dtype, "name"_a = kinds->columns_name);
    return pd.attr("DataFrame")(block.attr("T"), "index"_a = index, "columns"_a = labels, "copy"_a = false);
}

}  // namespace corvane::client
