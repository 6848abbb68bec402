// Where the store's files live: one interface over the local file system and over S3-compatible
// object storage, chosen from the path. Orchestration reaches stored files only through these
// calls and never asks which kind of root it has.
//
// Local paths keep the local helpers of native/pyglue.hpp (flock, fsync, atomic replace). Paths
// spelled s3://bucket/prefix are served by the Python module corvane._object_storage: listings and
// reads through pyarrow's S3 filesystem, writes as single PUTs, made conditional inside
// run_exclusively. Every function needs the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>

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

// Runs body, a read-merge-write of the file at `path`, so that no concurrent writer's update of it
// is lost. Locally: under the file's lock (lock_stored_file). On object storage: the write is
// conditional on the version body read, and body runs again after a conflict, so a body must print
// its status line only after its write.
void run_exclusively(const py::handle &path, const std::function<void()> &body);

// Whether `error` is a write that lost the race inside run_exclusively: it must reach
// run_exclusively unreported, since body runs again.
bool is_write_conflict(const py::error_already_set &error);

}  // namespace corvane::native
