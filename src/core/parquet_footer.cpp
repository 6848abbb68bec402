#include "core/parquet_footer.hpp"

#include "core/parquet_thrift.hpp"

#include <cstring>

namespace corvane::core {

namespace {

using parquet::Cursor;
using parquet::Unsupported;

std::string read_binary(Cursor &in) {
    uint64_t length = in.varint();
    if (length > in.left()) {
        throw Unsupported();
    }
    const uint8_t *at = in.take(static_cast<size_t>(length));
    return {reinterpret_cast<const char *>(at), static_cast<size_t>(length)};
}

int32_t read_i32(Cursor &in) { return static_cast<int32_t>(in.zigzag()); }

// One element of the schema list; only what a flat file's leaves need.
struct SchemaElement {
    int32_t type = -1;
    int32_t repetition = 0;
    std::string name;
    int32_t children = 0;
    bool text = false;
    bool other_annotation = false;  // a converted or logical type other than text or a signed int64
};

// An IntType logical annotation: whether it is a signed 64-bit integer.
bool signed_64_bits(Cursor &in) {
    int bits = 0;
    bool is_signed = false;
    parquet::read_struct(in, [&](int16_t id, int type) {
        if (id == 1 && type == parquet::kByte) {
            bits = in.byte();
        } else if (id == 2 && (type == parquet::kTrue || type == parquet::kFalse)) {
            is_signed = type == parquet::kTrue;
        } else {
            return false;
        }
        return true;
    });
    return bits == 64 && is_signed;
}

SchemaElement read_schema_element(Cursor &in) {
    SchemaElement element;
    parquet::read_struct(in, [&](int16_t id, int type) {
        if (id == 1 && type == parquet::kI32) {
            element.type = read_i32(in);
        } else if (id == 3 && type == parquet::kI32) {
            element.repetition = read_i32(in);
        } else if (id == 4 && type == parquet::kBinary) {
            element.name = read_binary(in);
        } else if (id == 5 && type == parquet::kI32) {
            element.children = read_i32(in);
        } else if (id == 6 && type == parquet::kI32) {
            int32_t converted = read_i32(in);
            element.text = element.text || converted == 0;  // ConvertedType UTF8
            element.other_annotation = element.other_annotation || (converted != 0 && converted != 18);  // INT_64
        } else if (id == 10 && type == parquet::kStruct) {
            parquet::read_struct(in, [&](int16_t kind, int kind_type) {
                element.text = element.text || kind == 1;  // LogicalType STRING
                if (kind == 10 && kind_type == parquet::kStruct) {
                    element.other_annotation = element.other_annotation || !signed_64_bits(in);  // INTEGER
                    return true;
                }
                element.other_annotation = element.other_annotation || kind != 1;
                return false;
            });
        } else {
            return false;
        }
        return true;
    });
    return element;
}

struct ChunkMeta {
    int32_t codec = -1;
    int64_t data_page = -1;
    int64_t dictionary_page = -1;
    int64_t size = -1;
};

ChunkMeta read_column_meta(Cursor &in) {
    ChunkMeta meta;
    parquet::read_struct(in, [&](int16_t id, int type) {
        if (id == 4 && type == parquet::kI32) {
            meta.codec = read_i32(in);
        } else if (id == 7 && type == parquet::kI64) {
            meta.size = in.zigzag();
        } else if (id == 9 && type == parquet::kI64) {
            meta.data_page = in.zigzag();
        } else if (id == 11 && type == parquet::kI64) {
            meta.dictionary_page = in.zigzag();
        } else {
            return false;
        }
        return true;
    });
    return meta;
}

std::optional<ChunkMeta> read_column_chunk(Cursor &in) {
    std::optional<ChunkMeta> meta;
    bool elsewhere = false;
    parquet::read_struct(in, [&](int16_t id, int type) {
        if (id == 3 && type == parquet::kStruct) {
            meta = read_column_meta(in);
            return true;
        }
        elsewhere = elsewhere || id == 1 || id == 8 || id == 9;  // another file, or encrypted
        return false;
    });
    return elsewhere ? std::nullopt : meta;
}

// The column chunks of a row group; nullopt when one is not of a kind read here.
std::optional<std::vector<ChunkMeta>> read_row_group(Cursor &in) {
    std::vector<ChunkMeta> chunks;
    bool readable = true;
    parquet::read_struct(in, [&](int16_t id, int type) {
        if (id != 1 || type != parquet::kList) {
            return false;
        }
        parquet::ListHeader list = parquet::read_list_header(in);
        if (list.element != parquet::kStruct || list.count > in.left()) {
            throw Unsupported();
        }
        for (uint64_t i = 0; i < list.count; ++i) {
            std::optional<ChunkMeta> chunk = read_column_chunk(in);
            readable = readable && chunk.has_value();
            chunks.push_back(chunk.value_or(ChunkMeta()));
        }
        return true;
    });
    return readable ? std::optional(chunks) : std::nullopt;
}

struct KeyValue {
    std::string key;
    std::string value;
};

KeyValue read_key_value(Cursor &in) {
    KeyValue entry;
    parquet::read_struct(in, [&](int16_t id, int type) {
        if (type != parquet::kBinary || (id != 1 && id != 2)) {
            return false;
        }
        (id == 1 ? entry.key : entry.value) = read_binary(in);
        return true;
    });
    return entry;
}

// A list of structs, each read by `element`.
template <typename Element>
void read_struct_list(Cursor &in, Element &&element) {
    parquet::ListHeader list = parquet::read_list_header(in);
    if (list.element != parquet::kStruct || list.count > in.left()) {
        throw Unsupported();
    }
    for (uint64_t i = 0; i < list.count; ++i) {
        element();
    }
}

struct FileMeta {
    int64_t rows = -1;
    std::vector<SchemaElement> schema;
    std::vector<std::optional<std::vector<ChunkMeta>>> row_groups;
    std::optional<std::string> pandas_metadata;
    std::vector<std::string> metadata_keys;
    bool encrypted = false;
};

FileMeta read_file_meta(Cursor &in) {
    FileMeta meta;
    parquet::read_struct(in, [&](int16_t id, int type) {
        if (id == 2 && type == parquet::kList) {
            read_struct_list(in, [&] { meta.schema.push_back(read_schema_element(in)); });
        } else if (id == 3 && type == parquet::kI64) {
            meta.rows = in.zigzag();
        } else if (id == 4 && type == parquet::kList) {
            read_struct_list(in, [&] { meta.row_groups.push_back(read_row_group(in)); });
        } else if (id == 5 && type == parquet::kList) {
            read_struct_list(in, [&] {
                KeyValue entry = read_key_value(in);
                meta.metadata_keys.push_back(entry.key);
                if (entry.key == "pandas") {
                    meta.pandas_metadata = std::move(entry.value);
                }
            });
        } else {
            meta.encrypted = meta.encrypted || id == 8;
            return false;
        }
        return true;
    });
    return meta;
}

std::optional<ColumnLayout> column_layout(const SchemaElement &leaf, const ChunkMeta &chunk, int64_t data_end) {
    if (leaf.children != 0 || leaf.repetition == 2 || (chunk.codec != 0 && chunk.codec != 1)) {
        return std::nullopt;
    }
    ColumnLayout column;
    column.name = leaf.name;
    column.type = leaf.type == 2   ? PhysicalType::kInt64
                  : leaf.type == 5 ? PhysicalType::kDouble
                  : leaf.type == 6 ? PhysicalType::kByteArray
                                   : PhysicalType::kOther;
    column.text = leaf.text;
    column.plain_integer = column.type == PhysicalType::kInt64 && !leaf.other_annotation;
    column.max_definition_level = leaf.repetition == 1 ? 1 : 0;
    column.snappy = chunk.codec == 1;
    column.start = chunk.dictionary_page > 0 && chunk.dictionary_page < chunk.data_page ? chunk.dictionary_page
                                                                                         : chunk.data_page;
    column.size = chunk.size;
    if (column.start < 4 || column.size < 0 || column.size > data_end - column.start) {
        return std::nullopt;
    }
    return column;
}

}  // namespace

std::optional<uint32_t> footer_length(const uint8_t *tail8) {
    if (std::memcmp(tail8 + 4, "PAR1", 4) != 0) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(tail8[0]) | static_cast<uint32_t>(tail8[1]) << 8 |
           static_cast<uint32_t>(tail8[2]) << 16 | static_cast<uint32_t>(tail8[3]) << 24;
}

std::optional<FileLayout> parse_footer(const uint8_t *footer, size_t size, int64_t data_end) {
    try {
        Cursor in(footer, size);
        FileMeta meta = read_file_meta(in);
        if (meta.encrypted || meta.rows < 0 || meta.row_groups.size() != 1 || !meta.row_groups[0] ||
            meta.schema.empty() || meta.schema[0].children != static_cast<int32_t>(meta.schema.size() - 1) ||
            meta.row_groups[0]->size() != meta.schema.size() - 1) {
            return std::nullopt;
        }
        FileLayout layout;
        layout.rows = meta.rows;
        layout.pandas_metadata = std::move(meta.pandas_metadata);
        layout.metadata_keys = std::move(meta.metadata_keys);
        for (size_t at = 0; at < meta.row_groups[0]->size(); ++at) {
            std::optional<ColumnLayout> column = column_layout(meta.schema[at + 1], (*meta.row_groups[0])[at], data_end);
            if (!column) {
                return std::nullopt;
            }
            layout.columns.push_back(std::move(*column));
        }
        return layout;
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

std::optional<FileLayout> read_layout(const FileBytes &file) {
    uint8_t tail[8];
    if (file.size() < 12 || !file.read(file.size() - 8, 8, tail)) {
        return std::nullopt;
    }
    std::optional<uint32_t> length = footer_length(tail);
    if (!length || *length > file.size() - 12) {
        return std::nullopt;
    }
    std::vector<uint8_t> footer(*length);
    int64_t data_end = file.size() - 8 - *length;
    if (!file.read(data_end, *length, footer.data())) {
        return std::nullopt;
    }
    return parse_footer(footer.data(), footer.size(), data_end);
}

}  // namespace corvane::core
