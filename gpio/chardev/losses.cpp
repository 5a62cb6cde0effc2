// The loss totals behind a sequence count: the edge thread writes them, the
// report cycle reads them once a window. The totals are 64-bit, and a 64-bit
// atomic is not lock-free on every board (ARMv6 with the armel runtime), so
// each is kept as two 32-bit halves, and a reader that finds the count odd
// or changed while it read starts again. Every access is atomic: the release
// stores and acquire loads order the halves against the count.
#include "losses.h"

#include <atomic>

namespace chardev {

namespace {

constexpr unsigned totals = 4;  // dropped, late, merged, unseen

std::atomic<std::uint32_t> version{0};      // odd while the edge thread writes
std::atomic<std::uint32_t> high[totals]{};  // each total's upper and lower 32 bits
std::atomic<std::uint32_t> low[totals]{};
std::uint64_t written[totals]{};  // the edge thread's own copy

}  // namespace

void addLosses(std::uint64_t dropped, std::uint64_t late, std::uint64_t merged,
               std::uint64_t unseen) {
    const std::uint64_t added[totals] = {dropped, late, merged, unseen};
    const std::uint32_t v = version.load(std::memory_order_relaxed);
    version.store(v + 1, std::memory_order_relaxed);
    for (unsigned i = 0; i < totals; ++i) {
        written[i] += added[i];
        high[i].store(static_cast<std::uint32_t>(written[i] >> 32), std::memory_order_release);
        low[i].store(static_cast<std::uint32_t>(written[i]), std::memory_order_release);
    }
    version.store(v + 2, std::memory_order_release);
}

}  // namespace chardev

extern "C" void rxsnEdgeLosses(std::uint64_t* dropped, std::uint64_t* late, std::uint64_t* merged,
                               std::uint64_t* unseen) {
    using chardev::high;
    using chardev::low;
    using chardev::totals;
    using chardev::version;
    std::uint64_t read[totals];
    for (;;) {
        const std::uint32_t before = version.load(std::memory_order_acquire);
        for (unsigned i = 0; i < totals; ++i) {
            read[i] = static_cast<std::uint64_t>(high[i].load(std::memory_order_acquire)) << 32 |
                      low[i].load(std::memory_order_acquire);
        }
        if ((before & 1u) == 0 && version.load(std::memory_order_relaxed) == before) {
            break;
        }
    }
    *dropped = read[0];
    *late = read[1];
    *merged = read[2];
    *unseen = read[3];
}
