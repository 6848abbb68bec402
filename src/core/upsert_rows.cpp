#include "core/upsert_rows.hpp"

#include <algorithm>
#include <unordered_map>

namespace corvane::core {

namespace {

// One 64-bit key per row that two rows share exactly when all their codes agree: the codes read as
// digits of a mixed-radix number. Empty when the radices' product does not fit in 64 bits.
std::vector<uint64_t> radix_keys(const std::vector<const int64_t *> &columns, int64_t rows) {
    std::vector<uint64_t> keys(static_cast<size_t>(rows), 0);
    uint64_t scale = 1;
    for (const int64_t *codes : columns) {
        int64_t largest = rows > 0 ? *std::max_element(codes, codes + rows) : 0;
        uint64_t radix = static_cast<uint64_t>(largest) + 1;
        for (int64_t row = 0; row < rows; ++row) {
            keys[static_cast<size_t>(row)] += static_cast<uint64_t>(codes[row]) * scale;
        }
        if (__builtin_mul_overflow(scale, radix, &scale)) {
            return {};
        }
    }
    return keys;
}

struct CodesHash {
    size_t operator()(const std::vector<int64_t> &codes) const {
        uint64_t hash = 1469598103934665603ULL;
        for (int64_t code : codes) {
            hash = (hash ^ static_cast<uint64_t>(code)) * 1099511628211ULL;
        }
        return static_cast<size_t>(hash);
    }
};

// Dense keys through a map of whole code tuples, for identities too wide for one 64-bit number.
std::vector<uint64_t> tuple_keys(const std::vector<const int64_t *> &columns, int64_t rows) {
    std::unordered_map<std::vector<int64_t>, uint64_t, CodesHash> seen;
    std::vector<uint64_t> keys(static_cast<size_t>(rows));
    std::vector<int64_t> tuple(columns.size());
    for (int64_t row = 0; row < rows; ++row) {
        for (size_t column = 0; column < columns.size(); ++column) {
            tuple[column] = columns[column][row];
        }
        keys[static_cast<size_t>(row)] = seen.emplace(tuple, seen.size()).first->second;
    }
    return keys;
}

}  // namespace

std::vector<uint8_t> upsert_keep_mask(const std::vector<const int64_t *> &columns, int64_t rows, int64_t stored_rows) {
    std::vector<uint64_t> keys = radix_keys(columns, rows);
    if (keys.empty() && rows > 0) {
        keys = tuple_keys(columns, rows);
    }
    // The last incoming row of each identity.
    std::unordered_map<uint64_t, int64_t> last_incoming;
    last_incoming.reserve(static_cast<size_t>(rows - stored_rows));
    for (int64_t row = stored_rows; row < rows; ++row) {
        last_incoming[keys[static_cast<size_t>(row)]] = row;
    }
    std::vector<uint8_t> keep(static_cast<size_t>(rows));
    for (int64_t row = 0; row < rows; ++row) {
        auto found = last_incoming.find(keys[static_cast<size_t>(row)]);
        keep[static_cast<size_t>(row)] = row < stored_rows ? found == last_incoming.end() : found->second == row;
    }
    return keep;
}

}  // namespace corvane::core
