// Decodes every column chunk of each file with the core's whole-chunk decoder and prints one JSON
// object per file: per column, its values (null for NaN) or row keys, or null where the core
// refused the chunk. Each double chunk is also decoded scattered (row i to position rows-1-i), and
// "scatter_agrees" says whether that put every value where it belongs.
//
// Usage: chunk_decode_dump FILE...
#include "core/chunk_decode.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace corvane::core;

void print_text(const std::string &text) {
    std::putchar('"');
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            std::printf("\\%c", c);
        } else if (c < 0x20) {
            std::printf("\\u%04x", c);
        } else {
            std::putchar(c);
        }
    }
    std::putchar('"');
}

void print_doubles(const std::vector<double> &values) {
    std::putchar('[');
    for (size_t at = 0; at < values.size(); ++at) {
        std::printf(at ? ", " : "");
        std::isnan(values[at]) ? std::printf("null") : std::printf("%.17g", values[at]);
    }
    std::putchar(']');
}

void print_keys(const RowKeys &keys) {
    std::putchar('[');
    for (size_t at = 0; at < keys.keys.size(); ++at) {
        std::printf(at ? ", " : "");
        if (keys.kind == 'i') {
            int64_t value = 0;
            std::memcpy(&value, keys.keys[at].data(), sizeof value);
            std::printf("%lld", static_cast<long long>(value));
        } else {
            print_text(keys.keys[at]);
        }
    }
    std::putchar(']');
}

bool same_cell(double left, double right) { return left == right || (std::isnan(left) && std::isnan(right)); }

void dump(const char *path) {
    std::optional<FileBytes> file = FileBytes::open(path);
    std::optional<FileLayout> layout = file ? read_layout(*file) : std::nullopt;
    if (!layout) {
        std::printf("null\n");
        return;
    }
    bool scatter_agrees = true;
    std::printf("{\"columns\": {");
    for (size_t at = 0; at < layout->columns.size(); ++at) {
        const ColumnLayout &column = layout->columns[at];
        std::printf(at ? ", " : "");
        print_text(column.name);
        std::printf(": ");
        ChunkSource chunk{&*file, column, layout->rows};
        if (column.type == PhysicalType::kDouble) {
            auto rows = static_cast<size_t>(layout->rows);
            std::vector<double> values(rows);
            if (!decode_doubles(chunk, values.data(), {})) {
                std::printf("null");
                continue;
            }
            Positions reversed(rows);
            for (size_t row = 0; row < rows; ++row) {
                reversed[row] = static_cast<int64_t>(rows - 1 - row);
            }
            std::vector<double> scattered(rows);
            scatter_agrees = scatter_agrees && decode_doubles(chunk, scattered.data(), reversed);
            for (size_t row = 0; row < rows; ++row) {
                scatter_agrees = scatter_agrees && same_cell(scattered[rows - 1 - row], values[row]);
            }
            print_doubles(values);
        } else if (std::optional<RowKeys> keys = decode_keys(chunk)) {
            print_keys(*keys);
        } else {
            std::printf("null");
        }
    }
    std::printf("}, \"scatter_agrees\": %s}\n", scatter_agrees ? "true" : "false");
}

}  // namespace

int main(int argc, char **argv) {
    for (int at = 1; at < argc; ++at) {
        dump(argv[at]);
    }
    return 0;
}
