// Single values out of Parquet column chunks, without decoding whole columns. The row column's pages
// are decoded and searched for the wanted labels; of a day column only the pages holding wanted rows
// are touched, and of those only the bytes that hold their levels and values: a Snappy stream is
// walked tag by tag and literal bytes are read where they lie, so one value of a 5,000-row page costs
// a few kilobytes of I/O instead of the page. Covers what the store writes (data pages v1, PLAIN or
// dictionary encoding, no repetition, uncompressed or Snappy); anything else is refused with nullopt
// and the caller reads through pyarrow instead.
//
// Plain C++ on byte buffers and files, free of Python: callers may release the GIL around these calls.
#pragma once

#include "core/file_bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvane::core {

// The bytes of one column chunk (from its first page to its end), fetched from the file in blocks
// as they are first asked for. Not shared between threads.
class ChunkBytes {
public:
    ChunkBytes(FileBytes file, int64_t start, size_t size);
    size_t size() const { return size_; }
    // The chunk's bytes [offset, offset + length), valid while this object lives; throws
    // parquet::Unsupported when the range is outside the chunk or cannot be read.
    const uint8_t *span(size_t offset, size_t length);

private:
    FileBytes file_;
    int64_t start_;
    size_t size_;
    const uint8_t *direct_;  // the chunk itself where the file is in memory
    std::unique_ptr<uint8_t[]> buffer_;
    std::vector<bool> loaded_;  // per block of buffer_
};

// One column chunk: its bytes, codec, maximum definition level and row count.
struct ColumnChunk {
    ChunkBytes *bytes = nullptr;
    bool snappy = false;
    int max_definition_level = 0;
    int64_t rows = 0;
};

// A row whose BYTE_ARRAY value equals one of the labels asked for, and which label.
struct RowMatch {
    int64_t row;
    size_t label;
};

// The rows, ascending, whose value equals one of `labels`.
std::optional<std::vector<RowMatch>> rows_holding(const ColumnChunk &chunk, const std::vector<std::string> &labels);

// The DOUBLE values at `rows` (ascending); NaN where the value is null.
std::optional<std::vector<double>> doubles_at(const ColumnChunk &chunk, const std::vector<int64_t> &rows);

}  // namespace corvane::core
