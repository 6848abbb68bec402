#include "core/durable_batch.hpp"

#include "core/durable_files.hpp"

namespace corvane::core {

void LeftoverSweeps::sweep(const std::string &directory) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!swept_.insert(directory).second) {
            return;
        }
    }
    // Outside the mutex: writers into other directories need not wait for this listing.
    remove_dead_writers_leftovers(directory, leftover_age_limit);
}

bool DurableBatch::renamed_into(const std::string &directory) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (finishing_) {
        return false;
    }
    directories_.insert(directory);
    return true;
}

std::vector<DurableBatch::Failure> DurableBatch::finish() {
    std::set<std::string> directories;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        finishing_ = true;
        directories.swap(directories_);
    }
    std::vector<Failure> failures;
    for (const std::string &directory : directories) {
        try {
            sync_directory(directory);
        } catch (const SystemCallError &failure) {
            failures.emplace_back(directory, failure.error_number);
        }
    }
    return failures;
}

}  // namespace corvane::core
