#include "core/snappy_block.hpp"

#include <cstring>

namespace corvane::core {

namespace {

// The preamble's varint: the uncompressed length, and how many bytes it took.
bool read_preamble(const uint8_t *in, size_t size, uint64_t &length, size_t &used) {
    length = 0;
    for (used = 0; used < size && used < 5; ++used) {
        length |= static_cast<uint64_t>(in[used] & 0x7f) << (7 * used);
        if (!(in[used] & 0x80)) {
            ++used;
            return length <= 0xffffffffu;
        }
    }
    return false;
}

uint32_t little_endian(const uint8_t *at, size_t count) {
    uint32_t value = 0;
    for (size_t i = 0; i < count; ++i) {
        value |= static_cast<uint32_t>(at[i]) << (8 * i);
    }
    return value;
}

}  // namespace

std::optional<size_t> snappy_length(const uint8_t *in, size_t size) {
    uint64_t length = 0;
    size_t used = 0;
    if (!read_preamble(in, size, length, used)) {
        return std::nullopt;
    }
    return static_cast<size_t>(length);
}

bool snappy_decompress(const uint8_t *in, size_t size, uint8_t *out, size_t out_size) {
    uint64_t length = 0;
    size_t at = 0;
    if (!read_preamble(in, size, length, at) || length != out_size) {
        return false;
    }
    size_t written = 0;
    while (at < size) {
        uint8_t tag = in[at++];
        size_t count = 0;
        size_t distance = 0;
        switch (tag & 3) {
        case 0: {
            count = (tag >> 2) + 1;
            if (count > 60) {
                size_t extra = count - 60;
                if (size - at < extra) {
                    return false;
                }
                count = static_cast<size_t>(little_endian(in + at, extra)) + 1;
                at += extra;
            }
            if (size - at < count || out_size - written < count) {
                return false;
            }
            std::memcpy(out + written, in + at, count);
            at += count;
            written += count;
            continue;
        }
        case 1:
            if (at >= size) {
                return false;
            }
            count = ((tag >> 2) & 7) + 4;
            distance = static_cast<size_t>(tag >> 5) << 8 | in[at++];
            break;
        default: {  // a copy whose offset takes two bytes (tag 2) or four (tag 3)
            size_t width = (tag & 3) == 2 ? 2 : 4;
            if (size - at < width) {
                return false;
            }
            count = (tag >> 2) + 1;
            distance = little_endian(in + at, width);
            at += width;
            break;
        }
        }
        if (distance == 0 || distance > written || out_size - written < count) {
            return false;
        }
        uint8_t *to = out + written;
        const uint8_t *from = to - distance;
        if (distance >= count) {
            std::memcpy(to, from, count);
        } else {
            for (size_t i = 0; i < count; ++i) {
                to[i] = from[i];  // an overlapping copy repeats the pattern it is writing
            }
        }
        written += count;
    }
    return written == out_size;
}

}  // namespace corvane::core
