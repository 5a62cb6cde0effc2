// Counters of the event thread's work, compiled in only for the benchmark
// build (CMake option SORVALEN_EDGE_COUNTERS): handler calls, batches read,
// events read and a histogram of the batch sizes. The event thread is their
// only writer, so each is a relaxed load and store (no locked instruction);
// SIGUSR1 prints them on standard error, and SIGTERM prints them and ends
// the process, from a signal handler that only loads them and calls write().
#ifndef CHARDEV_COUNTERS_H
#define CHARDEV_COUNTERS_H

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace chardev {

// Batch sizes by powers of two: bucket k holds sizes 2^k to 2^(k+1) - 1, the
// last one the full batch of 256 events.
constexpr std::size_t batchBuckets = 9;

struct Counters {
    std::atomic<std::uint64_t> handlerCalls{0};
    std::atomic<std::uint64_t> batches{0};
    std::atomic<std::uint64_t> events{0};
    std::atomic<std::uint64_t> batchSizes[batchBuckets]{};
};

// One more for the single writer: no read-modify-write needed.
inline void bump(std::atomic<std::uint64_t>& counter, std::uint64_t by = 1) {
    counter.store(counter.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

// Counts one batch of `events` events (at least 1).
void countBatch(Counters& counters, std::size_t events);

// Installs the SIGUSR1 and SIGTERM handlers that print `counters` with the
// event thread's id `tid` and the clock edges the kernel dropped, read
// through `lostClockEdges`.
void printCountersOnSignal(const Counters* counters, const std::uint64_t* lostClockEdges);

// Tells the printer the event thread's id.
void setEventThreadId(long tid);

}  // namespace chardev

#endif
