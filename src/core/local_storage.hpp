// The store's files on a local disk, as plain C++ on paths: what the Storage interface of the bindings
// needs from the operating system for a local root. Free of Python, so callers release the GIL around
// every call; failures are the exceptions of durable_files.hpp.
#pragma once

#include "core/digest_records.hpp"
#include "core/durable_batch.hpp"
#include "core/durable_files.hpp"
#include "core/file_bytes.hpp"

#include <functional>
#include <optional>
#include <string>

namespace corvane::core {

class LocalStorage {
public:
    // One version of the file for reads of a few ranges; nullopt when it is not a regular file.
    std::optional<FileBytes> open(const std::string &path) const { return FileBytes::open(path); }

    // The exclusive lock of the stored file at `path` (see FileLock).
    FileLock lock(const std::string &path, double timeout_seconds, const std::function<bool()> &interrupted) const {
        return FileLock(path, timeout_seconds, interrupted);
    }

    // Removes the file durably (durable_remove).
    void remove(const std::string &path) const { durable_remove(path); }

    // What tells this version of the file from the next.
    std::optional<FileIdentity> version(const std::string &path) const { return identity_of(path); }

    // The digest record of the file at `path` when it describes the file as it is now.
    std::optional<DigestRecord> current_record(const std::string &path) const;
    // Records `record` for the file at `path` as it is now; with `read_as`, only if the file is still
    // that version (another writer may have replaced it since). False when nothing was recorded.
    // `sweeps`, when given, is the batch of writes the record belongs to (see write_digest_record).
    bool bind_record(const std::string &path, DigestRecord record, const std::optional<FileIdentity> &read_as,
                     LeftoverSweeps *sweeps = nullptr) const;
    // Removes the record of the file, if any.
    void forget_record(const std::string &path) const;
};

}  // namespace corvane::core
