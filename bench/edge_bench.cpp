// What the program exists for is to keep up with the clock. These benchmarks
// measure the edge handler and the whole program (handler plus the
// busy-polling report cycle) against the floor that any sound handler has: a
// bare relaxed atomic increment.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "monitor/monitor.h"

namespace {

std::atomic<std::uint32_t> counter{0};

void BM_BareIncrement(benchmark::State& state) {
    for (auto _ : state) {
        for (int i = 0; i < rxsnWindowSize; ++i) {
            counter.fetch_add(1, std::memory_order_relaxed);
        }
    }
    state.SetItemsProcessed(state.iterations() * rxsnWindowSize);
}
BENCHMARK(BM_BareIncrement);

// The handler over whole windows: 1000 sampled edges, then the reset that
// the report cycle would make.
void BM_Handler(benchmark::State& state) {
    rxsnReset();
    for (auto _ : state) {
        for (int i = 0; i < rxsnWindowSize; ++i) {
            rxINT();
        }
        rxsnReset();
    }
    state.SetItemsProcessed(state.iterations() * rxsnWindowSize);
}
BENCHMARK(BM_Handler);

// Edges that arrive after the window is complete: counted, not sampled.
void BM_HandlerLateEdges(benchmark::State& state) {
    for (auto _ : state) {
        rxsnWindow.store(rxsnWindowSize, std::memory_order_relaxed);
        for (int i = 0; i < rxsnWindowSize; ++i) {
            rxINT();
        }
    }
    state.SetItemsProcessed(state.iterations() * rxsnWindowSize);
}
BENCHMARK(BM_HandlerLateEdges);

// The bare increment again, while another thread busy-polls the same word as
// the report cycle does: the floor for the whole program.
void BM_BareIncrementPolled(benchmark::State& state) {
    std::atomic<bool> stop{false};
    std::thread poller([&stop] {
        while (!stop.load(std::memory_order_relaxed)) {
            benchmark::DoNotOptimize(counter.load(std::memory_order_relaxed));
        }
    });
    for (auto _ : state) {
        for (int i = 0; i < rxsnWindowSize; ++i) {
            counter.fetch_add(1, std::memory_order_relaxed);
        }
    }
    stop = true;
    poller.join();
    state.SetItemsProcessed(state.iterations() * rxsnWindowSize);
}
BENCHMARK(BM_BareIncrementPolled)->UseRealTime();

// The whole program: this thread is the clock and calls the handler as fast
// as it can; the report cycle runs on another thread and writes its lines to
// a pipe that a third thread drains and checks.
void BM_Program(benchmark::State& state) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        state.SkipWithError("pipe failed");
        return;
    }
    std::fflush(stdout);
    const int savedStdout = dup(1);
    dup2(pipeFds[1], 1);
    close(pipeFds[1]);

    std::string output;
    std::thread drain([&output, fd = pipeFds[0]] {
        char buffer[4096];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
            output.append(buffer, static_cast<std::size_t>(n));
        }
    });

    std::vector<std::uint16_t> sums;
    sums.reserve(1u << 20);
    // Edges counted after a window was complete and before its reset: the
    // handler's calls that sampled nothing. The cycle here resets with an
    // exchange to read them; the program's own reset is a plain store.
    std::uint64_t lateEdges = 0;
    std::uint16_t lateWorst = 0;
    std::atomic<std::size_t> reports{0};
    std::atomic<bool> stop{false};
    std::atomic<bool> cycleDone{false};
    rxsnReset();
    std::thread cycle([&] {
        do {
            const std::uint16_t sum = rxsnAwait();
            rxsnReport(sum);
            ++reports;
            if (sums.size() < sums.capacity()) {
                sums.push_back(sum);
            }
            const auto late = static_cast<std::uint16_t>(
                rxsnCount(rxsnWindow.exchange(0, std::memory_order_relaxed)) - rxsnWindowSize);
            lateEdges += late;
            lateWorst = std::max(lateWorst, late);
        } while (!stop.load(std::memory_order_relaxed));
        cycleDone = true;
    });

    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        for (int i = 0; i < rxsnWindowSize; ++i) {
            rxINT();
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::size_t reportsSeen = reports.load();
    stop = true;
    while (!cycleDone.load(std::memory_order_relaxed)) {
        rxINT();  // lets the cycle see one more window and stop
    }
    cycle.join();

    std::fflush(stdout);
    dup2(savedStdout, 1);
    close(savedStdout);
    drain.join();
    close(pipeFds[0]);

    const std::string line = "% high: 100, BER: 8.7e-07, SN: 13.3\n";
    std::size_t bad = 0;
    for (const std::uint16_t sum : sums) {
        bad += sum != 1000 ? 1 : 0;
    }
    std::size_t lines = 0;
    for (std::size_t at = 0; at < output.size(); at += line.size(), ++lines) {
        bad += output.compare(at, line.size(), line) != 0 ? 1 : 0;
    }
    if (bad != 0 || lines != reports) {
        state.SkipWithError("a report was not exact");
    }
    // items_per_second counts every handler call; only the first 1000 of a
    // window are sampled into a report. The sampled rate is the useful one.
    state.counters["reports"] = static_cast<double>(lines);
    state.counters["sampled_per_s"] = static_cast<double>(reportsSeen) * rxsnWindowSize / seconds;
    state.counters["late_mean"] =
        lines != 0 ? static_cast<double>(lateEdges) / static_cast<double>(lines) : 0.0;
    state.counters["late_worst"] = lateWorst;
    state.SetItemsProcessed(state.iterations() * rxsnWindowSize);
}
BENCHMARK(BM_Program)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
