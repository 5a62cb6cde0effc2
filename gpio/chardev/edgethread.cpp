// The edge thread: runs the edge loop (edges.h) on the edge-event request,
// at real-time priority where it may, and ends the process when the loop
// ends.
#include <pthread.h>
#include <sched.h>

#include <cstdio>
#include <cstdlib>

#include "backend.h"
#include "edges.h"
#ifdef SORVALEN_EDGE_COUNTERS
#include <sys/syscall.h>

#include "counters.h"
#endif

namespace chardev {

namespace {

// Real-time priority of the edge thread: above every ordinary thread, below
// the kernel's threaded interrupt handlers (50), which queue the events and
// would lose edges if the reader starved them.
constexpr int edgePriority = 40;

#ifdef SORVALEN_EDGE_COUNTERS
Counters counters;

void countedHandler() {
    bump(counters.handlerCalls);
    handler();
}

void countedBatch(std::size_t events) {
    countBatch(counters, events);
}
#endif

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

}  // namespace

void edgeLoop() {
    sched_param param{};
    param.sched_priority = edgePriority;
    // Without the right to real-time scheduling the thread runs on at normal
    // priority: edges then wait longer in the kernel's queue, nothing else.
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    EdgeIo io;
    io.fd = eventFd;
    io.present = presentLevel;
    io.say = say;
#ifdef SORVALEN_EDGE_COUNTERS
    setEventThreadId(syscall(SYS_gettid));
    printCountersOnSignal(&counters, &stream.lostClockEdges);
    io.handler = countedHandler;
    io.batchRead = countedBatch;
#else
    io.handler = handler;
#endif
    giveUp(followEdges(stream, io));
}

}  // namespace chardev
