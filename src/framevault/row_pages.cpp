#include "framevault/row_pages.hpp"

#include "core/iso_days.hpp"
#include "core/parquet_footer.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <map>
#include <memory>

namespace corvane::store {

std::optional<std::vector<core::RowMatch>> FoundRows::find(const core::ColumnChunk &chunk,
                                                             const std::vector<std::string> &labels) {
    std::string key(reinterpret_cast<const char *>(chunk.bytes->span(0, chunk.bytes->size())), chunk.bytes->size());
    key += chunk.snappy ? 's' : 'u';
    key += std::to_string(chunk.max_definition_level) + ":" + std::to_string(chunk.rows);
    {
        std::lock_guard<std::mutex> hold(mutex_);
        auto known = found_.find(key);
        if (known != found_.end()) {
            return known->second;
        }
    }
    auto rows = core::rows_holding(chunk, labels);
    if (rows) {
        std::lock_guard<std::mutex> hold(mutex_);
        found_.emplace(std::move(key), *rows);
    }
    return rows;
}

namespace {

// The name pandas gives back for a stored index column: None for the __index_level_N__ it writes
// for an unnamed index.
py::object index_name(const std::string &column) {
    const std::string prefix = "__index_level_";
    bool unnamed = column.size() > prefix.size() + 2 && column.compare(0, prefix.size(), prefix) == 0 &&
                   column.compare(column.size() - 2, 2, "__") == 0 &&
                   std::all_of(column.begin() + static_cast<std::ptrdiff_t>(prefix.size()), column.end() - 2,
                               [](char c) { return c >= '0' && c <= '9'; });
    return unnamed ? py::object(py::none()) : py::object(py::str(column));
}

// Where a month's wanted values lie: its row-label column and its days in the range.
struct MonthPlan {
    size_t index_column = 0;
    std::vector<size_t> day_columns;
    std::vector<int64_t> micros;
};

// The pandas metadata's stored index column and the pandas type of each column.
struct PandasColumns {
    std::string index_column;
    std::map<std::string, std::string> types;
};

std::optional<PandasColumns> pandas_columns(const std::string &metadata) {
    py::object parsed;
    try {
        parsed = py::module_::import("json").attr("loads")(py::bytes(metadata));
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_ValueError)) {
            throw;
        }
        return std::nullopt;  // not text or not JSON: pyarrow's read reports the damage
    }
    if (!py::isinstance<py::dict>(parsed)) {
        return std::nullopt;
    }
    py::dict fields = parsed;
    if (!fields.contains("index_columns") || !fields.contains("columns")) {
        return std::nullopt;
    }
    py::object index_columns = fields["index_columns"];
    if (!py::isinstance<py::list>(index_columns) || py::len(index_columns) != 1 ||
        !py::isinstance<py::str>(index_columns[py::int_(0)]) || !py::isinstance<py::list>(fields["columns"])) {
        return std::nullopt;
    }
    PandasColumns columns;
    columns.index_column = index_columns[py::int_(0)].cast<std::string>();
    for (py::handle column : fields["columns"]) {
        if (!py::isinstance<py::dict>(column)) {
            return std::nullopt;
        }
        py::dict entry = py::reinterpret_borrow<py::dict>(column);
        if (entry.contains("field_name") && entry.contains("pandas_type") && py::isinstance<py::str>(entry["field_name"]) &&
            py::isinstance<py::str>(entry["pandas_type"])) {
            columns.types[entry["field_name"].cast<std::string>()] = entry["pandas_type"].cast<std::string>();
        }
    }
    return columns;
}

// The month's row-label column and its float64 days from first to last; nullopt for files of any
// other shape (no stored text index, days not YYYY-MM-DD, other value types), which pyarrow reads.
std::optional<MonthPlan> plan_month(const core::FileLayout &layout, int64_t first_us, int64_t last_us) {
    if (!layout.pandas_metadata) {
        return std::nullopt;
    }
    std::optional<PandasColumns> pandas = pandas_columns(*layout.pandas_metadata);
    if (!pandas) {
        return std::nullopt;
    }
    auto type_of = [&](const std::string &name) {
        auto found = pandas->types.find(name);
        return found == pandas->types.end() ? std::string() : found->second;
    };
    MonthPlan plan;
    bool has_index = false;
    for (size_t at = 0; at < layout.columns.size(); ++at) {
        const core::ColumnLayout &column = layout.columns[at];
        if (column.name == pandas->index_column) {
            std::string type = type_of(column.name);  // pandas 3 writes "object" for its str dtype
            if (has_index || column.type != core::PhysicalType::kByteArray || !column.text ||
                (type != "unicode" && type != "object" && type != "string")) {
                return std::nullopt;
            }
            plan.index_column = at;
            has_index = true;
            continue;
        }
        std::optional<int64_t> day = core::iso_day_micros(column.name);
        if (!day) {
            return std::nullopt;
        }
        if (*day >= first_us && *day <= last_us) {
            if (column.type != core::PhysicalType::kDouble || type_of(column.name) != "float64") {
                return std::nullopt;
            }
            plan.day_columns.push_back(at);
            plan.micros.push_back(*day);
        }
    }
    return has_index ? std::optional(plan) : std::nullopt;
}

using ChunkBytesList = std::vector<std::unique_ptr<core::ChunkBytes>>;

// The chunk of `column`, its bytes owned by `owners`.
core::ColumnChunk chunk_of(ChunkBytesList &owners, const core::FileBytes &file, const core::FileLayout &layout,
                             size_t column) {
    const core::ColumnLayout &at = layout.columns[column];
    owners.push_back(std::make_unique<core::ChunkBytes>(file, at.start, static_cast<size_t>(at.size)));
    core::ColumnChunk chunk;
    chunk.bytes = owners.back().get();
    chunk.snappy = at.snappy;
    chunk.max_definition_level = at.max_definition_level;
    chunk.rows = layout.rows;
    return chunk;
}

// The wanted rows found in the month and their values, rows x days, row-major.
struct PagedRows {
    std::vector<core::RowMatch> rows;
    std::vector<double> block;
};

std::optional<PagedRows> read_paged_rows(const core::FileBytes &file, const core::FileLayout &layout,
                                         const MonthPlan &plan, const std::vector<std::string> &labels,
                                         FoundRows &found) {
    ChunkBytesList owners;
    std::optional<std::vector<core::RowMatch>> rows = found.find(chunk_of(owners, file, layout, plan.index_column), labels);
    if (!rows) {
        return std::nullopt;
    }
    PagedRows paged;
    paged.rows = std::move(*rows);
    if (paged.rows.empty() || plan.day_columns.empty()) {
        return paged;
    }
    std::vector<int64_t> positions;
    for (const core::RowMatch &match : paged.rows) {
        positions.push_back(match.row);
    }
    size_t days = plan.day_columns.size();
    paged.block.assign(paged.rows.size() * days, 0.0);
    for (size_t day = 0; day < days; ++day) {
        auto values = core::doubles_at(chunk_of(owners, file, layout, plan.day_columns[day]), positions);
        if (!values) {
            return std::nullopt;
        }
        for (size_t row = 0; row < values->size(); ++row) {
            paged.block[row * days + day] = (*values)[row];
        }
    }
    return paged;
}

// A month's rows from the page reader, as the join takes them: ("paged", row labels, day labels,
// day ticks in microseconds, values as rows x days, index name).
py::object paged_result(const PagedRows &paged, const core::FileLayout &layout, const MonthPlan &plan,
                        const py::list &wanted) {
    py::array_t<double> values({static_cast<py::ssize_t>(paged.rows.size()), static_cast<py::ssize_t>(plan.day_columns.size())});
    std::copy(paged.block.begin(), paged.block.end(), values.mutable_data());
    py::list index;
    for (const core::RowMatch &match : paged.rows) {
        index.append(wanted[match.label]);
    }
    py::list day_labels;
    for (size_t column : plan.day_columns) {
        day_labels.append(py::str(layout.columns[column].name));
    }
    py::array_t<int64_t> ticks(static_cast<py::ssize_t>(plan.micros.size()));
    std::copy(plan.micros.begin(), plan.micros.end(), ticks.mutable_data());
    return py::make_tuple("paged", index, day_labels, ticks, values, index_name(layout.columns[plan.index_column].name));
}

}  // namespace

std::optional<py::object> paged_month(const py::object &path, const py::list &wanted,
                                      const std::vector<std::string> &labels, int64_t first_us, int64_t last_us,
                                      FoundRows &found) {
    std::optional<native::StoredBytes> stored = native::open_stored_bytes(path);
    if (!stored) {
        return std::nullopt;
    }
    const core::FileBytes &file = stored->bytes;
    std::optional<core::FileLayout> layout;
    native::without_gil([&] {
        layout = core::read_layout(file);
    });
    std::optional<MonthPlan> plan = layout ? plan_month(*layout, first_us, last_us) : std::nullopt;
    if (!plan) {
        return std::nullopt;
    }
    // A month without a day of the range, or without a wanted row, still gives the other axis its
    // labels, as a full read of the range would.
    std::optional<PagedRows> paged;
    native::without_gil([&] {
        paged = read_paged_rows(file, *layout, *plan, labels, found);
    });
    if (!paged) {
        return std::nullopt;
    }
    return paged_result(*paged, *layout, *plan, wanted);
}

}  // namespace corvane::store
