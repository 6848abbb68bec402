// Where the store's files live: one interface over the local file system and over S3-compatible
// object storage, chosen from the path. Orchestration reaches stored files only through these
// calls and never asks which kind of root it has.
//
// Local paths keep the local helpers of native/pyglue.hpp (flock, fsync, atomic replace). Paths
// spelled s3://bucket/prefix are served by the Python module corvane._object_storage (one
// maintained object-store client): whole-object reads, writes as single PUTs, made conditional
// inside run_exclusively. Every function needs the GIL.
#pragma once

#include "core/file_bytes.hpp"

#include <pybind11/pybind11.h>

#include <functional>
#include <optional>

namespace corvane::native {

namespace py = pybind11;

// True for a local path, false for s3://...; ValueError for any other scheme (xyz://...), which
// would otherwise become a local directory named "xyz:".
bool is_local(const py::handle &path);

// Names directly under a directory (os.listdir); on object storage, under a key prefix.
py::list list_directory(const py::handle &path);
// The names under a directory that are regular files.
py::list list_regular_files(const py::handle &path);
// os.path.exists; on object storage an object, or a prefix with an object under it.
bool path_exists(const py::handle &path);
// ensure_directory; nothing to do on object storage, where prefixes exist through their objects.
void make_directories(const py::handle &path);

// One consistent version of a stored Parquet file, as a DataFrame.
py::object read_stored_parquet(const py::handle &path);
// The same for a month file about to be merged: locally decoded without pandas' reader.
py::object read_stored_month(const py::handle &path);
// Replaces a stored Parquet file whole: readers see the old or the new one, never a part.
void write_stored_parquet(const py::handle &frame, const py::handle &path);

// Removes a stored file durably (its directory fsynced afterwards), so that after a power cut it is
// gone or whole; on object storage one DELETE, refused with a write conflict inside run_exclusively
// when another writer replaced the object since body read it.
void remove_stored_file(const py::handle &path);

// The bytes of one consistent version of a stored file (one open and read; one GET).
py::object read_stored_bytes(const py::handle &path);

// One consistent version of a stored file for reads of a few byte ranges: locally the open file,
// read on demand (`bytes`, usable without the GIL); on object storage its bytes from one GET, which
// `owner` keeps alive. nullopt where a local file cannot be opened as a regular file.
struct StoredBytes {
    FileBytes bytes;
    py::object owner;
};
std::optional<StoredBytes> open_stored_bytes(const py::handle &path);

// Runs body, a read-merge-write of the file at `path`, so that no concurrent writer's update of it
// is lost. Locally: under the file's lock (lock_stored_file). On object storage: the write is
// conditional on the version body read, and body runs again after a conflict, so a body must print
// its status line only after its write.
//
// Status lines that body prints with print_status_line reach the stream only after the lock is
// released (in body's order, also when body raises): a writer whose output blocks must not keep
// other writers of the file waiting.
void run_exclusively(const py::handle &path, const std::function<void()> &body);

// A status line of a read-merge-write: held back until the enclosing run_exclusively on this thread
// has released its lock, printed at once anywhere else (object storage holds no lock).
void print_status_line(const py::handle &text);
// The empty line, print(), held back the same way.
void print_status_empty_line();
// Digest records of objects, kept under <root>/.corvane/digests/ and bound to an object's ETag. The
// record of the object at `path` (a dict of text fields) when it was taken from the version that the
// running run_exclusively sees; None when there is none, on any doubt, and outside run_exclusively.
py::object read_object_digest_record(const py::handle &path);
// Records `fields` for the version of the object that the running run_exclusively last read or wrote.
// Best effort: a missing record only costs the next re-sync a read.
void write_object_digest_record(const py::handle &path, const py::dict &fields);
// Removes the digest record of the object at path, or every record of a category under root.
void remove_object_digest_record(const py::handle &path);
void remove_object_category_digests(const py::handle &root, const py::handle &category);

// Whether `error` is a write that lost the race inside run_exclusively: it must reach
// run_exclusively unreported, since body runs again.
bool is_write_conflict(const py::error_already_set &error);

}  // namespace corvane::native
