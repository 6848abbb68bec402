// The footer of a Parquet file read without pyarrow: where each column chunk lies, its types and
// codec, and the pandas metadata. The row reads open a month file per month and need only a few of
// its pages; parsing the footer here costs a fraction of building pyarrow's metadata objects.
//
// Covers flat files of one row group (what the store writes); anything else is refused with nullopt.
// Plain C++ on byte buffers, free of Python.
#pragma once

#include "core/file_bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane::core {

enum class PhysicalType { kOther, kInt64, kDouble, kByteArray };

struct ColumnLayout {
    std::string name;
    PhysicalType type = PhysicalType::kOther;
    bool text = false;  // annotated as UTF-8 text
    bool plain_integer = false;  // INT64 without an annotation other than a signed 64-bit integer
    int max_definition_level = 0;
    bool snappy = false;
    int64_t start = 0;  // its dictionary page, else its first data page
    int64_t size = 0;   // from start to its end
};

struct FileLayout {
    int64_t rows = 0;
    std::vector<ColumnLayout> columns;  // in schema order
    std::optional<std::string> pandas_metadata;
    std::vector<std::string> metadata_keys;  // every key of the file's key-value metadata
};

// The length of the footer that the file's last 8 bytes announce; nullopt when they do not end in
// the Parquet magic (an encrypted footer among them).
std::optional<uint32_t> footer_length(const uint8_t *tail8);

// The layout that `footer` (the serialized file metadata) describes, its chunks checked to lie in the
// file's first `data_end` bytes; nullopt for nested schemas, several or no row groups, codecs other
// than Snappy or none, repeated or encrypted columns, and anything malformed.
std::optional<FileLayout> parse_footer(const uint8_t *footer, size_t size, int64_t data_end);

// The layout of `file` from its footer; nullopt for a file that parse_footer does not describe.
std::optional<FileLayout> read_layout(const FileBytes &file);

}  // namespace corvane::core
