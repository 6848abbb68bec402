// Whole Snappy blocks decompressed into a buffer the caller owns (a page's values straight into their
// place in a block). The single-value reads walk Snappy streams lazily instead (parquet_pages.cpp).
//
// Plain C++ on byte buffers, free of Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace corvane::core {

// The uncompressed length that a Snappy block announces; nullopt for a malformed preamble.
std::optional<size_t> snappy_length(const uint8_t *in, size_t size);

// Decompresses the block `in` into exactly `out_size` bytes at `out`; false for a malformed block or
// one of another length. Never reads or writes outside the two buffers.
bool snappy_decompress(const uint8_t *in, size_t size, uint8_t *out, size_t out_size);

}  // namespace corvane::core
