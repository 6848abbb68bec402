// Random access to one version of a stored file: bytes already in memory (an object storage GET), or
// an open local file read on demand, so that a row read fetches the few pages it needs. The open
// descriptor keeps the version it opened: a concurrent replace does not change what it reads.
//
// Plain C++, free of Python: callers may release the GIL around these calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace corvane::core {

class FileBytes {
public:
    // Borrows `data`, which must outlive this object.
    FileBytes(const uint8_t *data, size_t size);
    // nullopt when the file cannot be opened or is not a regular file.
    static std::optional<FileBytes> open(const std::string &path);
    // The file open as `fd`, through a duplicate of it: the caller keeps and closes `fd`.
    static std::optional<FileBytes> of_descriptor(int fd);

    int64_t size() const { return size_; }
    // The open file's descriptor, or -1 for bytes in memory; it stays this object's.
    int descriptor() const;
    // The whole file when it is in memory, else null.
    const uint8_t *memory() const { return memory_; }
    // Copies [offset, offset + length) into `into`; false when the range lies outside the file or
    // the read fails.
    bool read(int64_t offset, size_t length, uint8_t *into) const;

private:
    struct Descriptor;
    FileBytes(std::shared_ptr<Descriptor> descriptor, int64_t size);
    // Takes `fd` over, closing it in every case.
    static std::optional<FileBytes> adopt(int fd);
    std::shared_ptr<Descriptor> descriptor_;
    const uint8_t *memory_ = nullptr;
    int64_t size_ = 0;
};

}  // namespace corvane::core
