// Signal-quality monitor: the sampling window shared by the edge handler and
// the report cycle, the quality table and the report line.
#ifndef SORVALEN_MONITOR_H
#define SORVALEN_MONITOR_H

#include <atomic>
#include <cstdint>

// Pins in the GPIO library's own numbering.
constexpr int rxsnPinInput = 4;  // S/N indicator, sampled on each edge
constexpr int rxsnPinClock = 6;  // clock, falling edges call rxINT

// Edges (and samples) in one window.
constexpr std::uint16_t rxsnWindowSize = 1000;

// The window state: rxsnCount in the low 16 bits, rxsnSum in the high 16 bits
// of one word. Keeping both in one atomic word makes every step of the edge
// handler and every reset a single atomic operation, so the main loop can
// never see a count without the samples that belong to it, and a reset can
// never be undone by an edge that was half-way through its update.
//
// rxsnCount: edges seen since the last reset. It stops at 65535 instead of
//   wrapping, so a window that is waiting to be reported stays complete no
//   matter how many edges arrive before the main loop gets to it.
// rxsnSum: high samples among the first rxsnWindowSize edges of the window;
//   at most rxsnWindowSize.
extern std::atomic<std::uint32_t> rxsnWindow;

constexpr std::uint16_t rxsnCount(std::uint32_t window) {
    return static_cast<std::uint16_t>(window & 0xFFFFu);
}
constexpr std::uint16_t rxsnSum(std::uint32_t window) {
    return static_cast<std::uint16_t>(window >> 16);
}

// Edge handler: the GPIO library calls it once per falling clock edge. It
// raises the count and, for the first rxsnWindowSize edges of a window, adds
// the level of the S/N input to the sum. No lock, no output, no allocation.
void rxINT();

// Opens a new, empty window (count and sum to 0 in one store).
void rxsnReset();

// Busy-polls until the current window is complete and returns its sum, which
// is exactly the number of high samples among its first rxsnWindowSize edges.
std::uint16_t rxsnAwait();

// The nice value of the report cycle's thread: the lowest priority of an
// ordinary thread.
constexpr int rxsnNice = 19;

// Gives the calling thread, and only it, the nice value rxsnNice: it then
// runs on processor time that other tasks leave, but for a small share.
// Needs no privilege; returns false, changing nothing, where it is refused.
bool rxsnLowPriority();

// The report cycle: gives its own thread the lowest priority, opens a window,
// then for ever waits for it to complete, reports it and opens the next one.
// It must be entered after the edge handler is registered, so that the GPIO
// library's thread, made by the registration, keeps its own priority.
[[noreturn]] void rxsnCycle();

// One row of the signal-quality table.
struct RxsnRow {
    std::int32_t high;  // percentage of samples high; equals the row index
    float ber;          // bit error rate
    float sn;           // signal-to-noise figure
};

constexpr int rxsnRows = 101;
extern const RxsnRow rxsn[rxsnRows];

// Writes the report line for a window whose sum of high samples is `sum`
// (0..rxsnWindowSize) to standard output.
void rxsnReport(std::uint16_t sum);

#endif
