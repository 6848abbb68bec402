// Byte transfer with a deadline over the pipes of the process that loads server values. Plain C++
// (no Python), run with the GIL released.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

namespace corvane::client {

using Deadline = std::chrono::steady_clock::time_point;

enum class Transfer {
    done,       // every byte went through
    timed_out,  // the deadline passed first
    closed,     // the other end closed its pipe (the process ended)
    failed,     // the system refused the transfer (errno tells why)
};

// Between waits, at most every `slice` of time, `between_waits` runs (it may throw to abandon the
// transfer, as on Ctrl-C).
struct Waiting {
    Deadline deadline;
    std::chrono::milliseconds slice;
    const std::function<void()> &between_waits;
};

// Writes all `size` bytes of `data` to the pipe `fd`.
Transfer write_all(int fd, const char *data, std::size_t size, const Waiting &waiting);

// Reads exactly `size` bytes from the pipe `fd` into `data`.
Transfer read_exact(int fd, char *data, std::size_t size, const Waiting &waiting);

// Reads exactly `size` bytes into `data`: first what `inbox` holds (taking it out), then from `fd`.
Transfer read_exact_after(std::string &inbox, int fd, char *data, std::size_t size, const Waiting &waiting);

// Writes all `size` bytes of `data` to `to_fd` while appending what `from_fd` offers to `inbox` (at
// most `inbox_limit` bytes): a peer that finishes its reply before it reads on then never leaves both
// sides waiting on full pipes. `closed` when either end is gone.
Transfer write_all_draining(int to_fd, const char *data, std::size_t size, int from_fd, std::string &inbox,
                            std::size_t inbox_limit, const Waiting &waiting);

}  // namespace corvane::client
