#include "core/durable_files.hpp"

#include "core/store_layout.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <sstream>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::core {

namespace {

constexpr double default_lock_timeout_seconds = 600.0;

std::string parent_of(const std::string &path) {
    std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
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

// The lock file at `lock_path`, opened (created when missing). Its directories are made only when the
// open finds them missing: after the first write of a category they are there, and three mkdirs
// per lock would cost more than the open.
int open_lock_file(const std::string &lock_path) {
    int descriptor = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (descriptor >= 0) {
        return descriptor;
    }
    if (errno != ENOENT && errno != EINTR) {
        throw SystemCallError(errno, lock_path, "open");
    }
    std::string category_locks = parent_of(lock_path);
    std::string all_locks = parent_of(category_locks);
    make_directory(parent_of(all_locks));
    make_directory(all_locks);
    make_directory(category_locks);
    return open_retrying(lock_path, O_RDWR | O_CREAT, 0666);
}

// fsync of the file or directory at `path`, through a descriptor of its own.
void sync_path(const std::string &path, int flags) {
    int descriptor = open_retrying(path, flags);
    int result = fsync(descriptor);
    int error = errno;
    close(descriptor);
    if (result != 0) {
        throw SystemCallError(error, path, "fsync");
    }
}

bool is_temporary_name(const std::string &name) {
    static const std::string prefix = layout::temporary_prefix;
    static const std::string suffix = layout::temporary_suffix;
    return name.size() > prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A fresh name for a temporary file of this process and thread.
std::string temporary_name() {
    static std::atomic<unsigned long> counter{0};
    return std::string(layout::temporary_prefix) + std::to_string(static_cast<long>(getpid())) + "-" +
           std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id())) + "-" +
           std::to_string(counter.fetch_add(1)) + layout::temporary_suffix;
}

// An unnamed file in `directory`, locked, then linked under `name`: no other process ever sees the
// name without the lock. -1 where the file system has no unnamed files (the caller falls back).
int create_locked_unnamed(const std::string &directory, const std::string &name) {
    int descriptor = open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (descriptor < 0) {
        return -1;
    }
    std::string handle = "/proc/self/fd/" + std::to_string(descriptor);
    if (flock(descriptor, LOCK_EX) != 0 ||
        linkat(AT_FDCWD, handle.c_str(), AT_FDCWD, joined(directory, name).c_str(), AT_SYMLINK_FOLLOW) != 0) {
        int error = errno;
        close(descriptor);
        errno = error;
        return -1;
    }
    return descriptor;
}

// A new file under `name`, locked right after it is made. Only where unnamed files are not available
// can a cleaner take the lock in between; it then removes a file nobody has written to yet, and at
// worst the write fails with an error: nothing stored is lost.
int create_then_lock(const std::string &directory, const std::string &name) {
    std::string path = joined(directory, name);
    int descriptor = open_retrying(path, O_RDWR | O_CREAT | O_EXCL, 0666);
    if (flock(descriptor, LOCK_EX) != 0) {
        int error = errno;
        close(descriptor);
        unlink(path.c_str());
        throw SystemCallError(error, path, "flock");
    }
    return descriptor;
}

// Whether nobody holds the lock of the open file `descriptor`: taking it (and keeping it until
// the caller closes the descriptor) succeeds.
bool lock_is_free(int descriptor) { return flock(descriptor, LOCK_EX | LOCK_NB) == 0; }

// Whether `name` in the listed directory is still the file open as `descriptor`.
bool still_names(int directory, const std::string &name, int descriptor) {
    struct stat by_name, by_descriptor;
    return fstatat(directory, name.c_str(), &by_name, AT_SYMLINK_NOFOLLOW) == 0 &&
           fstat(descriptor, &by_descriptor) == 0 && by_name.st_ino == by_descriptor.st_ino &&
           by_name.st_dev == by_descriptor.st_dev;
}

}  // namespace

SystemCallError::SystemCallError(int error_number_, std::string path_, const std::string &call)
    : std::runtime_error(call + ": " + std::strerror(error_number_)),
      error_number(error_number_),
      path(std::move(path_)) {}

LockTimeout::LockTimeout(const std::string &message) : std::runtime_error(message) {}

WaitInterrupted::WaitInterrupted() : std::runtime_error("interrupted while waiting for a file lock") {}

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

FileLock::FileLock(const std::string &data_path, double timeout_seconds, const std::function<bool()> &interrupted)
    : descriptor_(-1) {
    std::string lock_path = layout::lock_path_for(data_path);
    descriptor_ = open_lock_file(lock_path);

    using clock = std::chrono::steady_clock;
    // Capped at a year, far beyond any write, so that the deadline cannot overflow the clock.
    clock::time_point deadline = clock::now() + std::chrono::duration_cast<clock::duration>(
                                                    std::chrono::duration<double>(std::min(timeout_seconds, 3.2e7)));
    std::chrono::microseconds pause{500};
    // Asking costs the caller a trip through its interpreter; every 50 ms is ample for a keypress.
    constexpr std::chrono::milliseconds ask_every{50};
    clock::time_point next_ask = clock::now() + ask_every;
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
        if (interrupted && clock::now() >= next_ask) {
            if (interrupted()) {
                close(descriptor_);
                throw WaitInterrupted();
            }
            next_ask = clock::now() + ask_every;
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

void sync_and_rename(TemporaryFile &temporary, const std::string &target) {
    temporary.sync();
    if (rename(temporary.path().c_str(), target.c_str()) != 0) {
        throw SystemCallError(errno, target, "rename");
    }
    temporary.renamed();
}

void sync_directory(const std::string &directory) { sync_path(directory, O_RDONLY | O_DIRECTORY); }

void durable_replace(TemporaryFile &temporary, const std::string &target) {
    sync_and_rename(temporary, target);
    sync_directory(parent_of(target));
}

TemporaryFile::TemporaryFile(const std::string &directory) : descriptor_(-1) {
    for (;;) {
        std::string name = temporary_name();
        descriptor_ = create_locked_unnamed(directory, name);
        if (descriptor_ < 0 && errno == EEXIST) {
            continue;  // a writer of another pid namespace had this very name
        }
        if (descriptor_ < 0) {
            descriptor_ = create_then_lock(directory, name);
        }
        path_ = joined(directory, name);
        return;
    }
}

void durable_remove(const std::string &path) {
    if (unlink(path.c_str()) != 0) {
        throw SystemCallError(errno, path, "unlink");
    }
    sync_directory(parent_of(path));
}

void TemporaryFile::sync() const {
    if (fsync(descriptor_) != 0) {
        throw SystemCallError(errno, path_, "fsync");
    }
}

void TemporaryFile::write(const std::string &bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t wrote = ::write(descriptor_, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote < 0) {
            throw SystemCallError(errno, path_, "write");
        }
        done += static_cast<size_t>(wrote);
    }
}

TemporaryFile::~TemporaryFile() {
    // Removed before the lock goes, so a cleaner never finds it unlocked while it is ours.
    if (!renamed_) {
        unlink(path_.c_str());
    }
    close(descriptor_);
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
        // Non-blocking, so that a FIFO under such a name cannot stall the write.
        int descriptor = openat(dirfd(listing), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (descriptor < 0) {
            continue;
        }
        struct stat status;
        if (fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode)) {
            bool stale = now - status.st_mtime > static_cast<std::time_t>(max_age.count());
            // Our lock on it keeps its writer, if it was only starting, from taking it over meanwhile.
            if ((stale || lock_is_free(descriptor)) && still_names(dirfd(listing), name, descriptor) &&
                unlinkat(dirfd(listing), name.c_str(), 0) == 0) {
                ++removed;
            }
        }
        close(descriptor);
    }
    closedir(listing);
    return removed;
}

}  // namespace corvane::core
