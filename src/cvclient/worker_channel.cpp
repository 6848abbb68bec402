#include "cvclient/worker_channel.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace corvane::client {

namespace {

// Waits until `fd` is ready for `events` or the deadline passes; runs between_waits every slice.
Transfer wait_for(int fd, short events, const Waiting &waiting) {
    while (true) {
        auto now = std::chrono::steady_clock::now();
        if (now >= waiting.deadline) {
            return Transfer::timed_out;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(waiting.deadline - now);
        pollfd entry{fd, events, 0};
        int ready = ::poll(&entry, 1, static_cast<int>(std::min(left, waiting.slice).count()) + 1);
        if (ready > 0) {
            return Transfer::done;  // readable, writable, or hung up: the transfer itself tells which
        }
        if (ready < 0 && errno != EINTR) {
            return Transfer::failed;
        }
        waiting.between_waits();
    }
}

}  // namespace

Transfer write_all(int fd, const char *data, std::size_t size, const Waiting &waiting) {
    while (size > 0) {
        Transfer ready = wait_for(fd, POLLOUT, waiting);
        if (ready != Transfer::done) {
            return ready;
        }
        ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return errno == EPIPE ? Transfer::closed : Transfer::failed;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return Transfer::done;
}

Transfer read_exact(int fd, char *data, std::size_t size, const Waiting &waiting) {
    while (size > 0) {
        Transfer ready = wait_for(fd, POLLIN, waiting);
        if (ready != Transfer::done) {
            return ready;
        }
        ssize_t got = ::read(fd, data, size);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return Transfer::failed;
        }
        if (got == 0) {
            return Transfer::closed;
        }
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return Transfer::done;
}

}  // namespace corvane::client
