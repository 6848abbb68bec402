#include "core/parquet_writer.hpp"
#include "core/parquet_thrift.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace corvane::core {

namespace {

using parquet::Output;

// Parquet's enumerations, as the format numbers them.
// (Named apart from the readers' names, which share a unity batch with this file.)
constexpr int kWriteInt64 = 2;
constexpr int kWriteDouble = 5;
constexpr int kWriteByteArray = 6;
constexpr int kWritePlain = 0;
constexpr int kWriteRle = 3;
constexpr int kWriteOptional = 1;
constexpr int kWriteUtf8 = 0;
constexpr int kWriteDataPage = 0;
constexpr int kWriteUncompressed = 0;
constexpr int kWriteFormatVersion = 2;

// Bytes bound for a file, kept in memory until `flush_at` of them are waiting (never, without a file).
class Sink {
public:
    explicit Sink(std::string &buffer, int fd = -1, const std::string *path = nullptr)
        : buffer_(buffer), fd_(fd), path_(path) {}
    void put(std::string_view bytes) {
        buffer_.append(bytes);
        written_ += static_cast<int64_t>(bytes.size());
        if (fd_ >= 0 && buffer_.size() >= flush_at) {
            flush();
        }
    }
    int64_t offset() const { return written_; }
    void flush() {
        size_t done = 0;
        while (done < buffer_.size()) {
            ssize_t count = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count <= 0) {
                fail(*path_, "cannot write");
            }
            done += static_cast<size_t>(count);
        }
        buffer_.clear();
    }
    [[noreturn]] static void fail(const std::string &path, const char *what) {
        throw std::runtime_error(std::string(what) + " " + path + ": " + std::strerror(errno));
    }

private:
    static constexpr size_t flush_at = 8u << 20;
    std::string &buffer_;
    int fd_;
    const std::string *path_;
    int64_t written_ = 0;
};

void put_le32(std::string &out, uint32_t value) {
    char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
                     static_cast<char>(value >> 24)};
    out.append(bytes, 4);
}

void put_varint(std::string &out, uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<char>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

// Definition levels of bit width 1, length-prefixed as data pages v1 hold them: one run where all
// rows agree, else one bit-packed run (its last group padded, as readers expect).
void put_definition_levels(std::string &out, const std::vector<uint8_t> &bits, int64_t rows, int64_t present) {
    std::string levels;
    if (present == rows || present == 0) {
        put_varint(levels, static_cast<uint64_t>(rows) << 1);
        levels.push_back(present == rows ? 1 : 0);
    } else {
        put_varint(levels, static_cast<uint64_t>(bits.size()) << 1 | 1);
        levels.append(reinterpret_cast<const char *>(bits.data()), bits.size());
    }
    put_le32(out, static_cast<uint32_t>(levels.size()));
    out.append(levels);
}

// The page body of one day's rows [first, first + count): levels, then the values that are not NaN.
void encode_day_page(const CellView &cells, int64_t day, int64_t first, int64_t count, std::string &body) {
    std::vector<uint8_t> bits(static_cast<size_t>((count + 7) / 8), 0);
    std::string values;
    values.resize(static_cast<size_t>(count) * sizeof(double));
    char *out = values.data();
    int64_t present = 0;
    const double *cell = cells.data + first * cells.row_stride + day * cells.day_stride;
    for (int64_t row = 0; row < count; ++row, cell += cells.row_stride) {
        double value = *cell;
        if (!is_hole(value)) {
            bits[static_cast<size_t>(row >> 3)] |= static_cast<uint8_t>(1u << (row & 7));
            std::memcpy(out + present * static_cast<int64_t>(sizeof(double)), &value, sizeof(double));
            ++present;
        }
    }
    values.resize(static_cast<size_t>(present) * sizeof(double));
    put_definition_levels(body, bits, count, present);
    body.append(values);
}

// The page body of the row labels [first, first + count): every one present.
void encode_row_page(const RowKeys &rows, int64_t first, int64_t count, std::string &body) {
    put_definition_levels(body, {}, count, count);
    for (int64_t row = first; row < first + count; ++row) {
        const std::string &key = rows.keys[static_cast<size_t>(row)];
        if (rows.kind == 's') {
            put_le32(body, static_cast<uint32_t>(key.size()));
        }
        body.append(key);
    }
}

void put_page_header(std::string &out, size_t body_size, int64_t values) {
    Output header(out);
    header.begin_struct();
    header.field_i32(1, kWriteDataPage);
    header.field_i32(2, static_cast<int64_t>(body_size));
    header.field_i32(3, static_cast<int64_t>(body_size));
    header.field_struct(5);
    header.field_i32(1, values);
    header.field_i32(2, kWritePlain);
    header.field_i32(3, kWriteRle);
    header.field_i32(4, kWriteRle);
    header.end_struct();
    header.end_struct();
}

struct WrittenChunk {
    int64_t start = 0;
    int64_t size = 0;
};

// One column chunk, page by page; `encode_page(first, count, body)` fills each page's body.
template <typename EncodePage>
WrittenChunk put_chunk(Sink &sink, int64_t rows, int64_t page_rows, EncodePage &&encode_page) {
    WrittenChunk chunk{sink.offset(), 0};
    std::string body;
    std::string header;
    for (int64_t first = 0; first < rows; first += page_rows) {
        int64_t count = std::min(page_rows, rows - first);
        body.clear();
        header.clear();
        encode_page(first, count, body);
        put_page_header(header, body.size(), count);
        sink.put(header);
        sink.put(body);
    }
    chunk.size = sink.offset() - chunk.start;
    return chunk;
}

void put_schema_element(Output &out, std::string_view name, int type, bool text) {
    out.begin_struct();
    out.field_i32(1, type);
    out.field_i32(3, kWriteOptional);
    out.field_binary(4, name);
    if (text) {
        out.field_i32(6, kWriteUtf8);
        out.field_struct(10);  // LogicalType: STRING
        out.field_struct(1);
        out.end_struct();
        out.end_struct();
    }
    out.end_struct();
}

void put_column_chunk(Output &out, std::string_view name, int type, const WrittenChunk &chunk, int64_t rows) {
    out.begin_struct();
    out.field_i64(2, chunk.start);
    out.field_struct(3);
    out.field_i32(1, type);
    out.field_list(2, parquet::kI32, 2);
    out.element_i32(kWritePlain);
    out.element_i32(kWriteRle);
    out.field_list(3, parquet::kBinary, 1);
    out.binary(name);
    out.field_i32(4, kWriteUncompressed);
    out.field_i64(5, rows);
    out.field_i64(6, chunk.size);
    out.field_i64(7, chunk.size);
    out.field_i64(9, chunk.start);
    out.end_struct();
    out.end_struct();
}

// The file metadata: schema, the one row group, key-value metadata and the columns' sort orders.
std::string file_metadata(const MonthFileContent &content, const std::vector<WrittenChunk> &chunks) {
    const int row_type = content.rows->kind == 's' ? kWriteByteArray : kWriteInt64;
    const bool row_text = content.rows->kind == 's';
    const int64_t rows = content.cells.rows;
    const size_t columns = content.day_names.size() + 1;
    std::string bytes;
    Output out(bytes);
    out.begin_struct();
    out.field_i32(1, kWriteFormatVersion);
    out.field_list(2, parquet::kStruct, columns + 1);
    out.begin_struct();
    out.field_binary(4, "schema");
    out.field_i32(5, static_cast<int64_t>(columns));
    out.end_struct();
    for (const std::string &day : content.day_names) {
        put_schema_element(out, day, kWriteDouble, false);
    }
    put_schema_element(out, content.row_field, row_type, row_text);
    out.field_i64(3, rows);

    out.field_list(4, parquet::kStruct, 1);
    out.begin_struct();
    out.field_list(1, parquet::kStruct, columns);
    int64_t total = 0;
    for (size_t at = 0; at < columns; ++at) {
        bool row_column = at + 1 == columns;
        put_column_chunk(out, row_column ? content.row_field : content.day_names[at], row_column ? row_type : kWriteDouble,
                         chunks[at], rows);
        total += chunks[at].size;
    }
    out.field_i64(2, total);
    out.field_i64(3, rows);
    out.field_i64(5, chunks.front().start);
    out.field_i64(6, total);
    out.field_i32(7, 0);  // ordinal (an i16 on the wire, encoded alike)
    out.end_struct();

    out.field_list(5, parquet::kStruct, content.metadata.size());
    for (const auto &[key, value] : content.metadata) {
        out.begin_struct();
        out.field_binary(1, key);
        out.field_binary(2, value);
        out.end_struct();
    }
    out.field_binary(6, "corvane");
    out.field_list(7, parquet::kStruct, columns);
    for (size_t at = 0; at < columns; ++at) {
        out.begin_struct();
        out.field_struct(1);  // TYPE_ORDER
        out.end_struct();
        out.end_struct();
    }
    out.end_struct();
    return bytes;
}

void encode_into(Sink &sink, const MonthFileContent &content, int64_t page_rows) {
    if (content.rows == nullptr || static_cast<int64_t>(content.rows->keys.size()) != content.cells.rows ||
        static_cast<int64_t>(content.day_names.size()) != content.cells.days || content.cells.rows <= 0 ||
        page_rows <= 0 || (content.rows->kind != 's' && content.rows->kind != 'i')) {
        throw std::invalid_argument("month file content does not fit together");
    }
    sink.put("PAR1");
    std::vector<WrittenChunk> chunks;
    const int64_t rows = content.cells.rows;
    for (int64_t day = 0; day < content.cells.days; ++day) {
        chunks.push_back(put_chunk(sink, rows, page_rows, [&](int64_t first, int64_t count, std::string &body) {
            encode_day_page(content.cells, day, first, count, body);
        }));
    }
    chunks.push_back(put_chunk(sink, rows, page_rows, [&](int64_t first, int64_t count, std::string &body) {
        encode_row_page(*content.rows, first, count, body);
    }));
    std::string footer = file_metadata(content, chunks);
    put_le32(footer, static_cast<uint32_t>(footer.size()));
    footer.append("PAR1");
    sink.put(footer);
}

}  // namespace

void encode_month_parquet(const MonthFileContent &content, std::string &out, int64_t page_rows) {
    Sink sink(out);
    encode_into(sink, content, page_rows);
}

void write_month_parquet(const std::string &path, const MonthFileContent &content, int64_t page_rows) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        Sink::fail(path, "cannot open");
    }
    try {
        std::string buffer;
        Sink sink(buffer, fd, &path);
        encode_into(sink, content, page_rows);
        sink.flush();
    } catch (...) {
        ::close(fd);
        throw;
    }
    if (::close(fd) != 0) {
        Sink::fail(path, "cannot close");
    }
}

}  // namespace corvane::core
