// Where the store's files live: one Storage interface, one implementation per kind of root, chosen
// from the root's path by storage_for alone. Orchestration reaches stored files only through it and
// never asks which kind of root it has: where the kinds differ, the interface says what to do.
//
// LocalFiles serves local paths with core/local_storage.hpp and the local helpers of
// bindings/pyglue.hpp (flock, fsync, atomic replace). A path spelled scheme://... is served by the
// Python backend registered for its scheme in corvane._storage_schemes: s3:// by the module
// corvane._object_storage (one maintained object-store client: whole-object reads, writes as single
// PUTs, made conditional inside run_exclusively). Every function needs the GIL.
#pragma once

#include "core/digest_records.hpp"
#include "core/file_bytes.hpp"

#include <pybind11/pybind11.h>

#include <functional>
#include <optional>

namespace corvane::native {

namespace py = pybind11;

// One consistent version of a stored file for reads of a few byte ranges: locally the open file,
// read on demand (`bytes`, usable without the GIL); on object storage its bytes from one GET, which
// `owner` keeps alive.
struct StoredBytes {
    core::FileBytes bytes;
    py::object owner;
};

class Storage {
public:
    virtual ~Storage() = default;

    // Names directly under a directory (os.listdir); on object storage, under a key prefix.
    virtual py::list list_directory(const py::handle &path) const = 0;
    // The names under a directory that are regular files.
    virtual py::list list_regular_files(const py::handle &path) const = 0;
    // os.path.exists; on object storage an object, or a prefix with an object under it.
    virtual bool exists(const py::handle &path) const = 0;
    // Whether `path` is a directory, which a read hands to pandas as a dataset; objects never are.
    virtual bool is_directory(const py::handle &path) const = 0;
    // ensure_directory; nothing to do on object storage, where prefixes exist through their objects.
    virtual void make_directories(const py::handle &path) const = 0;
    // Removes the directory when nothing is left in it; prefixes vanish with their last object.
    virtual void remove_directory_if_empty(const py::handle &directory) const = 0;
    // Drops what the store keeps beside a removed category (its locks and digest records).
    virtual void forget_category(const py::handle &root, const py::handle &category) const = 0;

    // One consistent version of a stored Parquet file, as a DataFrame.
    virtual py::object read_parquet(const py::handle &path) const = 0;
    // The same for a month file about to be merged: locally decoded without pandas' reader.
    virtual py::object read_month(const py::handle &path) const = 0;
    // Replaces a stored Parquet file whole: readers see the old or the new one, never a part.
    virtual void write_parquet(const py::handle &frame, const py::handle &path) const = 0;
    // Replaces the file with what `write` puts in the local temporary file it is given, as
    // write_parquet replaces it; false, having done nothing, where the files are not local.
    virtual bool write_through_local_file(const py::handle &path,
                                          const std::function<void(const py::str &temporary)> &write) const = 0;
    // Replaces a stored file whole with `data`, as write_parquet replaces it.
    virtual void write_bytes(const py::handle &path, const py::bytes &data) const = 0;
    // Removes a stored file durably (its directory fsynced afterwards), so that after a power cut it
    // is gone or whole; on object storage one DELETE, refused with a write conflict inside
    // run_exclusively when another writer replaced the object since body read it.
    virtual void remove(const py::handle &path) const = 0;

    // The bytes of one consistent version of a stored file (one open and read; one GET).
    virtual py::object read_bytes(const py::handle &path) const = 0;
    // One version for reads of a few ranges; nullopt where a local file cannot be opened as a
    // regular file.
    virtual std::optional<StoredBytes> open_bytes(const py::handle &path) const = 0;

    // Runs body, a read-merge-write of the file at `path`, so that no concurrent writer's update of
    // it is lost. Locally: under the file's lock (lock_stored_file). On object storage: the write is
    // conditional on the version body read, and body runs again after a conflict, so a body must
    // print its status line only after its write.
    virtual void run_exclusively(const py::handle &path, const std::function<void()> &body) const = 0;

    // Digest records of month files, bound to one version of the file: locally its identity, on
    // object storage the ETag that the running run_exclusively saw.
    //
    // The version of the file now, taken before a read so that a record can be bound to what was
    // read; nullopt when it cannot be told.
    virtual std::optional<core::FileIdentity> version_before_read(const py::handle &path) const = 0;
    // The record of the file when it describes the version there now (inside run_exclusively on
    // object storage); nullopt when there is none, and on any doubt.
    virtual std::optional<core::DigestRecord> read_digest_record(const py::handle &path) const = 0;
    // Records `record` for the file as it is now, or, with `read_as`, for the version read when it
    // is still there. Best effort: false when nothing was recorded.
    virtual bool write_digest_record(const py::handle &path, const core::DigestRecord &record,
                                     const std::optional<core::FileIdentity> &read_as) const = 0;
    // Removes the record of a file rewritten or removed without one (object records name the ETag
    // of their version, and need no removal).
    virtual void forget_digest_record(const py::handle &path) const = 0;
};

// The storage of the root `path` lies on: local for a path without a scheme, the registered backend
// for scheme://...; ValueError for a scheme nobody serves (xyz://..., which would otherwise become a
// local directory named "xyz:") and for s3:// without a bucket.
const Storage &storage_for(const py::handle &path);

// storage_for(path).<operation>(path, ...): the calls most code needs.
inline py::list list_directory(const py::handle &path) { return storage_for(path).list_directory(path); }
inline py::list list_regular_files(const py::handle &path) { return storage_for(path).list_regular_files(path); }
inline bool path_exists(const py::handle &path) { return storage_for(path).exists(path); }
inline void make_directories(const py::handle &path) { storage_for(path).make_directories(path); }
inline py::object read_stored_parquet(const py::handle &path) { return storage_for(path).read_parquet(path); }
inline py::object read_stored_month(const py::handle &path) { return storage_for(path).read_month(path); }
inline void write_stored_parquet(const py::handle &frame, const py::handle &path) {
    storage_for(path).write_parquet(frame, path);
}
inline void remove_stored_file(const py::handle &path) { storage_for(path).remove(path); }
inline py::object read_stored_bytes(const py::handle &path) { return storage_for(path).read_bytes(path); }
inline std::optional<StoredBytes> open_stored_bytes(const py::handle &path) { return storage_for(path).open_bytes(path); }
inline void run_exclusively(const py::handle &path, const std::function<void()> &body) {
    storage_for(path).run_exclusively(path, body);
}

// A status line of a read-merge-write: held back until the enclosing run_exclusively on this thread
// has released its lock (and, when its write is part of a batch, until the batch has made it durable:
// bindings/write_batch.hpp), printed at once anywhere else (object storage holds no lock). A writer
// whose output blocks must not keep other writers of the file waiting.
void print_status_line(const py::handle &text);
// The empty line, print(), held back the same way.
void print_status_empty_line();

// Whether `error` is a write that lost the race inside run_exclusively: it must reach
// run_exclusively unreported, since body runs again.
bool is_write_conflict(const py::error_already_set &error);

}  // namespace corvane::native
