// The edge thread: reads the edge-event request and calls the handler once
// per clock edge, in the order the edges happened (events.h). It waits in
// poll() with a time limit and reads only what is there, so that it notices
// a chip that goes away: a read() that waits on a removed chip's request may
// never return, and a poll() already waiting may not be woken by the
// removal, while a poll() begun after it reports a hang-up.
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "backend.h"
#include "messages.h"
#ifdef SORVALEN_EDGE_COUNTERS
#include <sys/syscall.h>

#include "counters.h"
#endif

namespace chardev {

namespace {

// Events taken from the queue in one read.
constexpr std::size_t eventBatch = 256;
// Real-time priority of the edge thread: above every ordinary thread, below
// the kernel's threaded interrupt handlers (50), which queue the events and
// would lose edges if the reader starved them.
constexpr int edgePriority = 40;
// Lost events are told at most once per this many milliseconds, in one line.
constexpr std::int64_t lossReportMs = 1000;
// The longest wait in poll(): how soon a chip that went away is noticed.
constexpr int aliveMs = 500;

#ifdef SORVALEN_EDGE_COUNTERS
Counters counters;
#endif

std::int64_t msNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Ends the process, as the library cannot go on without its chip: a
// supervisor (a shell loop, a service manager) may start it again. The
// reports written so far are flushed first.
[[noreturn]] void giveUp(const std::string& why) {
    say(chips[static_cast<std::size_t>(eventChip)].path + " (" +
        chips[static_cast<std::size_t>(eventChip)].label + "): " + why +
        "; no more edges can be taken, ending with status 1");
    std::fflush(nullptr);
    std::_Exit(EXIT_FAILURE);
}

// Present level of the request's line `line`, or 0.
int presentLevel(unsigned line) {
    const int level = lineLevel(eventFd, line);
    return level < 0 ? 0 : level;
}

// The stream's loss counters as last told.
struct Told {
    std::uint64_t lost = 0, dropped = 0, late = 0, clock = 0;
    std::int64_t at = 0;
};

// Tells the events lost since the last time, when there are any and the
// last time is lossReportMs ago. Returns the milliseconds until it may tell
// again, or -1 when there is nothing to tell.
std::int64_t tellLoss(Told& told, std::int64_t now) {
    if (stream.lostEvents == told.lost && stream.lateEvents == told.late &&
        stream.lostClockEdges == told.clock) {
        return -1;
    }
    if (now - told.at < lossReportMs) {
        return told.at + lossReportMs - now;
    }
    say(lossMessage(stream.lostEvents - told.lost, stream.droppedEvents - told.dropped,
                    stream.lateEvents - told.late, stream.lostClockEdges - told.clock));
    told = {stream.lostEvents, stream.droppedEvents, stream.lateEvents, stream.lostClockEdges, now};
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

}  // namespace

void edgeLoop() {
    sched_param param{};
    param.sched_priority = edgePriority;
    // Without the right to real-time scheduling the thread runs on at normal
    // priority: edges then wait longer in the kernel's queue, nothing else.
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
#ifdef SORVALEN_EDGE_COUNTERS
    setEventThreadId(syscall(SYS_gettid));
    printCountersOnSignal(&counters, &stream.lostClockEdges);
    const auto call = [] {
        bump(counters.handlerCalls);
        handler();
    };
#else
    const auto call = [] { handler(); };
#endif
    static gpio_v2_line_event batch[eventBatch];
    std::int64_t now = msNow();
    Told told;
    told.at = now - lossReportMs;
    std::int64_t tell = -1;
    for (;;) {
        pollfd events{eventFd, POLLIN, 0};
        const int ready = poll(&events, 1, pollTimeout(holdLeft(stream, now), tell));
        if (ready < 0 && errno != EINTR) {
            giveUp(std::string("waiting for edge events: ") + std::strerror(errno));
        }
        if (ready > 0 && (events.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            giveUp("the GPIO chip went away");
        }
        std::size_t got = 0;
        if (ready > 0 && (events.revents & POLLIN) != 0) {
            const std::size_t want = room(stream) < eventBatch ? room(stream) : eventBatch;
            const ssize_t bytes = read(eventFd, batch, want * sizeof batch[0]);
            if (bytes == 0 || (bytes < 0 && errno == ENODEV)) {
                giveUp("the GPIO chip went away");
            }
            if (bytes < 0 && errno != EAGAIN && errno != EINTR) {
                giveUp(std::string("reading edge events: ") + std::strerror(errno));
            }
            got = bytes > 0 ? static_cast<std::size_t>(bytes) / sizeof batch[0] : 0;
#ifdef SORVALEN_EDGE_COUNTERS
            if (got > 0) {
                countBatch(counters, got);
            }
#endif
        }
        now = msNow();
        follow(stream, batch, got, now, presentLevel, call);
        tell = tellLoss(told, now);
    }
}

}  // namespace chardev
