#include "core/page_headers.hpp"

namespace corvane::core::parquet {

namespace {

// Fields 1 to 3 (num_values, encoding, definition_level_encoding) of DataPageHeader or
// DictionaryPageHeader.
void read_values_and_encoding(Cursor &in, PageHeader &page) {
    read_struct(in, [&](int16_t id, int type) {
        if (type != kI32 || id < 1 || id > 3) {
            return false;
        }
        int64_t value = in.zigzag();
        if (id == 1) {
            page.values = value;
        } else if (id == 2) {
            page.encoding = static_cast<int>(value);
        } else {
            page.level_encoding = static_cast<int>(value);
        }
        return true;
    });
}

void read_v2_header(Cursor &in, PageHeader &page) {
    read_struct(in, [&](int16_t id, int type) {
        if (id == 7 && (type == kTrue || type == kFalse)) {
            page.values_compressed = type == kTrue;  // compact booleans carry their value in the type
            return true;
        }
        if (type != kI32 || id < 1 || id > 6) {
            return false;
        }
        int64_t value = in.zigzag();
        switch (id) {
        case 1: page.values = value; break;
        case 2: page.nulls = value; break;
        case 4: page.encoding = static_cast<int>(value); break;
        case 5: page.definition_bytes = value; break;
        case 6: page.repetition_bytes = value; break;
        default: break;  // num_rows equals num_values in flat columns
        }
        return true;
    });
    if (page.nulls < 0 || page.definition_bytes < 0 || page.repetition_bytes < 0) {
        throw Unsupported();
    }
}

}  // namespace

PageHeader read_page_header(Cursor &in) {
    PageHeader page;
    read_struct(in, [&](int16_t id, int type) {
        if (id == 1 && type == kI32) {
            page.type = static_cast<int>(in.zigzag());
        } else if (id == 2 && type == kI32) {
            page.uncompressed = in.zigzag();
        } else if (id == 3 && type == kI32) {
            page.compressed = in.zigzag();
        } else if ((id == 5 || id == 7) && type == kStruct) {
            read_values_and_encoding(in, page);
        } else if (id == 8 && type == kStruct) {
            read_v2_header(in, page);
        } else {
            return false;
        }
        return true;
    });
    if (page.uncompressed < 0 || page.compressed < 0 || page.values < 0) {
        throw Unsupported();
    }
    return page;
}

}  // namespace corvane::core::parquet
