// The window under real concurrency: an edge thread calls the handler as fast
// as it can while the main loop's steps run on this thread, and the report
// sink now and then stalls for long stretches (as a report line blocked on a
// full pipe would), long enough for the count to reach its limit.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "board.h"
#include "fake_gpio.h"
#include "monitor/monitor.h"

namespace {

// Runs `windows` report cycles against an edge thread whose S/N input is high
// on `highs` of every 1000 consecutive edges, as the simulated board gives it,
// so that every window holds exactly `highs` high samples wherever it starts.
// Returns the sums the cycle reported.
std::vector<std::uint16_t> runCycles(unsigned highs, int windows, int stallEvery,
                                     std::chrono::milliseconds stall) {
    fake::reset();
    std::uint64_t edge = 0;  // only the edge thread touches it
    fake::level = [&edge, highs] { return simboard::levelAt(highs, edge); };
    std::atomic<bool> stop{false};

    rxsnReset();
    std::thread clock([&stop, &edge] {
        while (!stop.load(std::memory_order_relaxed)) {
            rxINT();
            ++edge;
        }
    });

    std::vector<std::uint16_t> sums;
    for (int i = 0; i < windows; ++i) {
        sums.push_back(rxsnAwait());
        if (i % stallEvery == stallEvery - 1) {
            std::this_thread::sleep_for(stall);
        }
        rxsnReset();
    }
    stop = true;
    clock.join();
    fake::reset();
    return sums;
}

TEST(Stress, EveryReportIsExactUnderAnyTiming) {
    for (const unsigned highs : {1000u, 573u}) {
        const auto sums = runCycles(highs, 3000, 100, std::chrono::milliseconds(40));
        ASSERT_EQ(sums.size(), 3000u);
        for (std::size_t i = 0; i < sums.size(); ++i) {
            ASSERT_EQ(sums[i], highs) << "window " << i << " with " << highs << " high in 1000";
        }
    }
}

}  // namespace
