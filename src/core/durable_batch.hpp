// Many files replaced together, made durable together: each writer fsyncs and renames its own file
// (on its own thread, under its own lock), and each directory they were renamed into is fsynced
// once, after all of them, instead of once per file. Directories are swept of dead writers'
// leftovers once per batch, too, instead of before every file.
//
// Plain C++; thread-safe: the writers of one batch run on many threads at once.
#pragma once

#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace corvane::core {

// Removes dead writers' leftovers (remove_dead_writers_leftovers) from each directory once: the
// first call for a directory sweeps it, later ones return at once.
class LeftoverSweeps {
public:
    void sweep(const std::string &directory);

private:
    std::mutex mutex_;
    std::set<std::string> swept_;
};

class DurableBatch {
public:
    // A directory that finish() could not fsync, with the errno of the failure.
    using Failure = std::pair<std::string, int>;

    LeftoverSweeps &sweeps() { return sweeps_; }

    // Notes that a file was renamed into `directory` (after its own fsync): true when finish() will
    // fsync the directory; false once finish() has begun, and the caller must fsync it itself.
    bool renamed_into(const std::string &directory);

    // fsyncs every directory renamed into, each once; returns those that failed (all are tried).
    // From its start on, renamed_into refuses.
    std::vector<Failure> finish();

private:
    std::mutex mutex_;
    bool finishing_ = false;
    std::set<std::string> directories_;
    LeftoverSweeps sweeps_;
};

}  // namespace corvane::core
