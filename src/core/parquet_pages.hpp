// Single values out of Parquet column chunks, without decoding whole columns: the pages of one
// chunk are walked, decompressed and their levels and dictionary indices decoded, and only the
// values at the wanted row positions are materialised. Covers what the store writes (data pages v1,
// PLAIN or dictionary encoding, no repetition, uncompressed or Snappy); anything else is refused
// with nullopt and the caller reads through pyarrow instead.
//
// Plain C++ on byte buffers, free of Python: callers may release the GIL around these calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane::native {

// One column chunk: its bytes (from its first page to its end), codec and maximum definition level.
struct ColumnChunk {
    const uint8_t *data = nullptr;
    size_t size = 0;
    bool snappy = false;
    int max_definition_level = 0;
    int64_t rows = 0;
};

// Row positions, ascending, whose BYTE_ARRAY value equals one of `labels`.
std::optional<std::vector<int64_t>> rows_holding(const ColumnChunk &chunk, const std::vector<std::string> &labels);

// The DOUBLE values at `rows` (ascending); NaN where the value is null.
std::optional<std::vector<double>> doubles_at(const ColumnChunk &chunk, const std::vector<int64_t> &rows);

// The BYTE_ARRAY values at `rows` (ascending); nullopt also where one is null.
std::optional<std::vector<std::string>> texts_at(const ColumnChunk &chunk, const std::vector<int64_t> &rows);

}  // namespace corvane::native
