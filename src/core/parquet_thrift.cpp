#include "core/parquet_thrift.hpp"

namespace corvane::core::parquet {

void skip_struct(Cursor &in, int depth) {
    read_struct(in, [&](int16_t, int type) {
        skip_value(in, type, depth + 1);
        return true;
    });
}

namespace {

// Inside lists and maps a boolean takes a byte of its own.
void skip_element(Cursor &in, int type, int depth) {
    if (type == kTrue || type == kFalse) {
        in.byte();
    } else {
        skip_value(in, type, depth);
    }
}

}  // namespace

ListHeader read_list_header(Cursor &in) {
    uint8_t header = in.byte();
    uint64_t count = header >> 4;
    if (count == 15) {
        count = in.varint();
    }
    return {count, header & 0x0f};
}

void skip_value(Cursor &in, int type, int depth) {
    if (depth > 64) {
        throw Unsupported();
    }
    switch (type) {
    case kTrue:
    case kFalse:
        return;  // booleans live in the field header
    case kByte:
        in.byte();
        return;
    case kI16:
    case kI32:
    case kI64:
        in.varint();
        return;
    case kDouble:
        in.take(8);
        return;
    case kBinary:
        in.take(in.varint());
        return;
    case kList:
    case kSet: {
        ListHeader list = read_list_header(in);
        for (uint64_t i = 0; i < list.count; ++i) {
            skip_element(in, list.element, depth + 1);
        }
        return;
    }
    case kMap: {
        uint64_t count = in.varint();
        if (count > 0) {
            uint8_t types = in.byte();
            for (uint64_t i = 0; i < count; ++i) {
                skip_element(in, types >> 4, depth + 1);
                skip_element(in, types & 0x0f, depth + 1);
            }
        }
        return;
    }
    case kStruct:
        skip_struct(in, depth + 1);
        return;
    default:
        throw Unsupported();
    }
}

void Output::header(int16_t id, int type) {
    int16_t &last = last_ids_.back();
    int delta = id - last;
    if (delta > 0 && delta <= 15) {
        out_.push_back(static_cast<char>(delta << 4 | type));
    } else {
        out_.push_back(static_cast<char>(type));
        zigzag(id);
    }
    last = id;
}

void Output::varint(uint64_t value) {
    while (value >= 0x80) {
        out_.push_back(static_cast<char>(value | 0x80));
        value >>= 7;
    }
    out_.push_back(static_cast<char>(value));
}

}  // namespace corvane::core::parquet
