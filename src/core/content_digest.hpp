// A 128-bit content digest of a month frame: MurmurHash3 (x64, 128-bit variant) over a canonical
// serialisation, so equal frames give equal digests whatever their row and day order.
#pragma once

#include "core/month_grid.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace corvane::core {

struct Digest128 {
    uint64_t high = 0;
    uint64_t low = 0;

    bool operator==(const Digest128 &other) const { return high == other.high && low == other.low; }
    // 32 lower-case hex digits, high half first.
    std::string hex() const;
};

// Incremental MurmurHash3_x64_128: bytes fed in any pieces hash as if fed at once.
class Murmur3Stream {
public:
    explicit Murmur3Stream(uint32_t seed = 0) : h1_(seed), h2_(seed) {}
    void update(const void *bytes, size_t length);
    Digest128 finish() const;

private:
    void mix_block(const uint8_t *block);

    uint64_t h1_, h2_;
    uint8_t pending_[16] = {};
    size_t pending_length_ = 0;
    uint64_t total_length_ = 0;
};

// Digest of the cells and labels the identical test compares: rows ordered by label, days ascending,
// every hole hashed alike. Callers drop rows without values first.
Digest128 month_digest(const CellView &cells, const RowKeys &rows, const std::vector<int64_t> &days);

}  // namespace corvane::core
