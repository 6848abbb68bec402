// Content digests of month files, kept beside the store (never inside a category directory) and
// bound to the file's identity, so a record outlived by a rewrite is recognised as stale.
#pragma once

#include "core/content_digest.hpp"

#include <optional>
#include <string>

namespace corvane::core {

class LeftoverSweeps;

// What tells one version of a file from another without reading it. The change time is in it
// because nothing can set it back: an edit in place that restores size and mtime still moves it.
struct FileIdentity {
    uint64_t inode = 0;
    uint64_t size = 0;
    int64_t mtime_ns = 0;
    int64_t ctime_ns = 0;

    bool operator==(const FileIdentity &other) const {
        return inode == other.inode && size == other.size && mtime_ns == other.mtime_ns &&
               ctime_ns == other.ctime_ns;
    }
};

// The identity of the file at `path` now; nullopt when it cannot be stat'ed. Taken after the
// rename that installed the file, since a rename moves the change time.
std::optional<FileIdentity> identity_of(const std::string &path);

// A month file's digest, its identity when the digest was taken, the date format its labels were
// written with, and the figures of the identical status line (first and last day, shape), as text.
struct DigestRecord {
    Digest128 digest;
    FileIdentity identity;
    std::string date_format;
    std::string first_day;
    std::string last_day;
    std::string shape;
};

// The record at `record_path`; nullopt when it is missing or unreadable.
std::optional<DigestRecord> read_digest_record(const std::string &record_path);

// Writes the record through a temporary file and a rename, so a reader sees the old or the new one.
// Best effort: false when it could not be written (the record is an optimisation only). The
// directory is swept of dead writers' leftovers first: through `sweeps` when given (once for all the
// records of one batch of writes), otherwise before this record.
bool write_digest_record(const std::string &record_path, const DigestRecord &record,
                         LeftoverSweeps *sweeps = nullptr);

// Removes the record, if any: the file it described is gone or was rewritten without one.
void remove_digest_record(const std::string &record_path);

}  // namespace corvane::core
