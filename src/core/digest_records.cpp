#include "core/digest_records.hpp"
#include "core/durable_batch.hpp"
#include "core/durable_files.hpp"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/stat.h>

namespace corvane::core {

namespace fs = std::filesystem;

namespace {

// Version 2 added the change time; records of version 1 read as missing, so the month is read once.
constexpr const char *kRecordHeader = "corvane-digest 2";

// Text fields are stored hex-encoded behind an "x", so any text (empty, blanks, line breaks) is one
// whitespace-free word.
std::string to_hex(const std::string &text) {
    static const char digits[] = "0123456789abcdef";
    std::string out = "x";
    out.reserve(text.size() * 2 + 1);
    for (unsigned char byte : text) {
        out.push_back(digits[byte >> 4]);
        out.push_back(digits[byte & 15]);
    }
    return out;
}

int nibble(char digit) {
    if (digit >= '0' && digit <= '9') {
        return digit - '0';
    }
    if (digit >= 'a' && digit <= 'f') {
        return digit - 'a' + 10;
    }
    return -1;
}

std::optional<std::string> from_hex(const std::string &word) {
    if (word.empty() || word[0] != 'x' || word.size() % 2 != 1) {
        return std::nullopt;
    }
    std::string out;
    for (size_t position = 1; position < word.size(); position += 2) {
        int high = nibble(word[position]);
        int low = nibble(word[position + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out.push_back(static_cast<char>(high * 16 + low));
    }
    return out;
}

std::optional<Digest128> digest_from_hex(const std::string &hex) {
    auto bytes = from_hex("x" + hex);
    if (!bytes || bytes->size() != 16) {
        return std::nullopt;
    }
    Digest128 digest;
    for (int index = 0; index < 8; ++index) {
        digest.high = (digest.high << 8) | static_cast<unsigned char>((*bytes)[index]);
        digest.low = (digest.low << 8) | static_cast<unsigned char>((*bytes)[index + 8]);
    }
    return digest;
}

}  // namespace

std::optional<FileIdentity> identity_of(const std::string &path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    auto nanoseconds = [](const timespec &time) {
        return static_cast<int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
    };
    return FileIdentity{static_cast<uint64_t>(status.st_ino), static_cast<uint64_t>(status.st_size),
                        nanoseconds(status.st_mtim), nanoseconds(status.st_ctim)};
}

std::optional<DigestRecord> read_digest_record(const std::string &record_path) {
    if (record_path.empty()) {
        return std::nullopt;
    }
    std::ifstream in(record_path);
    std::string header, digest_hex, format_hex, first_hex, last_hex, shape_hex;
    DigestRecord record;
    if (!std::getline(in, header) || header != kRecordHeader) {
        return std::nullopt;
    }
    if (!(in >> digest_hex >> record.identity.inode >> record.identity.size >> record.identity.mtime_ns >>
          record.identity.ctime_ns >> format_hex >> first_hex >> last_hex >> shape_hex)) {
        return std::nullopt;
    }
    auto digest = digest_from_hex(digest_hex);
    auto format = from_hex(format_hex);
    auto first = from_hex(first_hex);
    auto last = from_hex(last_hex);
    auto shape = from_hex(shape_hex);
    if (!digest || !format || !first || !last || !shape) {
        return std::nullopt;
    }
    record.digest = *digest;
    record.date_format = *format;
    record.first_day = *first;
    record.last_day = *last;
    record.shape = *shape;
    return record;
}

bool write_digest_record(const std::string &record_path, const DigestRecord &record, LeftoverSweeps *sweeps) {
    if (record_path.empty()) {
        return false;
    }
    fs::path target(record_path);
    std::error_code error;
    fs::create_directories(target.parent_path(), error);
    if (error) {
        return false;
    }
    // Records are written as the store's files are, so a killed writer's half record goes the same way.
    if (sweeps != nullptr) {
        sweeps->sweep(target.parent_path().string());
    } else {
        remove_dead_writers_leftovers(target.parent_path().string(), leftover_age_limit);
    }
    try {
        TemporaryFile temporary(target.parent_path().string());
        std::ostringstream out;
        out << kRecordHeader << "\n"
            << record.digest.hex() << "\n"
            << record.identity.inode << " " << record.identity.size << " " << record.identity.mtime_ns << " "
            << record.identity.ctime_ns << "\n"
            << to_hex(record.date_format) << "\n"
            << to_hex(record.first_day) << "\n"
            << to_hex(record.last_day) << "\n"
            << to_hex(record.shape) << "\n";
        // Through the descriptor the temporary file already has: one open less per record.
        temporary.write(out.str());
        if (std::rename(temporary.path().c_str(), record_path.c_str()) != 0) {
            return false;
        }
        temporary.renamed();
        return true;
    } catch (const SystemCallError &) {
        return false;
    }
}

void remove_digest_record(const std::string &record_path) {
    // ENOENT is the usual case: most files never had a record.
    if (!record_path.empty()) {
        std::remove(record_path.c_str());
    }
}

}  // namespace corvane::core
