// A CPU-bound neighbour for the kernel leg's cases: a tight loop at normal
// priority for SECONDS of wall time, then its share of the processor in that
// time, its own CPU time over the wall time:
//   spin SECONDS   prints "spin: P % of the CPU in S s"
// On a one-CPU guest the share says how much of the CPU the programs beside
// it left to it. Exit 2 on a bad argument.
#include <cstdio>
#include <ctime>

#include "chip.h"

namespace {

double seconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
    const auto wanted = argc == 2 ? kernel_test::parse_count(argv[1]) : std::nullopt;
    if (!wanted || *wanted == 0) {
        std::fputs("usage: spin SECONDS\n", stderr);
        return 2;
    }
    const double start = seconds(CLOCK_MONOTONIC);
    const double cpuStart = seconds(CLOCK_PROCESS_CPUTIME_ID);
    const double end = start + static_cast<double>(*wanted);
    double now = start;
    // The clock is read between short runs of work, so that the loop is
    // nearly all work and its end comes within microseconds of the time.
    volatile unsigned sink = 0;
    while (now < end) {
        for (unsigned i = 0; i < 10000; ++i) {
            sink = sink + i;
        }
        now = seconds(CLOCK_MONOTONIC);
    }
    const double wall = now - start;
    const double cpu = seconds(CLOCK_PROCESS_CPUTIME_ID) - cpuStart;
    std::printf("spin: %.1f %% of the CPU in %.2f s\n", 100.0 * cpu / wall, wall);
    return 0;
}
