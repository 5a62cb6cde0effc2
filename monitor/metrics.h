// The report's figures for Prometheus: after each report line the report
// cycle writes the window's figures in Prometheus's text format to the file
// that SORVALEN_METRICS_FILE names (none when it is unset), for
// node-exporter's textfile collector to serve.
#ifndef SORVALEN_METRICS_H
#define SORVALEN_METRICS_H

#include <cstddef>
#include <cstdint>
#include <ctime>

// Edge events the GPIO library could not take at their edge since the
// program started, by cause, as its loss line on standard error tells them.
struct RxsnLosses {
    std::uint64_t dropped;  // dropped from the kernel's full queue
    std::uint64_t late;     // came too late to be taken in order
    std::uint64_t merged;   // merged by the kernel into a later edge of their line
    std::uint64_t unseen;   // edges of an input that the kernel never saw
};

// The library's count of them. Only the character-device back end keeps one
// (it exports rxsnEdgeLosses); on any other the counts are 0.
RxsnLosses rxsnLosses();

// The window's figures as the file holds them, into `out` (`size` bytes):
// `sum` the window's high samples, `windows` the reports printed so far
// (this one included), `printed` when this one was printed (CLOCK_REALTIME)
// and `losses`. Returns the length, or 0 when `size` is too small.
std::size_t rxsnMetricsFormat(char* out, std::size_t size, std::uint16_t sum, std::uint64_t windows,
                              const timespec& printed, const RxsnLosses& losses);

// Takes the file's name from SORVALEN_METRICS_FILE; returns false, and
// writes nothing from then on, where it is unset or empty.
bool rxsnMetricsStart();

// Counts the window whose report line was just printed, with sum `sum`, and
// replaces the file whole with its figures: a temporary file in the same
// directory, renamed over it, so that a reader sees the old figures or the
// new ones, never a part. A file that cannot be written is told once on
// standard error; the program runs on.
void rxsnMetricsWrite(std::uint16_t sum);

#endif
