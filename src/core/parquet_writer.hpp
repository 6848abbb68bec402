// Month files written as Parquet straight from a frame's float64 cells, in one pass: no Arrow table,
// no copy of the block. One row group; each day an OPTIONAL DOUBLE column (NaN stored as null, as
// pandas writes it); the row labels one OPTIONAL column, UTF-8 text or INT64. Pages are data pages v1,
// PLAIN values, RLE definition levels, uncompressed: float64 series barely compress, and the readers
// then copy values where they lie.
//
// Plain C++, free of Python: callers release the GIL around these calls.
#pragma once

#include "core/month_grid.hpp"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace corvane::core {

struct MonthFileContent {
    CellView cells;                      // rows x days
    std::vector<std::string> day_names;  // one per day, the column names
    const RowKeys *rows = nullptr;       // one key per row: 's' UTF-8 text, 'i' 8 native bytes of an int64
    std::string row_field;               // the row labels' column name
    std::vector<std::pair<std::string, std::string>> metadata;  // the file's key-value metadata
};

// Values per data page: about 1 MiB of doubles, as other writers cut them.
inline constexpr int64_t rows_per_page = 1 << 17;

// The whole file's bytes appended to `out`, pages of at most `page_rows` rows.
void encode_month_parquet(const MonthFileContent &content, std::string &out, int64_t page_rows = rows_per_page);

// The file written at `path` (created or truncated) in a few large writes; std::runtime_error naming
// the path and the system's reason where it cannot be written.
void write_month_parquet(const std::string &path, const MonthFileContent &content,
                         int64_t page_rows = rows_per_page);

}  // namespace corvane::core
