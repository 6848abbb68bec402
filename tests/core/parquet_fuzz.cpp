// Feeds damaged copies of Parquet files to the core's parser: every truncation on a grid, and
// variants with bits flipped or bytes overwritten (footer and pages alike), from a fixed seed. Each
// one must be described or refused; an exception or a sanitizer report is a fault.
//
// Usage: parquet_fuzz SEED VARIANTS FILE...; prints one JSON object of counts per file.
#include "core/chunk_decode.hpp"
#include "core/file_bytes.hpp"
#include "core/parquet_footer.hpp"
#include "core/parquet_pages.hpp"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace corvane::core;

struct Counts {
    long described = 0;   // a layout came out
    long refused = 0;     // the footer was refused
    long pages_read = 0;  // a column's pages gave values
    long pages_refused = 0;
    long chunks_decoded = 0;  // a whole chunk decoded into a block column or row keys
    long chunks_refused = 0;
    long exceptions = 0;
    std::string first_exception;
    bool intact_described = false;
    long truncations = 0;
    long truncations_described = 0;  // a cut file has lost its footer's end: none may be described
};

// Parses `bytes` as a file and, where a layout comes out, reads rows and values from every column.
// Whether a layout came out.
bool feed(const std::vector<uint8_t> &bytes, Counts &counts) {
    try {
        FileBytes file(bytes.data(), bytes.size());
        std::optional<FileLayout> layout = read_layout(file);
        if (!layout) {
            ++counts.refused;
            return false;
        }
        ++counts.described;
        for (const ColumnLayout &column : layout->columns) {
            ChunkSource whole{&file, column, layout->rows};
            bool decoded = false;
            if (column.type == PhysicalType::kDouble) {
                // Rows as the footer claims them: a damaged count may not push writes past the column.
                std::vector<double> out(static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(layout->rows, 0), 1 << 20)));
                decoded = static_cast<int64_t>(out.size()) == layout->rows && decode_doubles(whole, out.data(), {});
            } else {
                decoded = decode_keys(whole).has_value();
            }
            ++(decoded ? counts.chunks_decoded : counts.chunks_refused);
            ChunkBytes chunk_bytes(file, column.start, static_cast<size_t>(column.size));
            ColumnChunk chunk{&chunk_bytes, column.snappy, column.max_definition_level, layout->rows};
            bool read = false;
            if (column.type == PhysicalType::kByteArray) {
                read = rows_holding(chunk, {"a", "s0001", "s0042", ""}).has_value();
            } else if (column.type == PhysicalType::kDouble && layout->rows > 0) {
                std::vector<int64_t> rows{0, layout->rows / 2, layout->rows - 1};
                if (rows[1] == 0 || rows[1] == rows[2]) {
                    rows = {0};
                }
                read = doubles_at(chunk, rows).has_value();
            } else {
                continue;
            }
            ++(read ? counts.pages_read : counts.pages_refused);
        }
        return true;
    } catch (const std::exception &error) {
        if (counts.exceptions++ == 0) {
            counts.first_exception = error.what();
        }
        return false;
    }
}

void fuzz(const std::vector<uint8_t> &original, unsigned seed, long variants, Counts &counts) {
    counts.intact_described = feed(original, counts);
    // Truncations: every length near the ends, a grid in between.
    size_t size = original.size();
    size_t step = size / 256 + 1;
    for (size_t length = 0; length < size; ++length) {
        if (length < 64 || size - length <= 64 || length % step == 0) {
            ++counts.truncations;
            std::vector<uint8_t> cut(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(length));
            counts.truncations_described += feed(cut, counts) ? 1 : 0;
        }
    }
    std::mt19937 random(seed);
    // Half the damage lands in the footer's last few hundred bytes, where lengths and offsets live.
    size_t tail = size < 512 ? size : 512;
    for (long variant = 0; variant < variants; ++variant) {
        std::vector<uint8_t> damaged = original;
        int changes = 1 + static_cast<int>(random() % 4);
        for (int change = 0; change < changes; ++change) {
            size_t at = random() % 2 == 0 ? size - 1 - random() % tail : random() % size;
            if (random() % 3 == 0) {
                damaged[at] = static_cast<uint8_t>(random());
            } else {
                damaged[at] ^= static_cast<uint8_t>(1u << (random() % 8));
            }
        }
        feed(damaged, counts);
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s SEED VARIANTS FILE...\n", argv[0]);
        return 2;
    }
    unsigned seed = static_cast<unsigned>(std::stoul(argv[1]));
    long variants = std::stol(argv[2]);
    for (int at = 3; at < argc; ++at) {
        std::ifstream in(argv[at], std::ios::binary);
        std::vector<uint8_t> original((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        Counts counts;
        fuzz(original, seed, variants, counts);
        std::printf("{\"described\": %ld, \"refused\": %ld, \"pages_read\": %ld, \"pages_refused\": %ld, "
                    "\"exceptions\": %ld, \"first_exception\": \"%s\", \"intact_described\": %s, \"truncations\": %ld, "
                    "\"truncations_described\": %ld, \"chunks_decoded\": %ld, \"chunks_refused\": %ld}\n",
                    counts.described, counts.refused, counts.pages_read, counts.pages_refused, counts.exceptions,
                    counts.first_exception.c_str(), counts.intact_described ? "true" : "false", counts.truncations,
                    counts.truncations_described, counts.chunks_decoded, counts.chunks_refused);
    }
    return 0;
}
