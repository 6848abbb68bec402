#include "core/local_storage.hpp"

#include "core/store_layout.hpp"

namespace corvane::core {

std::optional<DigestRecord> LocalStorage::current_record(const std::string &path) const {
    std::optional<DigestRecord> record = read_digest_record(layout::digest_record_path(path));
    if (!record) {
        return std::nullopt;
    }
    // A record outlived by a rewrite vouches for content that is no longer there.
    std::optional<FileIdentity> now = identity_of(path);
    if (!now || !(*now == record->identity)) {
        return std::nullopt;
    }
    return record;
}

bool LocalStorage::bind_record(const std::string &path, DigestRecord record, const std::optional<FileIdentity> &read_as,
                               LeftoverSweeps *sweeps) const {
    std::optional<FileIdentity> now = identity_of(path);
    if (!now || (read_as && !(*now == *read_as))) {
        return false;
    }
    record.identity = *now;
    return write_digest_record(layout::digest_record_path(path), record, sweeps);
}

void LocalStorage::forget_record(const std::string &path) const { remove_digest_record(layout::digest_record_path(path)); }

}  // namespace corvane::core
