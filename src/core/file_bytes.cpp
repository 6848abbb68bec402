#include "core/file_bytes.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::core {

struct FileBytes::Descriptor {
    explicit Descriptor(int opened) : fd(opened) {}
    ~Descriptor() { ::close(fd); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int fd;
};

FileBytes::FileBytes(const uint8_t *data, size_t size) : memory_(data), size_(static_cast<int64_t>(size)) {}

FileBytes::FileBytes(std::shared_ptr<Descriptor> descriptor, int64_t size)
    : descriptor_(std::move(descriptor)), size_(size) {}

std::optional<FileBytes> FileBytes::open(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    return adopt(fd);
}

std::optional<FileBytes> FileBytes::of_descriptor(int fd) {
    int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0) {
        return std::nullopt;
    }
    return adopt(own);
}

std::optional<FileBytes> FileBytes::adopt(int fd) {
    auto descriptor = std::make_shared<Descriptor>(fd);
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    return FileBytes(std::move(descriptor), static_cast<int64_t>(status.st_size));
}

int FileBytes::descriptor() const { return descriptor_ ? descriptor_->fd : -1; }

bool FileBytes::read(int64_t offset, size_t length, uint8_t *into) const {
    if (offset < 0 || offset > size_ || static_cast<int64_t>(length) > size_ - offset) {
        return false;
    }
    if (memory_) {
        std::memcpy(into, memory_ + offset, length);
        return true;
    }
    while (length > 0) {
        ssize_t got = ::pread(descriptor_->fd, into, length, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;  // an error, or the file was cut short under us
        }
        into += got;
        offset += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

}  // namespace corvane::core
