// The edge loop: reads the edge-event request's file and calls the handler
// once per clock edge, in the order the edges happened (events.h), until the
// file fails. Kept apart from the thread that runs it, with the system calls
// and the clock it uses given to it, so that it can be run on a pipe.
#ifndef CHARDEV_EDGES_H
#define CHARDEV_EDGES_H

#include <poll.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "events.h"

namespace chardev {

// Events taken from the queue in one read.
constexpr std::size_t eventBatch = 256;
// Lost events are told at most once per this many milliseconds, in one line.
constexpr std::int64_t lossReportMs = 1000;
// The longest wait in poll(): how soon a chip that went away is noticed.
constexpr int aliveMs = 500;

// A monotonic clock in milliseconds.
std::int64_t msNow();

// What the loop works with: the request's file (non-blocking), the calls it
// makes on it, its clock, and where the edges and its messages go.
struct EdgeIo {
    int fd = -1;
    int (*poll)(pollfd* fds, nfds_t count, int timeoutMs) = ::poll;
    ssize_t (*read)(int fd, void* into, std::size_t bytes) = ::read;
    std::int64_t (*now)() = msNow;
    int (*present)(unsigned line) = nullptr;  // a line's present level, for after a loss
    void (*handler)() = nullptr;              // called once per clock edge
    void (*say)(const std::string& message) = nullptr;
    void (*batchRead)(std::size_t events) = nullptr;  // told each read's events, if set
    // Given each loss line's figures as it is said, if set.
    void (*lossTold)(std::uint64_t dropped, std::uint64_t late, std::uint64_t merged,
                     std::uint64_t unseen) = nullptr;
};

// Follows `stream` on `io.fd` until the file fails; returns why ("the GPIO
// chip went away" for a hang-up). It waits in poll() with a time limit and
// reads only what is there, so that it notices a chip that goes away: a
// read() that waits on a removed chip's request may never return, and a
// poll() already waiting may not be woken by the removal, while a poll()
// begun after it reports a hang-up.
std::string followEdges(Stream& stream, const EdgeIo& io);

}  // namespace chardev

#endif
