#include "core/arrow_columns.hpp"

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>

namespace corvane::core {

namespace {

bool is_valid(const ArrowArray &array, int64_t row) {
    const auto *validity = static_cast<const uint8_t *>(array.n_buffers > 0 ? array.buffers[0] : nullptr);
    if (validity == nullptr || array.null_count == 0) {
        return true;
    }
    int64_t bit = array.offset + row;
    return (validity[bit >> 3] >> (bit & 7)) & 1;
}

// The text of row `row` of a utf8 ("u", int32 offsets) or large utf8 ("U") array.
template <typename Offset>
std::string_view text_at(const ArrowArray &array, int64_t row) {
    const auto *offsets = static_cast<const Offset *>(array.buffers[1]);
    const char *data = static_cast<const char *>(array.buffers[2]);
    int64_t at = array.offset + row;
    auto start = static_cast<size_t>(offsets[at]);
    auto stop = static_cast<size_t>(offsets[at + 1]);
    return stop == start ? std::string_view() : std::string_view(data + start, stop - start);
}

std::string_view key_at(const ArrowArray &array, const std::string &format, int64_t row) {
    if (format == "u") {
        return text_at<int32_t>(array, row);
    }
    if (format == "U") {
        return text_at<int64_t>(array, row);
    }
    const auto *values = static_cast<const int64_t *>(array.buffers[1]);
    return {reinterpret_cast<const char *>(values + array.offset + row), sizeof(int64_t)};
}

bool keyable(const std::string &format) { return format == "u" || format == "U" || format == "l"; }

// What one exported struct array owns: its children and their buffers.
struct ExportedArray {
    std::vector<ArrowArray> children;
    std::vector<ArrowArray *> child_pointers;
    std::vector<std::vector<uint8_t>> bitmaps;
    std::vector<std::vector<double>> copies;  // columns whose rows were not contiguous
    std::vector<std::array<const void *, 2>> child_buffers;
    const void *own_buffers[1] = {nullptr};
    std::function<void()> on_release;
};

struct ExportedSchema {
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema *> child_pointers;
    std::vector<std::string> names;
};

void release_child_array(ArrowArray *array) { array->release = nullptr; }
void release_child_schema(ArrowSchema *schema) { schema->release = nullptr; }

void release_exported_array(ArrowArray *array) {
    std::unique_ptr<ExportedArray> owned(static_cast<ExportedArray *>(array->private_data));
    for (ArrowArray &child : owned->children) {
        if (child.release != nullptr) {
            child.release(&child);
        }
    }
    if (owned->on_release) {
        owned->on_release();
    }
    array->release = nullptr;
}

void release_exported_schema(ArrowSchema *schema) {
    std::unique_ptr<ExportedSchema> owned(static_cast<ExportedSchema *>(schema->private_data));
    for (ArrowSchema &child : owned->children) {
        if (child.release != nullptr) {
            child.release(&child);
        }
    }
    schema->release = nullptr;
}

// Validity bitmap of one column (bit set: a value), and how many cells are NaN.
int64_t fill_validity(const double *column, int64_t rows, int64_t row_stride, std::vector<uint8_t> &bitmap) {
    bitmap.assign(static_cast<size_t>((rows + 7) / 8), 0);
    int64_t nulls = 0;
    for (int64_t row = 0; row < rows; ++row) {
        if (std::isnan(column[row * row_stride])) {
            ++nulls;
        } else {
            bitmap[static_cast<size_t>(row >> 3)] |= static_cast<uint8_t>(1u << (row & 7));
        }
    }
    return nulls;
}

}  // namespace

ImportedTable ImportedTable::from_stream(ArrowArrayStream *stream) {
    ArrowArrayStream owned = *stream;
    stream->release = nullptr;
    struct StreamGuard {
        ArrowArrayStream &stream;
        ~StreamGuard() {
            if (stream.release != nullptr) {
                stream.release(&stream);
            }
        }
    } guard{owned};
    auto failure = [&](const char *what) {
        const char *detail = owned.get_last_error ? owned.get_last_error(&owned) : nullptr;
        return std::runtime_error(std::string(what) + (detail ? std::string(": ") + detail : std::string()));
    };
    ImportedTable table;
    if (owned.get_schema(&owned, &table.schema_) != 0) {
        throw failure("reading the schema of an Arrow stream failed");
    }
    if (std::strcmp(table.schema_.format, "+s") != 0) {
        throw std::runtime_error("an Arrow stream of record batches was expected");
    }
    while (true) {
        ArrowArray batch{};
        if (owned.get_next(&owned, &batch) != 0) {
            throw failure("reading an Arrow stream failed");
        }
        if (batch.release == nullptr) {
            break;
        }
        if (batch.n_children != table.schema_.n_children) {
            batch.release(&batch);
            throw std::runtime_error("an Arrow batch does not match its stream's schema");
        }
        table.rows_ += batch.length;
        table.batches_.push_back(batch);
    }
    return table;
}

ImportedTable::ImportedTable(ImportedTable &&other) noexcept
    : schema_(other.schema_), batches_(std::move(other.batches_)), rows_(other.rows_) {
    other.schema_.release = nullptr;
    other.batches_.clear();
    other.rows_ = 0;
}

ImportedTable &ImportedTable::operator=(ImportedTable &&other) noexcept {
    if (this != &other) {
        release();
        schema_ = other.schema_;
        batches_ = std::move(other.batches_);
        rows_ = other.rows_;
        other.schema_.release = nullptr;
        other.batches_.clear();
        other.rows_ = 0;
    }
    return *this;
}

ImportedTable::~ImportedTable() { release(); }

void ImportedTable::release() {
    for (ArrowArray &batch : batches_) {
        if (batch.release != nullptr) {
            batch.release(&batch);
        }
    }
    batches_.clear();
    if (schema_.release != nullptr) {
        schema_.release(&schema_);
    }
}

std::optional<size_t> ImportedTable::column(const std::string &name) const {
    for (int64_t child = 0; child < schema_.n_children; ++child) {
        const char *field = schema_.children[child]->name;
        if (field != nullptr && name == field) {
            return static_cast<size_t>(child);
        }
    }
    return std::nullopt;
}

std::string ImportedTable::format(size_t column) const { return schema_.children[column]->format; }

std::optional<core::RowKeys> ImportedTable::keys(size_t column) const {
    std::string kind = format(column);
    if (!keyable(kind)) {
        return std::nullopt;
    }
    core::RowKeys keys{kind == "l" ? 'i' : 's', {}};
    keys.keys.reserve(static_cast<size_t>(rows_));
    for (const ArrowArray &batch : batches_) {
        const ArrowArray &array = *batch.children[column];
        if (array.null_count != 0) {
            return std::nullopt;
        }
        for (int64_t row = 0; row < array.length; ++row) {
            keys.keys.emplace_back(key_at(array, kind, row));
        }
    }
    return keys;
}

bool ImportedTable::same_keys(size_t column, const core::RowKeys &reference) const {
    std::string kind = format(column);
    if (!keyable(kind) || (kind == "l") != (reference.kind == 'i') ||
        rows_ != static_cast<int64_t>(reference.keys.size())) {
        return false;
    }
    size_t next = 0;
    for (const ArrowArray &batch : batches_) {
        const ArrowArray &array = *batch.children[column];
        if (array.null_count != 0) {
            return false;
        }
        for (int64_t row = 0; row < array.length; ++row) {
            if (key_at(array, kind, row) != reference.keys[next++]) {
                return false;
            }
        }
    }
    return true;
}

void ImportedTable::copy_float_column(size_t column, double *out, const core::Positions &positions) const {
    const double hole = std::numeric_limits<double>::quiet_NaN();
    int64_t first = 0;
    for (const ArrowArray &batch : batches_) {
        const ArrowArray &array = *batch.children[column];
        const double *values = static_cast<const double *>(array.buffers[1]) + array.offset;
        for (int64_t row = 0; row < array.length; ++row) {
            double value = is_valid(array, row) ? values[row] : hole;
            int64_t at = positions.empty() ? first + row : positions[static_cast<size_t>(first + row)];
            out[at] = value;
        }
        first += array.length;
    }
}

void export_float_columns(const double *data, int64_t rows, int64_t row_stride, int64_t column_stride,
                          const std::vector<std::string> &names, std::function<void()> on_release,
                          ArrowSchema *schema_out, ArrowArray *array_out) {
    size_t columns = names.size();
    auto schema = std::make_unique<ExportedSchema>();
    schema->names = names;
    schema->children.resize(columns);
    for (size_t column = 0; column < columns; ++column) {
        ArrowSchema &child = schema->children[column];
        child = ArrowSchema{};
        child.format = "g";
        child.name = schema->names[column].c_str();
        child.flags = ARROW_FLAG_NULLABLE;
        child.release = &release_child_schema;
        schema->child_pointers.push_back(&child);
    }

    auto array = std::make_unique<ExportedArray>();
    array->children.resize(columns);
    array->bitmaps.resize(columns);
    array->child_buffers.resize(columns);
    for (size_t column = 0; column < columns; ++column) {
        const double *values = data + static_cast<int64_t>(column) * column_stride;
        int64_t nulls = fill_validity(values, rows, row_stride, array->bitmaps[column]);
        if (row_stride != 1) {
            std::vector<double> copy(static_cast<size_t>(rows));
            for (int64_t row = 0; row < rows; ++row) {
                copy[static_cast<size_t>(row)] = values[row * row_stride];
            }
            array->copies.push_back(std::move(copy));
            values = array->copies.back().data();
        }
        array->child_buffers[column] = {nulls > 0 ? array->bitmaps[column].data() : nullptr, values};
        ArrowArray &child = array->children[column];
        child = ArrowArray{};
        child.length = rows;
        child.null_count = nulls;
        child.n_buffers = 2;
        child.buffers = array->child_buffers[column].data();
        child.release = &release_child_array;
        array->child_pointers.push_back(&child);
    }
    array->on_release = std::move(on_release);

    *schema_out = ArrowSchema{};
    schema_out->format = "+s";
    schema_out->name = "";
    schema_out->n_children = static_cast<int64_t>(columns);
    schema_out->children = schema->child_pointers.data();
    schema_out->release = &release_exported_schema;
    schema_out->private_data = schema.release();

    *array_out = ArrowArray{};
    array_out->length = rows;
    array_out->n_buffers = 1;
    array_out->buffers = array->own_buffers;
    array_out->n_children = static_cast<int64_t>(columns);
    array_out->children = array->child_pointers.data();
    array_out->release = &release_exported_array;
    array_out->private_data = array.release();
}

}  // namespace corvane::core
