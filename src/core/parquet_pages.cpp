#include "core/parquet_pages.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace corvane::native {

namespace {

// Any malformed or unsupported input ends the walk; the caller falls back to a full read.
struct Unsupported : std::runtime_error {
    Unsupported() : std::runtime_error("unsupported Parquet page") {}
};

class Cursor {
public:
    Cursor(const uint8_t *data, size_t size) : data_(data), end_(data + size) {}
    uint8_t byte() {
        need(1);
        return *data_++;
    }
    uint64_t varint() {
        uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            uint8_t next = byte();
            value |= static_cast<uint64_t>(next & 0x7f) << shift;
            if (!(next & 0x80)) {
                return value;
            }
        }
        throw Unsupported();
    }
    int64_t zigzag() {
        uint64_t raw = varint();
        return static_cast<int64_t>(raw >> 1) ^ -static_cast<int64_t>(raw & 1);
    }
    const uint8_t *take(size_t count) {
        need(count);
        const uint8_t *at = data_;
        data_ += count;
        return at;
    }
    uint32_t le32() {
        const uint8_t *at = take(4);
        return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
               static_cast<uint32_t>(at[3]) << 24;
    }
    size_t left() const { return static_cast<size_t>(end_ - data_); }
    const uint8_t *here() const { return data_; }

private:
    void need(size_t count) const {
        if (static_cast<size_t>(end_ - data_) < count) {
            throw Unsupported();
        }
    }
    const uint8_t *data_;
    const uint8_t *end_;
};

// --- Thrift compact protocol: just enough for PageHeader ---------------------------------------

void skip_value(Cursor &in, int type);

void skip_struct(Cursor &in) {
    for (;;) {
        uint8_t header = in.byte();
        if (header == 0) {
            return;
        }
        if ((header >> 4) == 0) {
            in.zigzag();
        }
        skip_value(in, header & 0x0f);
    }
}

void skip_value(Cursor &in, int type) {
    switch (type) {
    case 1:
    case 2:
        return;  // booleans live in the field header
    case 3:
        in.byte();
        return;
    case 4:
    case 5:
    case 6:
        in.varint();
        return;
    case 7:
        in.take(8);
        return;
    case 8:
        in.take(in.varint());
        return;
    case 9:
    case 10: {
        uint8_t header = in.byte();
        uint64_t count = header >> 4;
        if (count == 15) {
            count = in.varint();
        }
        int element = header & 0x0f;
        for (uint64_t i = 0; i < count; ++i) {
            element == 1 || element == 2 ? static_cast<void>(in.byte()) : skip_value(in, element);
        }
        return;
    }
    case 11: {
        uint64_t count = in.varint();
        if (count > 0) {
            uint8_t types = in.byte();
            for (uint64_t i = 0; i < count; ++i) {
                skip_value(in, types >> 4);
                skip_value(in, types & 0x0f);
            }
        }
        return;
    }
    case 12:
        skip_struct(in);
        return;
    default:
        throw Unsupported();
    }
}

struct PageHeader {
    int type = -1;
    int64_t uncompressed = 0;
    int64_t compressed = 0;
    int64_t values = 0;
    int encoding = -1;
    int level_encoding = 3;  // definition levels: RLE unless the header says otherwise
};

// Fields 1 to 3 (num_values, encoding, definition_level_encoding) of DataPageHeader or
// DictionaryPageHeader.
void read_values_and_encoding(Cursor &in, PageHeader &page) {
    int16_t field = 0;
    for (;;) {
        uint8_t header = in.byte();
        if (header == 0) {
            return;
        }
        field = (header >> 4) ? static_cast<int16_t>(field + (header >> 4)) : static_cast<int16_t>(in.zigzag());
        int type = header & 0x0f;
        if (field == 1 && type == 5) {
            page.values = in.zigzag();
        } else if (field == 2 && type == 5) {
            page.encoding = static_cast<int>(in.zigzag());
        } else if (field == 3 && type == 5) {
            page.level_encoding = static_cast<int>(in.zigzag());
        } else {
            skip_value(in, type);
        }
    }
}

PageHeader read_page_header(Cursor &in) {
    PageHeader page;
    int16_t field = 0;
    for (;;) {
        uint8_t header = in.byte();
        if (header == 0) {
            return page;
        }
        field = (header >> 4) ? static_cast<int16_t>(field + (header >> 4)) : static_cast<int16_t>(in.zigzag());
        int type = header & 0x0f;
        if (field == 1 && type == 5) {
            page.type = static_cast<int>(in.zigzag());
        } else if (field == 2 && type == 5) {
            page.uncompressed = in.zigzag();
        } else if (field == 3 && type == 5) {
            page.compressed = in.zigzag();
        } else if ((field == 5 || field == 7) && type == 12) {
            read_values_and_encoding(in, page);
        } else if (field == 8) {
            throw Unsupported();  // data page v2
        } else {
            skip_value(in, type);
        }
    }
}

// --- Snappy --------------------------------------------------------------------------------------

std::vector<uint8_t> snappy_decompress(const uint8_t *data, size_t size, size_t expected) {
    Cursor in(data, size);
    uint64_t length = in.varint();
    if (length != expected) {
        throw Unsupported();
    }
    std::vector<uint8_t> out;
    out.reserve(length);
    while (in.left() > 0) {
        uint8_t tag = in.byte();
        size_t count = 0;
        size_t offset = 0;
        switch (tag & 3) {
        case 0: {
            count = (tag >> 2) + 1;
            if (count > 60) {
                size_t bytes = count - 60;
                const uint8_t *raw = in.take(bytes);
                count = 0;
                for (size_t i = 0; i < bytes; ++i) {
                    count |= static_cast<size_t>(raw[i]) << (8 * i);
                }
                count += 1;
            }
            const uint8_t *literal = in.take(count);
            out.insert(out.end(), literal, literal + count);
            continue;
        }
        case 1:
            count = ((tag >> 2) & 7) + 4;
            offset = (static_cast<size_t>(tag >> 5) << 8) | in.byte();
            break;
        case 2: {
            count = (tag >> 2) + 1;
            const uint8_t *raw = in.take(2);
            offset = raw[0] | static_cast<size_t>(raw[1]) << 8;
            break;
        }
        default:
            count = (tag >> 2) + 1;
            offset = in.le32();
            break;
        }
        if (offset == 0 || offset > out.size()) {
            throw Unsupported();
        }
        size_t from = out.size() - offset;
        for (size_t i = 0; i < count; ++i) {
            out.push_back(out[from + i]);  // copies may overlap what they write
        }
    }
    if (out.size() != length) {
        throw Unsupported();
    }
    return out;
}

// --- RLE / bit-packed hybrid ---------------------------------------------------------------------

std::vector<uint32_t> decode_hybrid(Cursor &in, int bit_width, size_t count) {
    std::vector<uint32_t> values;
    values.reserve(count);
    if (bit_width > 32) {
        throw Unsupported();
    }
    size_t value_bytes = static_cast<size_t>((bit_width + 7) / 8);
    while (values.size() < count) {
        uint64_t header = in.varint();
        if (header & 1) {
            size_t groups = header >> 1;
            const uint8_t *packed = in.take(groups * static_cast<size_t>(bit_width));
            uint64_t buffer = 0;
            int held = 0;
            size_t at = 0;
            for (size_t i = 0; i < groups * 8; ++i) {
                while (held < bit_width) {
                    buffer |= static_cast<uint64_t>(packed[at++]) << held;
                    held += 8;
                }
                uint32_t value = bit_width == 0 ? 0 : static_cast<uint32_t>(buffer & ((uint64_t{1} << bit_width) - 1));
                buffer >>= bit_width;
                held -= bit_width;
                if (values.size() < count) {
                    values.push_back(value);
                }
            }
        } else {
            size_t run = header >> 1;
            const uint8_t *raw = in.take(value_bytes);
            uint32_t value = 0;
            for (size_t i = 0; i < value_bytes; ++i) {
                value |= static_cast<uint32_t>(raw[i]) << (8 * i);
            }
            for (size_t i = 0; i < run && values.size() < count; ++i) {
                values.push_back(value);
            }
        }
    }
    return values;
}

int bits_for(int max_level) {
    int bits = 0;
    while ((1 << bits) <= max_level) {
        ++bits;
    }
    return bits;
}

// --- pages of one chunk --------------------------------------------------------------------------

// A decoded data page: per row of the page, whether it has a value; per value, its dictionary index
// or (PLAIN) its position in `plain`.
struct DataPage {
    int64_t first_row = 0;
    std::vector<uint8_t> defined;
    bool dictionary = false;
    std::vector<uint32_t> indices;
    std::vector<uint8_t> body;  // the page's bytes, owning what `plain` points into
    const uint8_t *plain = nullptr;
    size_t plain_size = 0;
};

struct Chunk {
    std::vector<uint8_t> dictionary_body;
    const uint8_t *dictionary = nullptr;
    size_t dictionary_size = 0;
    int64_t dictionary_values = 0;
    std::vector<DataPage> pages;
};

std::vector<uint8_t> page_body(Cursor &in, const PageHeader &page, bool snappy) {
    if (page.compressed < 0 || page.uncompressed < 0) {
        throw Unsupported();
    }
    const uint8_t *raw = in.take(static_cast<size_t>(page.compressed));
    if (!snappy) {
        return {raw, raw + page.compressed};
    }
    return snappy_decompress(raw, static_cast<size_t>(page.compressed), static_cast<size_t>(page.uncompressed));
}

Chunk walk(const ColumnChunk &column) {
    Chunk chunk;
    Cursor in(column.data, column.size);
    int64_t row = 0;
    while (row < column.rows) {
        PageHeader page = read_page_header(in);
        std::vector<uint8_t> body = page_body(in, page, column.snappy);
        if (page.type == 2) {
            if (page.encoding != 0 && page.encoding != 2) {
                throw Unsupported();
            }
            chunk.dictionary_body = std::move(body);
            chunk.dictionary = chunk.dictionary_body.data();
            chunk.dictionary_size = chunk.dictionary_body.size();
            chunk.dictionary_values = page.values;
            continue;
        }
        if (page.type != 0) {
            throw Unsupported();
        }
        DataPage data;
        data.first_row = row;
        data.body = std::move(body);
        Cursor values(data.body.data(), data.body.size());
        size_t rows = static_cast<size_t>(page.values);
        size_t present = rows;
        if (column.max_definition_level > 0) {
            if (page.level_encoding != 3) {
                throw Unsupported();  // the deprecated bit-packed levels carry no length prefix
            }
            uint32_t length = values.le32();
            Cursor levels(values.take(length), length);
            std::vector<uint32_t> decoded = decode_hybrid(levels, bits_for(column.max_definition_level), rows);
            data.defined.reserve(rows);
            present = 0;
            for (uint32_t level : decoded) {
                bool has = static_cast<int>(level) == column.max_definition_level;
                data.defined.push_back(has);
                present += has;
            }
        } else {
            data.defined.assign(rows, 1);
        }
        if (page.encoding == 2 || page.encoding == 8) {
            if (!chunk.dictionary) {
                throw Unsupported();
            }
            data.dictionary = true;
            int width = values.byte();
            data.indices = decode_hybrid(values, width, present);
        } else if (page.encoding == 0) {
            data.plain = values.here();
            data.plain_size = values.left();
        } else {
            throw Unsupported();
        }
        row += page.values;
        chunk.pages.push_back(std::move(data));
    }
    return chunk;
}

// PLAIN BYTE_ARRAY values of a buffer, in order.
std::vector<std::pair<const uint8_t *, size_t>> plain_texts(const uint8_t *data, size_t size, size_t count) {
    Cursor in(data, size);
    std::vector<std::pair<const uint8_t *, size_t>> texts;
    texts.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        uint32_t length = in.le32();
        texts.emplace_back(in.take(length), length);
    }
    return texts;
}

double plain_double(const uint8_t *data, size_t size, size_t position) {
    if ((position + 1) * 8 > size) {
        throw Unsupported();
    }
    double value;
    std::memcpy(&value, data + position * 8, 8);
    return value;
}

// For each wanted row (ascending), the page holding it and the ordinal of its value in that page;
// ordinal -1 for a null.
template <typename Visit>
void visit_rows(const Chunk &chunk, const std::vector<int64_t> &rows, Visit &&visit) {
    size_t page = 0;
    size_t counted_row = 0;
    size_t ordinal = 0;
    for (int64_t row : rows) {
        while (page < chunk.pages.size() &&
               row >= chunk.pages[page].first_row + static_cast<int64_t>(chunk.pages[page].defined.size())) {
            ++page;
            counted_row = 0;
            ordinal = 0;
        }
        if (page == chunk.pages.size() || row < chunk.pages[page].first_row) {
            throw Unsupported();
        }
        const DataPage &data = chunk.pages[page];
        size_t within = static_cast<size_t>(row - data.first_row);
        if (within < counted_row) {
            throw Unsupported();  // rows must ascend
        }
        for (; counted_row < within; ++counted_row) {
            ordinal += data.defined[counted_row];
        }
        visit(data, data.defined[within] ? static_cast<int64_t>(ordinal) : -1);
    }
}

}  // namespace

std::optional<std::vector<int64_t>> rows_holding(const ColumnChunk &column, const std::vector<std::string> &labels) {
    try {
        Chunk chunk = walk(column);
        std::vector<uint8_t> wanted_code;
        if (chunk.dictionary) {
            auto dictionary = plain_texts(chunk.dictionary, chunk.dictionary_size, static_cast<size_t>(chunk.dictionary_values));
            wanted_code.assign(dictionary.size(), 0);
            for (size_t code = 0; code < dictionary.size(); ++code) {
                for (const std::string &label : labels) {
                    if (label.size() == dictionary[code].second &&
                        std::memcmp(label.data(), dictionary[code].first, label.size()) == 0) {
                        wanted_code[code] = 1;
                    }
                }
            }
        }
        std::vector<int64_t> rows;
        for (const DataPage &data : chunk.pages) {
            std::vector<std::pair<const uint8_t *, size_t>> texts;
            if (!data.dictionary) {
                size_t present = 0;
                for (uint8_t has : data.defined) {
                    present += has;
                }
                texts = plain_texts(data.plain, data.plain_size, present);
            }
            size_t ordinal = 0;
            for (size_t within = 0; within < data.defined.size(); ++within) {
                if (!data.defined[within]) {
                    continue;
                }
                bool match = false;
                if (data.dictionary) {
                    uint32_t code = data.indices.at(ordinal);
                    match = code < wanted_code.size() && wanted_code[code];
                } else {
                    for (const std::string &label : labels) {
                        match = match || (label.size() == texts[ordinal].second &&
                                          std::memcmp(label.data(), texts[ordinal].first, label.size()) == 0);
                    }
                }
                if (match) {
                    rows.push_back(data.first_row + static_cast<int64_t>(within));
                }
                ++ordinal;
            }
        }
        return rows;
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

std::optional<std::vector<double>> doubles_at(const ColumnChunk &column, const std::vector<int64_t> &rows) {
    try {
        Chunk chunk = walk(column);
        std::vector<double> values;
        values.reserve(rows.size());
        visit_rows(chunk, rows, [&](const DataPage &data, int64_t ordinal) {
            if (ordinal < 0) {
                values.push_back(std::numeric_limits<double>::quiet_NaN());
            } else if (data.dictionary) {
                uint32_t code = data.indices.at(static_cast<size_t>(ordinal));
                if (code >= static_cast<uint64_t>(chunk.dictionary_values)) {
                    throw Unsupported();
                }
                values.push_back(plain_double(chunk.dictionary, chunk.dictionary_size, code));
            } else {
                values.push_back(plain_double(data.plain, data.plain_size, static_cast<size_t>(ordinal)));
            }
        });
        return values;
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

std::optional<std::vector<std::string>> texts_at(const ColumnChunk &column, const std::vector<int64_t> &rows) {
    try {
        Chunk chunk = walk(column);
        std::vector<std::pair<const uint8_t *, size_t>> dictionary;
        if (chunk.dictionary) {
            dictionary = plain_texts(chunk.dictionary, chunk.dictionary_size, static_cast<size_t>(chunk.dictionary_values));
        }
        std::vector<std::string> texts;
        visit_rows(chunk, rows, [&](const DataPage &data, int64_t ordinal) {
            if (ordinal < 0) {
                throw Unsupported();
            }
            if (data.dictionary) {
                auto entry = dictionary.at(data.indices.at(static_cast<size_t>(ordinal)));
                texts.emplace_back(reinterpret_cast<const char *>(entry.first), entry.second);
            } else {
                size_t present = static_cast<size_t>(ordinal) + 1;
                auto plain = plain_texts(data.plain, data.plain_size, present);
                texts.emplace_back(reinterpret_cast<const char *>(plain.back().first), plain.back().second);
            }
        });
        return texts;
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

}  // namespace corvane::native
