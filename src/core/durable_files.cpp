#include "core/durable_files.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::native {

namespace {

constexpr double default_lock_timeout_seconds = 600.0;

std::string parent_of(const std::string &path) {
    std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string name_of(const std::string &path) {
    std::string::size_type slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string joined(const std::string &directory, const std::string &name) {
    return directory == "/" ? "/" + name : directory + "/" + name;
}

// mkdir that accepts a directory someone else made first; the umask trims the mode as usual.
void make_directory(const std::string &path) {
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
        throw SystemCallError(errno, path, "mkdir");
    }
}

int open_retrying(const std::string &path, int flags, mode_t mode = 0) {
    int descriptor;
    do {
        descriptor = open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) {
        throw SystemCallError(errno, path, "open");
    }
    return descriptor;
}

// fsync of the file or directory at `path`, through a descriptor of its own: the writer that made
// the file has closed it already.
void sync_path(const std::string &path, int flags) {
    int descriptor = open_retrying(path, flags);
    int result = fsync(descriptor);
    int error = errno;
    close(descriptor);
    if (result != 0) {
        throw SystemCallError(error, path, "fsync");
    }
}

bool process_is_gone(long pid) {
    // EPERM means it exists under another user: alive as far as its files are concerned.
    return pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// The pid in .corvane-write-<pid>-<thread>-<n>.tmp; 0 when the name holds none.
long writer_pid(const std::string &name) {
    std::string::size_type start = std::strlen(temporary_prefix);
    std::string::size_type dash = name.find('-', start);
    if (dash == std::string::npos || dash == start || dash - start > 9) {
        return 0;
    }
    long pid = 0;
    for (std::string::size_type position = start; position < dash; ++position) {
        if (name[position] < '0' || name[position] > '9') {
            return 0;
        }
        pid = pid * 10 + (name[position] - '0');
    }
    return pid;
}

bool is_temporary_name(const std::string &name) {
    static const std::string prefix = temporary_prefix;
    static const std::string suffix = ".tmp";
    return name.size() > prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

SystemCallError::SystemCallError(int error_number_, std::string path_, const std::string &call)
    : std::runtime_error(call + ": " + std::strerror(error_number_)),
      error_number(error_number_),
      path(std::move(path_)) {}

LockTimeout::LockTimeout(const std::string &message) : std::runtime_error(message) {}

std::string lock_path_for(const std::string &data_path) {
    std::string category_directory = parent_of(data_path);
    std::string root = parent_of(category_directory);
    return joined(root, ".corvane/locks/" + name_of(category_directory) + "/" + name_of(data_path) + ".lock");
}

double lock_timeout_seconds() {
    const char *text = std::getenv("CORVANE_LOCK_TIMEOUT");
    if (text == nullptr || *text == '\0') {
        return default_lock_timeout_seconds;
    }
    char *end = nullptr;
    double seconds = std::strtod(text, &end);
    if (*end != '\0' || !std::isfinite(seconds) || seconds < 0.0) {
        throw std::invalid_argument(std::string("CORVANE_LOCK_TIMEOUT must be a number of seconds >= 0, not '") +
                                    text + "'");
    }
    return seconds;
}

FileLock::FileLock(const std::string &data_path, double timeout_seconds) : descriptor_(-1) {
    std::string lock_path = lock_path_for(data_path);
    std::string category_locks = parent_of(lock_path);
    std::string all_locks = parent_of(category_locks);
    make_directory(parent_of(all_locks));
    make_directory(all_locks);
    make_directory(category_locks);
    descriptor_ = open_retrying(lock_path, O_RDWR | O_CREAT, 0666);

    using clock = std::chrono::steady_clock;
    // Capped at a year, far beyond any write, so that the deadline cannot overflow the clock.
    clock::time_point deadline = clock::now() + std::chrono::duration_cast<clock::duration>(
                                                    std::chrono::duration<double>(std::min(timeout_seconds, 3.2e7)));
    std::chrono::microseconds pause{500};
    while (flock(descriptor_, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        if (error != EWOULDBLOCK && error != EINTR) {
            close(descriptor_);
            throw SystemCallError(error, lock_path, "flock");
        }
        if (clock::now() >= deadline) {
            close(descriptor_);
            std::ostringstream message;
            message << "gave up after " << timeout_seconds << " s waiting for another writer of " << data_path
                    << " (lock file " << lock_path << "; the limit is CORVANE_LOCK_TIMEOUT)";
            throw LockTimeout(message.str());
        }
        // Short at first, as most holders finish within milliseconds; capped so a freed lock is seen soon.
        std::this_thread::sleep_for(std::min<clock::duration>(pause, deadline - clock::now()));
        pause = std::min(pause * 2, std::chrono::microseconds{20000});
    }
}

FileLock::FileLock(FileLock &&other) noexcept : descriptor_(other.descriptor_) { other.descriptor_ = -1; }

FileLock::~FileLock() {
    if (descriptor_ >= 0) {
        close(descriptor_);  // releases the lock
    }
}

void durable_replace(const std::string &temporary, const std::string &target) {
    sync_path(temporary, O_RDONLY);
    if (rename(temporary.c_str(), target.c_str()) != 0) {
        throw SystemCallError(errno, target, "rename");
    }
    sync_path(parent_of(target), O_RDONLY | O_DIRECTORY);
}

int remove_dead_writers_leftovers(const std::string &directory, std::chrono::seconds max_age) {
    DIR *listing = opendir(directory.c_str());
    if (listing == nullptr) {
        return 0;
    }
    int removed = 0;
    std::time_t now = std::time(nullptr);
    while (dirent *entry = readdir(listing)) {
        std::string name = entry->d_name;
        if (!is_temporary_name(name)) {
            continue;
        }
        struct stat status;
        if (fstatat(dirfd(listing), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode)) {
            continue;
        }
        bool stale = now - status.st_mtime > static_cast<std::time_t>(max_age.count());
        if ((stale || process_is_gone(writer_pid(name))) && unlinkat(dirfd(listing), name.c_str(), 0) == 0) {
            ++removed;
        }
    }
    closedir(listing);
    return removed;
}

}  // namespace corvane::native
