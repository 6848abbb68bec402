// The Thrift compact protocol as Parquet files use it for their footers and page headers: a bounded
// cursor over bytes and the skipping of fields a reader does not need, shared by the footer parser
// and the page reader; and the output side the month file writer encodes with.
//
// Plain C++ on byte buffers, free of Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::core::parquet {

// Any malformed or unsupported input ends the read; callers fall back to a full read through pyarrow.
struct Unsupported : std::runtime_error {
    Unsupported() : std::runtime_error("unsupported Parquet layout") {}
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

// Compact-protocol type codes of a field header's low nibble.
enum FieldType : int { kTrue = 1, kFalse = 2, kByte = 3, kI16 = 4, kI32 = 5, kI64 = 6, kDouble = 7, kBinary = 8,
                       kList = 9, kSet = 10, kMap = 11, kStruct = 12 };

// Skips one value; `depth` counts the structs and lists around it, bounded so that crafted nesting
// cannot exhaust the stack.
void skip_value(Cursor &in, int type, int depth = 0);
void skip_struct(Cursor &in, int depth = 0);

// Walks the fields of one struct, calling `field(id, type)` for each; the callback reads the value
// or returns false to have it skipped.
template <typename Field>
void read_struct(Cursor &in, Field &&field) {
    int16_t id = 0;
    for (;;) {
        uint8_t header = in.byte();
        if (header == 0) {
            return;
        }
        id = (header >> 4) ? static_cast<int16_t>(id + (header >> 4)) : static_cast<int16_t>(in.zigzag());
        int type = header & 0x0f;
        if (!field(id, type)) {
            skip_value(in, type);
        }
    }
}

// A list header: the element count and type.
struct ListHeader {
    uint64_t count;
    int element;
};
ListHeader read_list_header(Cursor &in);

// Compact-protocol output appended to a string. Structs are opened and closed explicitly; field ids
// are given in ascending order within each struct, as the delta headers require.
class Output {
public:
    explicit Output(std::string &out) : out_(out) {}
    void begin_struct() { last_ids_.push_back(0); }
    void end_struct() {
        out_.push_back(0);
        last_ids_.pop_back();
    }
    void field_i32(int16_t id, int64_t value) {
        header(id, kI32);
        zigzag(value);
    }
    void field_i64(int16_t id, int64_t value) {
        header(id, kI64);
        zigzag(value);
    }
    void field_binary(int16_t id, std::string_view value) {
        header(id, kBinary);
        binary(value);
    }
    // A struct-valued field; close it with end_struct().
    void field_struct(int16_t id) {
        header(id, kStruct);
        begin_struct();
    }
    // A list-valued field of `count` elements of `element` type, written next by the caller.
    void field_list(int16_t id, int element, size_t count) {
        header(id, kList);
        if (count < 15) {
            out_.push_back(static_cast<char>(count << 4 | static_cast<size_t>(element)));
        } else {
            out_.push_back(static_cast<char>(0xf0 | element));
            varint(count);
        }
    }
    // List elements: a struct element is opened with begin_struct().
    void element_i32(int64_t value) { zigzag(value); }
    void binary(std::string_view value) {
        varint(value.size());
        out_.append(value);
    }

private:
    void header(int16_t id, int type);
    void varint(uint64_t value);
    void zigzag(int64_t value) { varint((static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63)); }

    std::string &out_;
    std::vector<int16_t> last_ids_;
};

}  // namespace corvane::core::parquet
