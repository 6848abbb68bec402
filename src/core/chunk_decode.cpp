#include "core/chunk_decode.hpp"

#include "core/page_headers.hpp"
#include "core/snappy_block.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

namespace corvane::core {

namespace {

using parquet::Cursor;
using parquet::PageHeader;
using parquet::Unsupported;

// A run of equal definition levels.
struct LevelRun {
    bool defined;
    size_t count;
};

int bits_for(int max_level) {
    int bits = 0;
    while ((1 << bits) <= max_level) {
        ++bits;
    }
    return bits;
}

// Decodes `count` values of an RLE / bit-packed hybrid stream, calling `run(value, repeat)` for each
// run of equal values (bit-packed groups come out value by value).
template <typename Run>
void hybrid_runs(const uint8_t *data, size_t size, int width, size_t count, Run &&run) {
    if (width < 0 || width > 32) {
        throw Unsupported();
    }
    Cursor in(data, size);
    size_t value_bytes = static_cast<size_t>((width + 7) / 8);
    while (count > 0) {
        uint64_t header = in.varint();
        if (header & 1) {
            uint64_t groups = header >> 1;
            if (width == 0 || groups > in.left() / static_cast<size_t>(width)) {
                throw Unsupported();
            }
            const uint8_t *packed = in.take(static_cast<size_t>(groups) * static_cast<size_t>(width));
            size_t values = std::min<size_t>(count, static_cast<size_t>(groups) * 8);
            if (width == 1) {
                // Definition levels of one bit: a byte of equal levels is one run.
                for (size_t at = 0; at < values; at += 8) {
                    uint8_t byte = packed[at / 8];
                    size_t in_byte = std::min<size_t>(8, values - at);
                    if (in_byte == 8 && (byte == 0 || byte == 0xff)) {
                        run(byte ? 1u : 0u, 8);
                        continue;
                    }
                    for (size_t i = 0; i < in_byte; ++i) {
                        run((byte >> i) & 1u, 1);
                    }
                }
                count -= values;
                continue;
            }
            size_t bit = 0;
            for (size_t i = 0; i < values; ++i) {
                uint32_t value = 0;
                for (int b = 0; b < width; ++b, ++bit) {
                    value |= static_cast<uint32_t>((packed[bit / 8] >> (bit % 8)) & 1) << b;
                }
                run(value, 1);
            }
            count -= values;
        } else {
            size_t repeat = static_cast<size_t>(std::min<uint64_t>(header >> 1, count));
            if (repeat == 0) {
                throw Unsupported();  // an empty run would loop forever on damaged bytes
            }
            const uint8_t *raw = in.take(value_bytes);
            uint32_t value = 0;
            for (size_t i = 0; i < value_bytes; ++i) {
                value |= static_cast<uint32_t>(raw[i]) << (8 * i);
            }
            run(value, repeat);
            count -= repeat;
        }
    }
}

// The definition levels of a page as runs of defined and null rows.
void level_runs(const uint8_t *data, size_t size, int max_level, size_t rows, std::vector<LevelRun> &runs) {
    runs.clear();
    hybrid_runs(data, size, bits_for(max_level), rows, [&](uint32_t level, size_t repeat) {
        bool defined = level == static_cast<uint32_t>(max_level);
        if (!runs.empty() && runs.back().defined == defined) {
            runs.back().count += repeat;
        } else {
            runs.push_back({defined, repeat});
        }
    });
}

// The pages of one column chunk, their bytes taken where they lie in memory or read into scratch
// buffers a page at a time; a page's values can also be read straight into a destination.
class PageStream {
public:
    explicit PageStream(const ChunkSource &chunk) : file_(*chunk.file), chunk_(chunk) {
        const ColumnLayout &column = chunk.column;
        if (column.start < 0 || column.size < 0 || column.start > file_.size() || column.size > file_.size() - column.start) {
            throw Unsupported();
        }
        next_ = column.start;
        end_ = column.start + column.size;
    }

    bool done() const { return next_ >= end_; }

    // The next page's header; the page's body then lies at body_start().
    PageHeader next() {
        size_t left = static_cast<size_t>(end_ - next_);
        for (size_t want = std::min<size_t>(left, 256);; want = std::min(left, want * 16)) {
            try {
                const uint8_t *bytes = span(next_, want, header_);
                Cursor in(bytes, want);
                PageHeader page = parquet::read_page_header(in);
                page.header_size = want - in.left();
                if (static_cast<uint64_t>(page.compressed) > left - page.header_size) {
                    throw Unsupported();
                }
                body_ = next_ + static_cast<int64_t>(page.header_size);
                next_ = body_ + page.compressed;
                return page;
            } catch (const Unsupported &) {
                if (want == left) {
                    throw;
                }
            }
        }
    }

    // Bytes [from, from + length) of the current page's body: in place, or read into `scratch`.
    const uint8_t *body(size_t from, size_t length, std::vector<uint8_t> &scratch) {
        check(from, length);
        return span(body_ + static_cast<int64_t>(from), length, scratch);
    }

    // Copies bytes [from, from + length) of the current page's body to `into`.
    void body_into(size_t from, size_t length, uint8_t *into) {
        check(from, length);
        if (!file_.read(body_ + static_cast<int64_t>(from), length, into)) {
            throw Unsupported();
        }
    }

    bool snappy() const { return chunk_.column.snappy; }

private:
    void check(size_t from, size_t length) const {
        auto size = static_cast<size_t>(next_ - body_);
        if (from > size || length > size - from) {
            throw Unsupported();
        }
    }

    const uint8_t *span(int64_t at, size_t length, std::vector<uint8_t> &scratch) {
        if (file_.memory()) {
            return file_.memory() + at;
        }
        scratch.resize(std::max<size_t>(length, 1));
        if (!file_.read(at, length, scratch.data())) {
            throw Unsupported();
        }
        return scratch.data();
    }

    const FileBytes &file_;
    const ChunkSource &chunk_;
    int64_t next_ = 0;
    int64_t end_ = 0;
    int64_t body_ = 0;
    std::vector<uint8_t> header_;
};

// One data page taken apart: its definition levels as runs and, on demand, its values section (PLAIN
// values or dictionary codes), decompressed where the page is compressed.
class DataPage {
public:
    DataPage(PageStream &pages, const PageHeader &page, int max_level) : pages_(pages), page_(page), max_level_(max_level) {
        rows_ = static_cast<size_t>(page.values);
        bool v2 = page.type == parquet::kDataPageV2;
        if (!v2 && page.type != parquet::kDataPage) {
            throw Unsupported();
        }
        auto stored = static_cast<size_t>(page.compressed);
        auto size = static_cast<size_t>(page.uncompressed);
        if (v2) {
            if (page.repetition_bytes != 0 || static_cast<size_t>(page.definition_bytes) > std::min(stored, size)) {
                throw Unsupported();
            }
            auto levels = static_cast<size_t>(page.definition_bytes);
            if (max_level > 0) {
                read_levels(pages_.body(0, levels, level_bytes_), levels);
            } else if (levels != 0) {
                throw Unsupported();
            }
            values_from_ = levels;
            compressed_ = pages.snappy() && page.values_compressed;
            values_size_ = size - levels;
            stored_values_ = stored - levels;
        } else if (pages.snappy()) {
            // The levels are compressed with the values: the whole body is decompressed first, unless
            // it holds values alone.
            compressed_ = true;
            values_size_ = size;
            stored_values_ = stored;
            if (max_level > 0) {
                values();
                size_t prefix = level_prefix(decompressed_.data(), size);
                read_levels(decompressed_.data() + 4, prefix - 4);
                values_at_ = prefix;
            }
        } else {
            if (size != stored) {
                throw Unsupported();
            }
            size_t prefix = 0;
            if (max_level > 0) {
                uint8_t length[4];
                pages_.body_into(0, 4, length);
                prefix = level_prefix(length, size);
                read_levels(pages_.body(4, prefix - 4, level_bytes_), prefix - 4);
            }
            values_from_ = prefix;
            values_size_ = stored_values_ = size - prefix;
        }
        if (max_level == 0) {
            runs_.push_back({true, rows_});
            defined_ = rows_;
        }
        if (!v2 && max_level > 0 && page.level_encoding != parquet::kRle) {
            throw Unsupported();  // the deprecated bit-packed levels carry no length prefix
        }
        if (v2 && max_level > 0 && static_cast<int64_t>(rows_ - defined_) != page.nulls) {
            throw Unsupported();
        }
    }

    size_t rows() const { return rows_; }
    size_t defined() const { return defined_; }
    const std::vector<LevelRun> &runs() const { return runs_; }
    int encoding() const { return page_.encoding; }

    // The values section, contiguous.
    Cursor values() {
        if (!compressed_) {
            const uint8_t *data = pages_.body(values_from_, values_size_, stored_);
            return Cursor(data, values_size_);
        }
        if (!inflated_) {
            const uint8_t *data = pages_.body(values_from_, stored_values_, stored_);
            decompressed_.resize(std::max<size_t>(values_size_, 1));
            if (!snappy_decompress(data, stored_values_, decompressed_.data(), values_size_)) {
                throw Unsupported();
            }
            inflated_ = true;
        }
        return Cursor(decompressed_.data() + values_at_, values_size_ - values_at_);
    }

    // Writes the values section, which must be exactly `size` bytes, to `into`: one read, or one
    // decompression, where the section stands alone in the page.
    void values_into(uint8_t *into, size_t size) {
        if (values_at_ == 0 && values_size_ == size && !inflated_) {
            if (!compressed_) {
                pages_.body_into(values_from_, size, into);
                return;
            }
            const uint8_t *data = pages_.body(values_from_, stored_values_, stored_);
            if (!snappy_decompress(data, stored_values_, into, size)) {
                throw Unsupported();
            }
            return;
        }
        Cursor in = values();
        if (in.left() < size) {
            throw Unsupported();
        }
        std::memcpy(into, in.here(), size);
    }

private:
    // The end of a v1 page's level block: its 4-byte length and the levels.
    static size_t level_prefix(const uint8_t *length_bytes, size_t page_size) {
        uint32_t length = Cursor(length_bytes, 4).le32();
        if (page_size < 4 || length > page_size - 4) {
            throw Unsupported();
        }
        return 4 + static_cast<size_t>(length);
    }

    void read_levels(const uint8_t *data, size_t size) {
        level_runs(data, size, max_level_, rows_, runs_);
        defined_ = 0;
        for (const LevelRun &run : runs_) {
            defined_ += run.defined ? run.count : 0;
        }
    }

    PageStream &pages_;
    PageHeader page_;
    int max_level_;
    size_t rows_ = 0;
    size_t defined_ = 0;
    std::vector<LevelRun> runs_;
    std::vector<uint8_t> level_bytes_;
    std::vector<uint8_t> stored_;
    std::vector<uint8_t> decompressed_;
    bool compressed_ = false;
    bool inflated_ = false;
    size_t values_from_ = 0;   // where the values section starts in the stored body
    size_t values_size_ = 0;   // its size once decompressed
    size_t stored_values_ = 0; // its size as stored
    size_t values_at_ = 0;     // where the values start in the decompressed section (v1 Snappy)
};

// The values of a dictionary page, PLAIN-encoded.
std::vector<uint8_t> dictionary_bytes(PageStream &pages, const PageHeader &page) {
    if (page.encoding != parquet::kPlain && page.encoding != parquet::kPlainDictionary) {
        throw Unsupported();
    }
    auto stored = static_cast<size_t>(page.compressed);
    auto size = static_cast<size_t>(page.uncompressed);
    std::vector<uint8_t> scratch;
    const uint8_t *data = pages.body(0, stored, scratch);
    std::vector<uint8_t> bytes(size);
    if (pages.snappy()) {
        if (!snappy_decompress(data, stored, bytes.data(), size)) {
            throw Unsupported();
        }
    } else if (size == stored) {
        std::memcpy(bytes.data(), data, size);
    } else {
        throw Unsupported();
    }
    return bytes;
}

// The dictionary codes of a page's `count` defined values.
std::vector<uint32_t> dictionary_codes(Cursor values, size_t count, size_t dictionary_size) {
    int width = count == 0 ? 0 : values.byte();
    std::vector<uint32_t> codes;
    codes.reserve(count);
    if (count > 0) {
        hybrid_runs(values.here(), values.left(), width, count, [&](uint32_t code, size_t repeat) {
            if (code >= dictionary_size) {
                throw Unsupported();
            }
            codes.insert(codes.end(), repeat, code);
        });
    }
    return codes;
}

// Where row `row` of the chunk goes.
struct Destination {
    double *out;
    const Positions &positions;
    double &at(size_t row) const { return positions.empty() ? out[row] : out[positions[row]]; }
};

// Writes one page's rows starting at chunk row `first`: defined values from `value_of(ordinal)`,
// NaN for nulls.
template <typename ValueOf>
void write_rows(const Destination &to, size_t first, const std::vector<LevelRun> &runs, ValueOf &&value_of) {
    const double hole = std::numeric_limits<double>::quiet_NaN();
    size_t row = first;
    size_t ordinal = 0;
    for (const LevelRun &run : runs) {
        for (size_t i = 0; i < run.count; ++i, ++row) {
            to.at(row) = run.defined ? value_of(ordinal++) : hole;
        }
    }
}

void decode_double_page(DataPage &page, const Destination &to, size_t first, const std::vector<double> &dictionary,
                        bool has_dictionary) {
    size_t defined = page.defined();
    if (parquet::by_dictionary(page.encoding())) {
        if (!has_dictionary) {
            throw Unsupported();
        }
        std::vector<uint32_t> codes = dictionary_codes(page.values(), defined, dictionary.size());
        write_rows(to, first, page.runs(), [&](size_t ordinal) { return dictionary[codes[ordinal]]; });
        return;
    }
    if (page.encoding() != parquet::kPlain) {
        throw Unsupported();
    }
    if (defined == page.rows() && to.positions.empty()) {
        page.values_into(reinterpret_cast<uint8_t *>(to.out + first), defined * sizeof(double));
        return;
    }
    Cursor values = page.values();
    if (values.left() / sizeof(double) < defined) {
        throw Unsupported();
    }
    const uint8_t *data = values.here();
    if (!to.positions.empty()) {
        write_rows(to, first, page.runs(), [&](size_t ordinal) {
            double value;
            std::memcpy(&value, data + ordinal * sizeof(double), sizeof value);
            return value;
        });
        return;
    }
    // Runs of values are copied whole: a column with few nulls costs little more than one without.
    const double hole = std::numeric_limits<double>::quiet_NaN();
    double *out = to.out + first;
    for (const LevelRun &run : page.runs()) {
        if (run.defined) {
            std::memcpy(out, data, run.count * sizeof(double));
            data += run.count * sizeof(double);
        } else {
            std::fill(out, out + run.count, hole);
        }
        out += run.count;
    }
}

// Walks the chunk's pages: dictionary pages go to `dictionary`, data pages to `data(page, first row)`;
// the data pages must hold exactly the chunk's rows.
template <typename Dictionary, typename Data>
void walk_pages(const ChunkSource &chunk, Dictionary &&dictionary, Data &&data) {
    PageStream pages(chunk);
    size_t row = 0;
    auto rows = static_cast<size_t>(chunk.rows);
    while (row < rows) {
        if (pages.done()) {
            throw Unsupported();
        }
        PageHeader header = pages.next();
        if (header.type == parquet::kDictionaryPage) {
            dictionary(pages, header);
            continue;
        }
        DataPage page(pages, header, chunk.column.max_definition_level);
        if (page.rows() > rows - row) {
            throw Unsupported();
        }
        data(page, row);
        row += page.rows();
    }
}

// The text values of a PLAIN BYTE_ARRAY buffer.
void plain_texts(Cursor in, size_t count, std::vector<std::string> &into) {
    for (size_t i = 0; i < count; ++i) {
        uint32_t length = in.le32();
        const uint8_t *text = in.take(length);
        into.emplace_back(reinterpret_cast<const char *>(text), length);
    }
}

void plain_integers(Cursor in, size_t count, std::vector<std::string> &into) {
    for (size_t i = 0; i < count; ++i) {
        into.emplace_back(reinterpret_cast<const char *>(in.take(8)), 8);
    }
}

}  // namespace

bool decode_doubles(const ChunkSource &chunk, double *out, const Positions &positions) {
    if (chunk.column.type != PhysicalType::kDouble || chunk.rows < 0 ||
        (!positions.empty() && positions.size() != static_cast<size_t>(chunk.rows))) {
        return false;
    }
    try {
        Destination to{out, positions};
        std::vector<double> dictionary;
        bool has_dictionary = false;
        walk_pages(
            chunk,
            [&](PageStream &pages, const PageHeader &header) {
                std::vector<uint8_t> bytes = dictionary_bytes(pages, header);
                auto count = static_cast<size_t>(header.values);
                if (bytes.size() / sizeof(double) < count) {
                    throw Unsupported();
                }
                dictionary.resize(count);
                std::memcpy(dictionary.data(), bytes.data(), count * sizeof(double));
                has_dictionary = true;
            },
            [&](DataPage &page, size_t first) { decode_double_page(page, to, first, dictionary, has_dictionary); });
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

std::optional<RowKeys> decode_keys(const ChunkSource &chunk) {
    const ColumnLayout &column = chunk.column;
    bool text = column.type == PhysicalType::kByteArray && column.text;
    if ((!text && !column.plain_integer) || chunk.rows < 0) {
        return std::nullopt;
    }
    try {
        RowKeys keys;
        keys.kind = text ? 's' : 'i';
        keys.keys.reserve(static_cast<size_t>(chunk.rows));
        std::vector<std::string> dictionary;
        bool has_dictionary = false;
        walk_pages(
            chunk,
            [&](PageStream &pages, const PageHeader &header) {
                std::vector<uint8_t> bytes = dictionary_bytes(pages, header);
                dictionary.clear();
                Cursor in(bytes.data(), bytes.size());
                auto count = static_cast<size_t>(header.values);
                text ? plain_texts(in, count, dictionary) : plain_integers(in, count, dictionary);
                has_dictionary = true;
            },
            [&](DataPage &page, size_t) {
                if (page.defined() != page.rows()) {
                    throw Unsupported();  // missing labels: pandas' reader decides what they become
                }
                if (parquet::by_dictionary(page.encoding())) {
                    if (!has_dictionary) {
                        throw Unsupported();
                    }
                    for (uint32_t code : dictionary_codes(page.values(), page.rows(), dictionary.size())) {
                        keys.keys.push_back(dictionary[code]);
                    }
                } else if (page.encoding() == parquet::kPlain) {
                    text ? plain_texts(page.values(), page.rows(), keys.keys)
                         : plain_integers(page.values(), page.rows(), keys.keys);
                } else {
                    throw Unsupported();
                }
            });
        return keys;
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

}  // namespace corvane::core
