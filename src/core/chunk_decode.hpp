// Whole column chunks decoded in one pass: a DOUBLE chunk straight into its place in a float64 block
// (a page without nulls is one read or one decompression into the destination), and a row-label chunk
// (text or int64) into the keys the block join compares. Covers flat chunks of data pages v1 and v2,
// PLAIN or dictionary encoding, uncompressed or Snappy; anything else is refused (false or nullopt),
// and the caller reads the file through pyarrow instead.
//
// Plain C++ on file bytes, free of Python: callers release the GIL around these calls.
#pragma once

#include "core/file_bytes.hpp"
#include "core/month_grid.hpp"
#include "core/parquet_footer.hpp"

#include <cstdint>
#include <optional>

namespace corvane::core {

// One column chunk of a file: where it lies and how it is stored.
struct ChunkSource {
    const FileBytes *file = nullptr;
    ColumnLayout column;
    int64_t rows = 0;
};

// Decodes the DOUBLE chunk: its row i goes to out[i], or to out[positions[i]] where `positions` is not
// empty; nulls become NaN. False, with `out` partly written, for a chunk not covered here or damaged.
bool decode_doubles(const ChunkSource &chunk, double *out, const Positions &positions);

// The chunk's values as row keys: UTF-8 text or int64 (plain_integer columns); nullopt for other
// columns, for any null and for a chunk not covered here.
std::optional<RowKeys> decode_keys(const ChunkSource &chunk);

}  // namespace corvane::core
