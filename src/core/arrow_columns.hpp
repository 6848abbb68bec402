// Columns exchanged with Arrow through its C data interface: month files decoded into a float64
// block, and a block's columns handed out for encoding. Plain C++: no Python here, so every call can
// run with the GIL released.
#pragma once

#include "core/arrow_c_abi.h"
#include "core/month_grid.hpp"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace corvane::core {

// The record batches of one Arrow stream, owned until destruction.
class ImportedTable {
public:
    // Takes over `stream` (left released) and reads its schema and every batch. std::runtime_error
    // when the producer reports an error or hands batches that are not struct arrays.
    static ImportedTable from_stream(ArrowArrayStream *stream);

    ImportedTable() = default;
    ImportedTable(ImportedTable &&other) noexcept;
    ImportedTable &operator=(ImportedTable &&other) noexcept;
    ImportedTable(const ImportedTable &) = delete;
    ImportedTable &operator=(const ImportedTable &) = delete;
    ~ImportedTable();

    int64_t rows() const { return rows_; }
    std::optional<size_t> column(const std::string &name) const;
    // The column's Arrow format string ("g" for float64, "u" for text, "l" for int64, ...).
    std::string format(size_t column) const;

    // Row labels of a text or int64 column as keys; nullopt for other types or missing labels.
    std::optional<core::RowKeys> keys(size_t column) const;
    // Whether the column holds exactly `reference`'s labels in its order, compared on the buffers.
    bool same_keys(size_t column, const core::RowKeys &reference) const;
    // Copies a float64 column into `out`, row i to out[positions[i]] (empty positions: in order);
    // nulls become NaN.
    void copy_float_column(size_t column, double *out, const core::Positions &positions) const;

private:
    void release();

    ArrowSchema schema_{};
    std::vector<ArrowArray> batches_;
    int64_t rows_ = 0;
};

// The block's columns (column j at data + j * column_stride, row i at + i * row_stride) exported as
// one Arrow struct array of float64 children named `names`, NaN as null. The values are shared, not
// copied, when rows are contiguous. `on_release` runs when the consumer releases the array, on
// whatever thread it does so: it keeps the values alive until then.
void export_float_columns(const double *data, int64_t rows, int64_t row_stride, int64_t column_stride,
                          const std::vector<std::string> &names, std::function<void()> on_release,
                          ArrowSchema *schema_out, ArrowArray *array_out);

}  // namespace corvane::core
