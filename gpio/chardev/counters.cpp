// The benchmark build's counters of the edge thread's work: handler calls,
// reads and their sizes, printed on a signal (compiled in only with
// SORVALEN_EDGE_COUNTERS).
#include "counters.h"

#include <unistd.h>

#include <csignal>

namespace chardev {

namespace {

const Counters* shown = nullptr;
const std::uint64_t* shownLost = nullptr;
std::atomic<long> eventTid{0};

// Appends `value` in decimal to `out` at `at`; async-signal-safe.
std::size_t put(char* out, std::size_t at, std::uint64_t value) {
    char digits[20];
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0) {
        out[at++] = digits[--n];
    }
    return at;
}

std::size_t put(char* out, std::size_t at, const char* text) {
    while (*text != '\0') {
        out[at++] = *text++;
    }
    return at;
}

void print(int signal) {
    char line[512];
    std::size_t at = put(line, 0, "gpio-counters: tid=");
    at = put(line, at, static_cast<std::uint64_t>(eventTid.load(std::memory_order_relaxed)));
    at = put(line, at, " handler=");
    at = put(line, at, shown->handlerCalls.load(std::memory_order_relaxed));
    at = put(line, at, " batches=");
    at = put(line, at, shown->batches.load(std::memory_order_relaxed));
    at = put(line, at, " events=");
    at = put(line, at, shown->events.load(std::memory_order_relaxed));
    // Read without synchronisation: a figure for the reader, never used.
    at = put(line, at, " lost_clock=");
    at = put(line, at, *shownLost);
    at = put(line, at, " batch_hist=");
    for (std::size_t k = 0; k < batchBuckets; ++k) {
        if (k != 0) {
            line[at++] = ',';
        }
        at = put(line, at, shown->batchSizes[k].load(std::memory_order_relaxed));
    }
    line[at++] = '\n';
    const ssize_t written = write(STDERR_FILENO, line, at);
    static_cast<void>(written);
    if (signal == SIGTERM) {
        _exit(0);
    }
}

}  // namespace

void countBatch(Counters& counters, std::size_t events) {
    bump(counters.batches);
    bump(counters.events, events);
    std::size_t bucket = 0;
    while (bucket + 1 < batchBuckets && (events >> (bucket + 1)) != 0) {
        ++bucket;
    }
    bump(counters.batchSizes[bucket]);
}

void printCountersOnSignal(const Counters* counters, const std::uint64_t* lostClockEdges) {
    shown = counters;
    shownLost = lostClockEdges;
    struct sigaction action {};
    action.sa_handler = print;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void setEventThreadId(long tid) {
    eventTid.store(tid, std::memory_order_relaxed);
}

}  // namespace chardev
