// Parquet page headers (dictionary pages and data pages of both versions), shared by the readers of
// single values and of whole column chunks.
//
// Plain C++ on byte buffers, free of Python.
#pragma once

#include "core/parquet_thrift.hpp"

#include <cstddef>
#include <cstdint>

namespace corvane::core::parquet {

enum PageType : int { kDataPage = 0, kDictionaryPage = 2, kDataPageV2 = 3 };
enum Encoding : int { kPlain = 0, kPlainDictionary = 2, kRle = 3, kRleDictionary = 8 };

struct PageHeader {
    int type = -1;
    int64_t uncompressed = -1;
    int64_t compressed = -1;
    int64_t values = -1;
    int encoding = -1;
    int level_encoding = kRle;  // definition levels of a v1 page: RLE unless the header says otherwise
    // Data pages v2 only: their levels lie uncompressed before the values, without a length prefix.
    int64_t nulls = -1;
    int64_t definition_bytes = 0;
    int64_t repetition_bytes = 0;
    bool values_compressed = true;
    size_t header_size = 0;  // set by the caller, which knows where the header ended
};

// The header at the cursor; throws Unsupported for a malformed one or one without a value count.
PageHeader read_page_header(Cursor &in);

inline bool by_dictionary(int encoding) { return encoding == kPlainDictionary || encoding == kRleDictionary; }

}  // namespace corvane::core::parquet
