#include "cvclient/worker_channel.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

// Takes what `fd` holds now into `inbox`, up to `limit` bytes in all, without waiting.
Transfer take_available(int fd, std::string &inbox, std::size_t limit) {
    constexpr std::size_t chunk = 1 << 16;
    while (inbox.size() < limit) {
        std::size_t had = inbox.size();
        inbox.resize(had + std::min(chunk, limit - had));
        ssize_t got = ::read(fd, &inbox[had], inbox.size() - had);
        inbox.resize(had + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        if (got == 0) {
            return Transfer::closed;
        }
        if (got < 0) {
            return errno == EAGAIN || errno == EINTR ? Transfer::done : Transfer::failed;
        }
    }
    return Transfer::done;
}

// One write of what is left; `data` and `size` move past what went out. A pipe that was not ready
// after all (interrupted, or full again) counts as done: the caller waits and tries again.
Transfer write_some(int fd, const char *&data, std::size_t &size) {
    ssize_t written = ::write(fd, data, size);
    if (written < 0) {
        if (errno == EINTR || errno == EAGAIN) {
            return Transfer::done;
        }
        return errno == EPIPE ? Transfer::closed : Transfer::failed;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
    return Transfer::done;
}

}  // namespace

Transfer write_all_draining(int to_fd, const char *data, std::size_t size, int from_fd, std::string &inbox,
                            std::size_t inbox_limit, const Waiting &waiting) {
    while (size > 0) {
        auto now = std::chrono::steady_clock::now();
        if (now >= waiting.deadline) {
            return Transfer::timed_out;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(waiting.deadline - now);
        pollfd entries[2] = {{to_fd, POLLOUT, 0}, {from_fd, POLLIN, 0}};
        nfds_t watched = inbox.size() < inbox_limit ? 2 : 1;
        int ready = ::poll(entries, watched, static_cast<int>(std::min(left, waiting.slice).count()) + 1);
        if (ready < 0 && errno != EINTR) {
            return Transfer::failed;
        }
        if (ready <= 0) {
            waiting.between_waits();
            continue;
        }
        if (watched == 2 && entries[1].revents != 0) {
            Transfer taken = take_available(from_fd, inbox, inbox_limit);
            if (taken != Transfer::done) {
                return taken;
            }
        }
        if (entries[0].revents == 0) {
            continue;
        }
        if (Transfer step = write_some(to_fd, data, size); step != Transfer::done) {
            return step;
        }
    }
    return Transfer::done;
}

Transfer write_all(int fd, const char *data, std::size_t size, const Waiting &waiting) {
    while (size > 0) {
        Transfer ready = wait_for(fd, POLLOUT, waiting);
        if (ready != Transfer::done) {
            return ready;
        }
        if (Transfer step = write_some(fd, data, size); step != Transfer::done) {
            return step;
        }
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

Transfer read_exact_after(std::string &inbox, int fd, char *data, std::size_t size, const Waiting &waiting) {
    std::size_t taken = std::min(size, inbox.size());
    if (taken > 0) {
        std::memcpy(data, inbox.data(), taken);
        inbox.erase(0, taken);
    }
    return read_exact(fd, data + taken, size - taken, waiting);
}

}  // namespace corvane::client
