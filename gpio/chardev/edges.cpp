// The edge loop: waits for the request's events with a time limit, reads
// what is there, follows the stream, and tells losses at most once a second.
#include "edges.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "messages.h"

namespace chardev {

namespace {

// The stream's loss counters as last told, and when.
struct Told {
    std::uint64_t lost = 0, dropped = 0, late = 0, clock = 0, unseen = 0;
    std::int64_t at = 0;
    std::int64_t since = -1;  // when a loss not yet told was first seen, or -1
};

// Tells the events lost since the last time, when there are any, the last
// time is lossReportMs ago and the first of them holdMs ago: events that
// come late within a hold of their loss are told with it. Returns the
// milliseconds until it may tell, or -1 when there is nothing to tell.
std::int64_t tellLoss(Told& told, Stream& stream, std::int64_t now, const EdgeIo& io) {
    // Late events and lost clock edges are counted only with seqnos lost
    // since the last line; edges unseen are told on their own too.
    if (stream.lostEvents == told.lost && stream.unseenEdges == told.unseen) {
        return -1;
    }
    if (told.since < 0) {
        told.since = now;
    }
    const std::int64_t after = told.at + lossReportMs;
    const std::int64_t settled = told.since + holdMs;
    const std::int64_t when = after > settled ? after : settled;
    if (now < when) {
        return when - now;
    }
    const std::uint64_t lost = stream.lostEvents - told.lost;
    const std::uint64_t dropped = stream.droppedEvents - told.dropped;
    const std::uint64_t late = stream.lateEvents - told.late;
    const std::uint64_t unseen = stream.unseenEdges - told.unseen;
    io.say(lossMessage(lost, dropped, late, stream.lostClockEdges - told.clock, unseen));
    if (io.lossTold != nullptr) {
        io.lossTold(dropped, late, mergedEvents(lost, dropped, late), unseen);
    }
    told = {stream.lostEvents,     stream.droppedEvents, stream.lateEvents,
            stream.lostClockEdges, stream.unseenEdges,   now};
    stream.toldSeqno = stream.seqno;
    return -1;
}

int pollTimeout(std::int64_t hold, std::int64_t tell) {
    std::int64_t wait = aliveMs;
    if (hold >= 0 && hold < wait) {
        wait = hold;
    }
    if (tell >= 0 && tell < wait) {
        wait = tell;
    }
    return static_cast<int>(wait);
}

std::string failed(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

std::int64_t msNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::string followEdges(Stream& stream, const EdgeIo& io) {
    static gpio_v2_line_event batch[eventBatch];
    const char* const gone = "the GPIO chip went away";
    std::int64_t now = io.now();
    Told told;
    told.at = now - lossReportMs;
    std::int64_t tell = -1;
    for (;;) {
        pollfd events{io.fd, POLLIN, 0};
        const int ready = io.poll(&events, 1, pollTimeout(holdLeft(stream, now), tell));
        if (ready < 0 && errno != EINTR) {
            return failed("waiting for edge events");
        }
        if (ready > 0 && (events.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            return gone;
        }
        std::size_t got = 0;
        // Whether the kernel's queue may hold more than was read: a hold is
        // given up for time only once a read came back short.
        bool more = ready < 0;
        if (ready > 0 && (events.revents & POLLIN) != 0) {
            const std::size_t want = room(stream) < eventBatch ? room(stream) : eventBatch;
            const ssize_t bytes = io.read(io.fd, batch, want * sizeof batch[0]);
            if (bytes == 0 || (bytes < 0 && errno == ENODEV)) {
                return gone;
            }
            if (bytes < 0 && errno != EAGAIN && errno != EINTR) {
                return failed("reading edge events");
            }
            got = bytes > 0 ? static_cast<std::size_t>(bytes) / sizeof batch[0] : 0;
            more = got == want || (bytes < 0 && errno == EINTR);
            if (got > 0 && io.batchRead != nullptr) {
                io.batchRead(got);
            }
        }
        now = io.now();
        follow(stream, batch, got, now, more, io.present, io.handler);
        tell = tellLoss(told, stream, now, io);
    }
}

}  // namespace chardev
