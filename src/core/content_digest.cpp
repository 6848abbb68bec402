#include "core/content_digest.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace corvane::core {

namespace {

constexpr uint64_t kC1 = 0x87c37b91114253d5ULL;
constexpr uint64_t kC2 = 0x4cf5ad432745937fULL;

inline uint64_t rotate_left(uint64_t value, int bits) { return (value << bits) | (value >> (64 - bits)); }

inline uint64_t final_mix(uint64_t k) {
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdULL;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ULL;
    k ^= k >> 33;
    return k;
}

inline uint64_t load_le64(const uint8_t *bytes) {
    uint64_t value = 0;
    for (int index = 7; index >= 0; --index) {
        value = (value << 8) | bytes[index];
    }
    return value;
}

inline uint64_t scramble_k1(uint64_t k1) { return rotate_left(k1 * kC1, 31) * kC2; }
inline uint64_t scramble_k2(uint64_t k2) { return rotate_left(k2 * kC2, 33) * kC1; }

// Positions 0..count-1 in the order their labels sort. Stored months are usually sorted already, and
// the check is far cheaper than the sort.
template <typename Label>
std::vector<int64_t> order_of(const std::vector<Label> &labels) {
    std::vector<int64_t> order(labels.size());
    std::iota(order.begin(), order.end(), 0);
    if (!std::is_sorted(labels.begin(), labels.end())) {
        std::sort(order.begin(), order.end(), [&](int64_t left, int64_t right) { return labels[left] < labels[right]; });
    }
    return order;
}

void feed_u64(Murmur3Stream &stream, uint64_t value) {
    uint8_t bytes[8];
    for (int index = 0; index < 8; ++index) {
        bytes[index] = static_cast<uint8_t>(value >> (8 * index));
    }
    stream.update(bytes, sizeof bytes);
}

// One bit pattern per cell value: every hole alike, so NaN payloads do not matter.
uint64_t cell_bits(double value) {
    if (is_hole(value)) {
        return 0x7ff8000000000000ULL;
    }
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

}  // namespace

std::string Digest128::hex() const {
    static const char digits[] = "0123456789abcdef";
    std::string text(32, '0');
    for (int index = 0; index < 16; ++index) {
        text[15 - index] = digits[(high >> (4 * index)) & 15];
        text[31 - index] = digits[(low >> (4 * index)) & 15];
    }
    return text;
}

void Murmur3Stream::mix_block(const uint8_t *block) {
    h1_ ^= scramble_k1(load_le64(block));
    h1_ = rotate_left(h1_, 27) + h2_;
    h1_ = h1_ * 5 + 0x52dce729;
    h2_ ^= scramble_k2(load_le64(block + 8));
    h2_ = rotate_left(h2_, 31) + h1_;
    h2_ = h2_ * 5 + 0x38495ab5;
}

void Murmur3Stream::update(const void *bytes, size_t length) {
    const auto *input = static_cast<const uint8_t *>(bytes);
    total_length_ += length;
    if (pending_length_ > 0) {
        size_t take = std::min(length, 16 - pending_length_);
        std::memcpy(pending_ + pending_length_, input, take);
        pending_length_ += take;
        input += take;
        length -= take;
        if (pending_length_ < 16) {
            return;
        }
        mix_block(pending_);
        pending_length_ = 0;
    }
    for (; length >= 16; input += 16, length -= 16) {
        mix_block(input);
    }
    std::memcpy(pending_, input, length);
    pending_length_ = length;
}

Digest128 Murmur3Stream::finish() const {
    uint64_t h1 = h1_;
    uint64_t h2 = h2_;
    uint64_t k1 = 0;
    uint64_t k2 = 0;
    // The tail: bytes 8..15 go to k2, bytes 0..7 to k1, little-endian, as in the reference algorithm.
    for (size_t index = pending_length_; index > 8; --index) {
        k2 = (k2 << 8) | pending_[index - 1];
    }
    for (size_t index = std::min<size_t>(pending_length_, 8); index > 0; --index) {
        k1 = (k1 << 8) | pending_[index - 1];
    }
    if (pending_length_ > 8) {
        h2 ^= scramble_k2(k2);
    }
    if (pending_length_ > 0) {
        h1 ^= scramble_k1(k1);
    }
    h1 ^= total_length_;
    h2 ^= total_length_;
    h1 += h2;
    h2 += h1;
    h1 = final_mix(h1);
    h2 = final_mix(h2);
    h1 += h2;
    h2 += h1;
    return Digest128{h1, h2};
}

Digest128 month_digest(const CellView &cells, const RowKeys &rows, const std::vector<int64_t> &days) {
    Murmur3Stream stream;
    // A header first, so frames of other shapes or label kinds cannot collide by concatenation.
    const char header[] = {'c', 'v', 'f', '8', rows.kind};
    stream.update(header, sizeof header);
    feed_u64(stream, static_cast<uint64_t>(cells.rows));
    feed_u64(stream, static_cast<uint64_t>(cells.days));
    std::vector<int64_t> day_order = order_of(days);
    for (int64_t day : day_order) {
        feed_u64(stream, static_cast<uint64_t>(days[day]));
    }
    std::vector<uint64_t> row_bits(day_order.size());
    for (int64_t row : order_of(rows.keys)) {
        const std::string &key = rows.keys[row];
        feed_u64(stream, key.size());
        stream.update(key.data(), key.size());
        for (size_t position = 0; position < day_order.size(); ++position) {
            row_bits[position] = cell_bits(cells.at(row, day_order[position]));
        }
        // Cells are hashed as little-endian bytes on the machines we build for.
        stream.update(row_bits.data(), row_bits.size() * sizeof(uint64_t));
    }
    return stream.finish();
}

}  // namespace corvane::core
