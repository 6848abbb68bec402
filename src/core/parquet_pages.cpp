#include "core/parquet_pages.hpp"

#include "core/page_headers.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>
#include <unordered_map>

namespace corvane::core {

namespace {

using parquet::Cursor;
using parquet::Unsupported;

constexpr size_t kBlock = 1024;  // a level run or a value needs a few bytes, a header a few dozen

// --- page headers --------------------------------------------------------------------------------

using parquet::kDataPage;
using parquet::kDictionaryPage;
using parquet::kPlain;
using parquet::kPlainDictionary;
using parquet::kRle;
using parquet::kRleDictionary;
using parquet::PageHeader;
using parquet::read_page_header;

// The header of the page at `at`: a short read first, since headers are a few dozen bytes, then the
// rest of the chunk for a header that is longer (large statistics).
PageHeader header_at(ChunkBytes &bytes, size_t at) {
    if (at >= bytes.size()) {
        throw Unsupported();
    }
    size_t left = bytes.size() - at;
    for (size_t want = std::min<size_t>(left, 256);; want = std::min(left, want * 16)) {
        try {
            Cursor in(bytes.span(at, want), want);
            PageHeader page = read_page_header(in);
            page.header_size = want - in.left();
            if (static_cast<uint64_t>(page.compressed) > left - page.header_size) {
                throw Unsupported();
            }
            return page;
        } catch (const Unsupported &) {
            if (want == left) {
                throw;
            }
        }
    }
}

// --- page bodies, decompressed as far as asked ---------------------------------------------------

// The uncompressed bytes of one page. A Snappy body is described tag by tag only as far as a read
// needs; bytes inside literals are read in place, and only a read that meets a back-reference
// decodes the page's prefix up to its end.
class PageBody {
public:
    PageBody(ChunkBytes &bytes, size_t offset, const PageHeader &page, bool snappy)
        : bytes_(&bytes), offset_(offset), compressed_(static_cast<size_t>(page.compressed)),
          size_(static_cast<size_t>(page.uncompressed)), snappy_(snappy) {
        if (!snappy_) {
            if (size_ != compressed_) {
                throw Unsupported();
            }
            return;
        }
        uint64_t length = 0;
        for (int shift = 0;; shift += 7) {
            uint8_t next = *compressed(in_++, 1);
            length |= static_cast<uint64_t>(next & 0x7f) << shift;
            if (!(next & 0x80)) {
                break;
            }
            if (shift > 28) {
                throw Unsupported();
            }
        }
        if (length != size_) {
            throw Unsupported();
        }
    }

    size_t size() const { return size_; }

    // Copies [at, at + count) of the page into `into`.
    void read(size_t at, size_t count, uint8_t *into) {
        if (at > size_ || count > size_ - at) {
            throw Unsupported();
        }
        if (!snappy_) {
            std::memcpy(into, bytes_->span(offset_ + at, count), count);
            return;
        }
        describe_until(at + count);
        if (!read_from_literals(at, count, into)) {
            std::memcpy(into, prefix(at + count) + at, count);
        }
    }

    // The first `count` bytes of the page, contiguous.
    const uint8_t *prefix(size_t count) {
        if (count > size_) {
            throw Unsupported();
        }
        if (!snappy_) {
            return bytes_->span(offset_, count);
        }
        describe_until(count);
        if (decoded_.capacity() < size_) {
            decoded_.reserve(size_);  // never moves again: earlier prefixes stay valid
        }
        while (decoded_.size() < count) {
            const Segment &segment = segments_.at(next_decoded_);
            size_t end = std::min(segment.out + segment.length, count);
            decode(segment, end - decoded_.size());
            next_decoded_ += decoded_.size() == segment.out + segment.length;
        }
        return decoded_.data();
    }

private:
    // A run of output: `from` is the literal's position in the compressed body, or a copy's distance.
    struct Segment {
        size_t out;
        size_t length;
        bool literal;
        size_t from;
    };

    const uint8_t *compressed(size_t at, size_t count) {
        if (at > compressed_ || count > compressed_ - at) {
            throw Unsupported();
        }
        return bytes_->span(offset_ + at, count);
    }

    uint64_t little_endian(size_t count) {
        const uint8_t *raw = compressed(in_, count);
        in_ += count;
        uint64_t value = 0;
        for (size_t i = 0; i < count; ++i) {
            value |= static_cast<uint64_t>(raw[i]) << (8 * i);
        }
        return value;
    }

    void describe_until(size_t end) {
        while (out_ < end) {
            uint8_t tag = *compressed(in_++, 1);
            Segment segment{out_, 0, false, 0};
            switch (tag & 3) {
            case 0:
                segment.length = (tag >> 2) + 1;
                if (segment.length > 60) {
                    segment.length = static_cast<size_t>(little_endian(segment.length - 60)) + 1;
                }
                segment.literal = true;
                segment.from = in_;
                if (segment.length > compressed_ - in_) {
                    throw Unsupported();  // checked without fetching the literal's bytes
                }
                in_ += segment.length;
                break;
            case 1:
                segment.length = ((tag >> 2) & 7) + 4;
                segment.from = static_cast<size_t>(tag >> 5) << 8 | *compressed(in_++, 1);
                break;
            case 2:
                segment.length = (tag >> 2) + 1;
                segment.from = static_cast<size_t>(little_endian(2));
                break;
            default:
                segment.length = (tag >> 2) + 1;
                segment.from = static_cast<size_t>(little_endian(4));
                break;
            }
            if ((!segment.literal && (segment.from == 0 || segment.from > out_)) || segment.length > size_ - out_) {
                throw Unsupported();
            }
            out_ += segment.length;
            segments_.push_back(segment);
        }
    }

    // Copies the range when it lies in literals only; false when a back-reference covers any of it.
    bool read_from_literals(size_t at, size_t count, uint8_t *into) {
        auto segment = std::upper_bound(segments_.begin(), segments_.end(), at,
                                        [](size_t position, const Segment &s) { return position < s.out; });
        --segment;  // the first segment starts at 0, so one starts at or before `at`
        for (auto probe = segment; probe != segments_.end() && probe->out < at + count; ++probe) {
            if (!probe->literal) {
                return false;
            }
        }
        for (; count > 0; ++segment) {
            size_t within = at - segment->out;
            size_t take = std::min(count, segment->length - within);
            std::memcpy(into, compressed(segment->from + within, take), take);
            into += take;
            at += take;
            count -= take;
        }
        return true;
    }

    // Appends the next `count` bytes of `segment`, which the decoded bytes have reached.
    void decode(const Segment &segment, size_t count) {
        size_t at = decoded_.size();
        size_t within = at - segment.out;
        decoded_.resize(at + count);
        if (segment.literal) {
            std::memcpy(decoded_.data() + at, compressed(segment.from + within, count), count);
        } else if (segment.from >= count) {
            std::memcpy(decoded_.data() + at, decoded_.data() + at - segment.from, count);
        } else {
            for (size_t i = 0; i < count; ++i) {
                decoded_[at + i] = decoded_[at + i - segment.from];  // copies may overlap what they write
            }
        }
    }

    ChunkBytes *bytes_;
    size_t offset_;
    size_t compressed_;
    size_t size_;
    bool snappy_;
    size_t in_ = 0;
    size_t out_ = 0;
    std::vector<Segment> segments_;
    std::vector<uint8_t> decoded_;
    size_t next_decoded_ = 0;
};

// --- RLE / bit-packed hybrid ---------------------------------------------------------------------

// Reads a hybrid run after run; `skip` and `next` step over values without keeping them.
class HybridReader {
public:
    HybridReader(Cursor in, int bit_width) : in_(in), width_(bit_width) {
        if (bit_width < 0 || bit_width > 32) {
            throw Unsupported();
        }
    }

    uint32_t next() {
        refill();
        --left_;
        if (!packed_) {
            return value_;
        }
        uint32_t value = 0;
        for (int bit = 0; bit < width_; ++bit, ++bit_) {
            value |= static_cast<uint32_t>((packed_[bit_ / 8] >> (bit_ % 8)) & 1) << bit;
        }
        return value;
    }

    // Skips `count` values and returns how many of them equal `value`.
    size_t skip_counting(size_t count, uint32_t value) {
        size_t equal = 0;
        while (count > 0) {
            refill();
            size_t take = std::min<size_t>(count, left_);
            if (!packed_) {
                equal += value_ == value ? take : 0;
                left_ -= take;
            } else if (width_ == 1 && bit_ % 8 == 0 && take >= 8) {
                size_t bytes = take / 8;  // whole bytes of one-bit levels at once
                size_t ones = 0;
                for (size_t i = 0; i < bytes; ++i) {
                    ones += static_cast<size_t>(__builtin_popcount(packed_[bit_ / 8 + i]));
                }
                equal += value == 1 ? ones : value == 0 ? bytes * 8 - ones : 0;
                bit_ += bytes * 8;
                left_ -= bytes * 8;
                take = bytes * 8;
            } else {
                if (width_ == 1 && bit_ % 8 != 0) {
                    take = std::min(take, 8 - bit_ % 8);  // up to the next whole byte
                }
                for (size_t i = 0; i < take; ++i) {
                    equal += next() == value;
                }
            }
            count -= take;
        }
        return equal;
    }

private:
    void refill() {
        while (left_ == 0) {
            uint64_t header = in_.varint();
            if (header & 1) {
                size_t groups = static_cast<size_t>(header >> 1);
                if (groups > in_.left() / std::max(width_, 1) + 1) {
                    throw Unsupported();
                }
                packed_ = in_.take(groups * static_cast<size_t>(width_));
                bit_ = 0;
                left_ = groups * 8;
            } else {
                packed_ = nullptr;
                left_ = static_cast<size_t>(header >> 1);
                value_ = 0;
                const uint8_t *raw = in_.take(static_cast<size_t>((width_ + 7) / 8));
                for (int i = 0; i < (width_ + 7) / 8; ++i) {
                    value_ |= static_cast<uint32_t>(raw[i]) << (8 * i);
                }
            }
        }
    }

    Cursor in_;
    int width_;
    const uint8_t *packed_ = nullptr;
    size_t bit_ = 0;
    size_t left_ = 0;
    uint32_t value_ = 0;
};

int bits_for(int max_level) {
    int bits = 0;
    while ((1 << bits) <= max_level) {
        ++bits;
    }
    return bits;
}

// A data page's definition levels, read as far as the rows asked for: for each, whether it has a
// value and the ordinal of that value among the page's values.
class PageLevels {
public:
    PageLevels(PageBody &body, const PageHeader &page, int max_level) : max_level_(max_level), rows_(page.values) {
        if (max_level == 0) {
            return;
        }
        if (page.level_encoding != kRle) {
            throw Unsupported();  // the deprecated bit-packed levels carry no length prefix
        }
        uint8_t prefix[4];
        body.read(0, 4, prefix);
        uint32_t length = Cursor(prefix, 4).le32();
        if (length > body.size() - 4) {
            throw Unsupported();
        }
        bytes_.resize(length);
        body.read(4, length, bytes_.data());
        levels_ = HybridReader(Cursor(bytes_.data(), length), bits_for(max_level));
        values_start_ = 4 + length;
    }

    size_t values_start() const { return values_start_; }

    // The ordinal of row `within` (ascending from call to call), or -1 for a null.
    int64_t ordinal_of(int64_t within) {
        if (within < seen_ || within >= rows_) {
            throw Unsupported();
        }
        if (max_level_ == 0) {
            seen_ = within + 1;
            return within;
        }
        ordinal_ += static_cast<int64_t>(levels_.skip_counting(static_cast<size_t>(within - seen_),
                                                                static_cast<uint32_t>(max_level_)));
        seen_ = within + 1;
        if (levels_.next() != static_cast<uint32_t>(max_level_)) {
            return -1;
        }
        return ordinal_++;
    }

private:
    int max_level_;
    int64_t rows_;
    std::vector<uint8_t> bytes_;
    HybridReader levels_{Cursor(nullptr, 0), 0};  // unused without levels
    size_t values_start_ = 0;
    int64_t seen_ = 0;
    int64_t ordinal_ = 0;
};

// The double at `at` of the page, from `whole` where the page is already decoded.
double double_at(PageBody &body, const uint8_t *whole, size_t at) {
    double value;
    if (whole && at <= body.size() && body.size() - at >= 8) {
        std::memcpy(&value, whole + at, 8);
    } else {
        body.read(at, 8, reinterpret_cast<uint8_t *>(&value));
    }
    return value;
}

// PLAIN BYTE_ARRAY values of a buffer, in order.
std::vector<std::pair<const uint8_t *, size_t>> plain_texts(const uint8_t *data, size_t size, size_t count) {
    Cursor in(data, size);
    std::vector<std::pair<const uint8_t *, size_t>> texts;
    texts.reserve(std::min(count, size / 4));
    for (size_t i = 0; i < count; ++i) {
        uint32_t length = in.le32();
        texts.emplace_back(in.take(length), length);
    }
    return texts;
}

// Which wanted label a stored text equals: a scan for a few labels, a hash look-up for many.
class LabelIndex {
public:
    explicit LabelIndex(const std::vector<std::string> &labels) : labels_(labels) {
        if (labels.size() > 8) {
            for (size_t at = labels.size(); at-- > 0;) {
                positions_[labels[at]] = at;  // the first of equal labels wins
            }
        }
    }

    // The label that `text` equals, or -1.
    int64_t find(const uint8_t *text, size_t size) const {
        std::string_view key(reinterpret_cast<const char *>(text), size);
        if (!positions_.empty()) {
            auto found = positions_.find(key);
            return found == positions_.end() ? -1 : static_cast<int64_t>(found->second);
        }
        for (size_t at = 0; at < labels_.size(); ++at) {
            if (labels_[at] == key) {
                return static_cast<int64_t>(at);
            }
        }
        return -1;
    }

private:
    const std::vector<std::string> &labels_;
    std::unordered_map<std::string_view, size_t> positions_;
};

}  // namespace

ChunkBytes::ChunkBytes(FileBytes file, int64_t start, size_t size)
    : file_(std::move(file)), start_(start), size_(size), direct_(nullptr) {
    if (start_ < 0 || start_ > file_.size() || static_cast<int64_t>(size_) > file_.size() - start_) {
        size_ = 0;  // every span is then refused
    } else if (file_.memory()) {
        direct_ = file_.memory() + start_;
    } else {
        buffer_.reset(new uint8_t[std::max<size_t>(size_, 1)]);
        loaded_.assign((size_ + kBlock - 1) / kBlock, false);
    }
}

const uint8_t *ChunkBytes::span(size_t offset, size_t length) {
    if (offset > size_ || length > size_ - offset) {
        throw Unsupported();
    }
    if (direct_ || length == 0) {
        return direct_ ? direct_ + offset : buffer_.get() + offset;
    }
    size_t last = (offset + length - 1) / kBlock;
    for (size_t block = offset / kBlock; block <= last; ++block) {
        if (loaded_[block]) {
            continue;
        }
        size_t end = block;
        while (end < last && !loaded_[end + 1]) {
            ++end;
        }
        size_t from = block * kBlock;
        size_t to = std::min(size_, (end + 1) * kBlock);
        if (!file_.read(start_ + static_cast<int64_t>(from), to - from, buffer_.get() + from)) {
            throw Unsupported();
        }
        std::fill(loaded_.begin() + static_cast<std::ptrdiff_t>(block), loaded_.begin() + static_cast<std::ptrdiff_t>(end) + 1, true);
        block = end;
    }
    return buffer_.get() + offset;
}

std::optional<std::vector<RowMatch>> rows_holding(const ColumnChunk &column, const std::vector<std::string> &labels) {
    try {
        ChunkBytes &bytes = *column.bytes;
        LabelIndex index(labels);
        std::vector<int64_t> dictionary_label;  // per dictionary code, the label it equals or -1
        std::vector<RowMatch> rows;
        int64_t row = 0;
        for (size_t at = 0; row < column.rows;) {
            PageHeader page = header_at(bytes, at);
            PageBody body(bytes, at + page.header_size, page, column.snappy);
            at += page.header_size + static_cast<size_t>(page.compressed);
            const uint8_t *data = body.prefix(body.size());
            if (page.type == kDictionaryPage) {
                if (page.encoding != kPlain && page.encoding != kPlainDictionary) {
                    throw Unsupported();
                }
                dictionary_label.clear();
                for (auto [text, size] : plain_texts(data, body.size(), static_cast<size_t>(page.values))) {
                    dictionary_label.push_back(index.find(text, size));
                }
                continue;
            }
            if (page.type != kDataPage) {
                throw Unsupported();
            }
            PageLevels levels(body, page, column.max_definition_level);
            Cursor values(data + levels.values_start(), body.size() - levels.values_start());
            bool dictionary = page.encoding == kPlainDictionary || page.encoding == kRleDictionary;
            if (!dictionary && page.encoding != kPlain) {
                throw Unsupported();
            }
            std::optional<HybridReader> codes;
            if (dictionary) {
                int width = values.byte();
                codes.emplace(values, width);
            }
            for (int64_t within = 0; within < page.values; ++within) {
                if (levels.ordinal_of(within) < 0) {
                    continue;
                }
                int64_t label = -1;
                if (codes) {
                    uint32_t code = codes->next();
                    label = code < dictionary_label.size() ? dictionary_label[code] : throw Unsupported();
                } else {
                    uint32_t length = values.le32();
                    label = index.find(values.take(length), length);
                }
                if (label >= 0) {
                    rows.push_back({row + within, static_cast<size_t>(label)});
                }
            }
            row += page.values;
        }
        return rows;
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

std::optional<std::vector<double>> doubles_at(const ColumnChunk &column, const std::vector<int64_t> &rows) {
    try {
        ChunkBytes &bytes = *column.bytes;
        std::vector<double> values;
        values.reserve(rows.size());
        std::optional<PageHeader> dictionary_header;
        size_t dictionary_at = 0;
        std::optional<PageBody> dictionary;
        int64_t row = 0;
        size_t next = 0;
        for (size_t at = 0; next < rows.size();) {
            if (row >= column.rows) {
                throw Unsupported();
            }
            PageHeader page = header_at(bytes, at);
            size_t body_at = at + page.header_size;
            at = body_at + static_cast<size_t>(page.compressed);
            if (page.type == kDictionaryPage) {
                if (page.encoding != kPlain && page.encoding != kPlainDictionary) {
                    throw Unsupported();
                }
                dictionary_header = page;  // decoded only if a wanted value refers to it
                dictionary_at = body_at;
                dictionary.reset();
                continue;
            }
            if (page.type != kDataPage) {
                throw Unsupported();
            }
            int64_t end = row + page.values;
            if (rows[next] < row) {
                throw Unsupported();  // rows must ascend
            }
            if (rows[next] >= end) {
                row = end;  // no wanted row here: the body is never read
                continue;
            }
            auto in_page = std::lower_bound(rows.begin() + static_cast<std::ptrdiff_t>(next), rows.end(), end) -
                           (rows.begin() + static_cast<std::ptrdiff_t>(next));
            PageBody body(bytes, body_at, page, column.snappy);
            // Many values of the page: one read and one decode of all of it.
            const uint8_t *whole = static_cast<size_t>(in_page) * kBlock * 2 >= static_cast<size_t>(page.compressed)
                                       ? body.prefix(body.size()) : nullptr;
            PageLevels levels(body, page, column.max_definition_level);
            bool by_dictionary = page.encoding == kPlainDictionary || page.encoding == kRleDictionary;
            if (!by_dictionary && page.encoding != kPlain) {
                throw Unsupported();
            }
            std::optional<HybridReader> codes;
            int64_t codes_read = 0;
            if (by_dictionary) {
                if (!dictionary_header) {
                    throw Unsupported();
                }
                if (!dictionary) {
                    dictionary.emplace(bytes, dictionary_at, *dictionary_header, column.snappy);
                }
                const uint8_t *data = body.prefix(body.size()) + levels.values_start();
                Cursor in(data, body.size() - levels.values_start());
                int width = in.byte();
                codes.emplace(in, width);
            }
            for (; next < rows.size() && rows[next] < end; ++next) {
                int64_t ordinal = levels.ordinal_of(rows[next] - row);
                if (ordinal < 0) {
                    values.push_back(std::numeric_limits<double>::quiet_NaN());
                } else if (codes) {
                    codes->skip_counting(static_cast<size_t>(ordinal - codes_read), 0);
                    uint32_t code = codes->next();
                    codes_read = ordinal + 1;
                    if (code >= static_cast<uint64_t>(dictionary_header->values)) {
                        throw Unsupported();
                    }
                    values.push_back(double_at(*dictionary, nullptr, static_cast<size_t>(code) * 8));
                } else {
                    values.push_back(double_at(body, whole, levels.values_start() + static_cast<size_t>(ordinal) * 8));
                }
            }
            row = end;
        }
        return values;
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

}  // namespace corvane::core
