// Operating-system work that keeps the store's files whole: one writer per file at a time, replaces
// that survive a power cut, and removal of what dead writers left behind.
//
// Plain C++ on paths and file descriptors, free of Python: callers release the GIL around these calls
// (see bindings/errors.hpp) so that a thread waiting on a lock or a disk never stalls the others.
// Failures are thrown as the exceptions below; bindings/errors.hpp turns them into Python exceptions.
#pragma once

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>

namespace corvane::core {

// A system call failed: `error_number` is its errno, `path` the file it was about.
class SystemCallError : public std::runtime_error {
public:
    SystemCallError(int error_number, std::string path, const std::string &call);
    int error_number;
    std::string path;
};

// Waiting for a file lock took longer than the limit; `path` is the data file whose lock it was.
class LockTimeout : public std::runtime_error {
public:
    explicit LockTimeout(const std::string &message);
};

// A wait for a lock was given up because `interrupted` said so (a signal, or the caller's own stop).
class WaitInterrupted : public std::runtime_error {
public:
    WaitInterrupted();
};

// Seconds a writer waits for a lock: CORVANE_LOCK_TIMEOUT when set, otherwise 600.
// std::invalid_argument when the variable is set but is not a finite number >= 0.
double lock_timeout_seconds();

// An exclusive lock on one stored file, held from construction to destruction.
//
// flock on a lock file that every waiter opens anew: each waiter has its own open file description,
// so threads of one process exclude each other as processes do, and the kernel releases the lock
// when its holder's descriptor closes, also when the process is killed. Lock files are never
// removed: removing one would let a newcomer lock a fresh file while an old waiter locks the
// removed one.
class FileLock {
public:
    // Polls with a growing sleep until the lock is free; LockTimeout naming `data_path` after
    // `timeout_seconds`. Creates the lock file's directories (0777 less the umask) when missing.
    // While it waits, `interrupted` (when given) is asked every 50 ms or so whether to stop:
    // WaitInterrupted when it says yes.
    FileLock(const std::string &data_path, double timeout_seconds,
             const std::function<bool()> &interrupted = nullptr);
    ~FileLock();
    FileLock(FileLock &&other) noexcept;
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;
    FileLock &operator=(FileLock &&) = delete;

private:
    int descriptor_;
};

class TemporaryFile;

// Makes a finished file the target, durably: fsync of `temporary`, rename over `target`, fsync of
// their directory. After a power cut the target holds the old or the new content, never a file
// whose name survived but whose data did not.
void durable_replace(TemporaryFile &temporary, const std::string &target);

// The first half of durable_replace: fsync of `temporary`, then its rename over `target`. Until its
// directory is fsynced (sync_directory) a power cut may still bring back the old file.
void sync_and_rename(TemporaryFile &temporary, const std::string &target);

// fsync of a directory: the renames and removals in it made so far survive a power cut.
void sync_directory(const std::string &directory);

// Removes the file at `path`, then fsyncs its directory: after a power cut it is gone or whole.
void durable_remove(const std::string &path);

// A temporary file untouched this long belongs to no live write, whatever holds its lock.
inline constexpr std::chrono::hours leftover_age_limit{24};

// A file being written under a temporary name in `directory`, with an flock held on it from before
// it has a name until the object is destroyed. The lock, not the pid in the name, is what tells a
// live write from a dead writer's leftover: the kernel drops it when the writer dies, and it means
// the same in every pid namespace (containers sharing a store) and on every process of a machine.
// Whoever writes the content opens path() again and writes it in place (the lock stays with this
// object's descriptor).
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string &directory);
    // Removes the file unless it was renamed away; releases the lock.
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;

    const std::string &path() const { return path_; }
    // fsync through the descriptor held since creation, which names the same file as path() as long
    // as writers write it in place: no second open.
    void sync() const;
    // Appends `bytes` through that descriptor.
    void write(const std::string &bytes) const;
    // The file has been renamed over its target: its name is no longer ours to remove.
    void renamed() { renamed_ = true; }

private:
    std::string path_;
    int descriptor_;
    bool renamed_ = false;
};

// Removes the temporary files in `directory` whose writer is certainly gone: nobody holds their
// lock, or they have not been modified for `max_age`. A live writer's file is never touched.
// Best effort: what cannot be listed or removed stays. Returns how many it removed.
int remove_dead_writers_leftovers(const std::string &directory, std::chrono::seconds max_age);

}  // namespace corvane::core
