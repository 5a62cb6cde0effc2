// What a report costs the report cycle when SORVALEN_METRICS_FILE is set:
// the metrics file written whole after the report line, in a directory on
// tmpfs (as the service's /run/sorvalen) and on the disk the benchmark runs
// from. Counted: formatting the figures, creating and writing the temporary
// file and renaming it over the old one. Not counted: the report line.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "monitor/metrics.h"

namespace {

void BM_MetricsWrite(benchmark::State& state, const char* base) {
    char dir[256];
    std::snprintf(dir, sizeof dir, "%s/sorvalen-bench-XXXXXX", base);
    if (mkdtemp(dir) == nullptr) {
        state.SkipWithError("cannot make a directory");
        return;
    }
    const std::string file = std::string(dir) + "/sorvalen.prom";
    setenv("SORVALEN_METRICS_FILE", file.c_str(), 1);
    rxsnMetricsStart();
    for (auto _ : state) {
        rxsnMetricsWrite(725);
    }
    unsetenv("SORVALEN_METRICS_FILE");
    rxsnMetricsStart();
    std::filesystem::remove_all(dir);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(BM_MetricsWrite, tmpfs, "/dev/shm");
BENCHMARK_CAPTURE(BM_MetricsWrite, disk, ".");

// The text alone.
void BM_MetricsFormat(benchmark::State& state) {
    char text[4096];
    const timespec now{1765350000, 0};
    std::uint64_t windows = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            rxsnMetricsFormat(text, sizeof text, 725, ++windows, now, {0, 0, 0, 0}));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MetricsFormat);

}  // namespace

BENCHMARK_MAIN();
