// The report's figures in Prometheus's text format, written after each
// report line to the file SORVALEN_METRICS_FILE names.
#include "metrics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "monitor.h"

// The character-device back end's count of lost edge events, declared weak:
// on a back end without it (the simulated board, an installed library) the
// address is null.
extern "C" void rxsnEdgeLosses(std::uint64_t* dropped, std::uint64_t* late, std::uint64_t* merged,
                               std::uint64_t* unseen) __attribute__((weak));

namespace {

// The file's name and its temporary's ("<name>.tmp": the same directory, and
// not a name the textfile collector reads, which takes *.prom only).
char metricsPath[4096];
char metricsTemp[4096 + 4];
bool metricsOn = false;
bool metricsTold = false;  // a failure was told: not again
std::uint64_t windowsReported = 0;
char metricsText[4096];

// Tells, once, why the file could not be written.
void tellOnce(const char* what, int error) {
    if (metricsTold) {
        return;
    }
    metricsTold = true;
    std::fprintf(stderr, "sorvalen: cannot %s the metrics file %s: %s; reports go on without it\n",
                 what, metricsPath, std::strerror(error));
}

// Writes all of `text` to `fd` (a regular file: a short write only comes
// before an error); false with errno set on failure.
bool writeAll(int fd, const char* text, std::size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, text, length);
        if (n <= 0) {
            return false;
        }
        text += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

RxsnLosses rxsnLosses() {
    RxsnLosses losses{0, 0, 0, 0};
    if (rxsnEdgeLosses != nullptr) {
        rxsnEdgeLosses(&losses.dropped, &losses.late, &losses.merged, &losses.unseen);
    }
    return losses;
}

std::size_t rxsnMetricsFormat(char* out, std::size_t size, std::uint16_t sum, std::uint64_t windows,
                              const timespec& printed, const RxsnLosses& losses) {
    const RxsnRow& row = rxsn[sum / 10];
    // The share exactly, in thousandths; the table's single-precision values
    // widened to double and printed with the 17 significant digits that give
    // that very double back, which is what the report line formats.
    const int length = std::snprintf(
        out, size,
        "# HELP sorvalen_high_samples_ratio Share of the last window's samples of the S/N "
        "indicator that were high.\n"
        "# TYPE sorvalen_high_samples_ratio gauge\n"
        "sorvalen_high_samples_ratio %u.%03u\n"
        "# HELP sorvalen_bit_error_ratio Bit error rate the table gives for the last window.\n"
        "# TYPE sorvalen_bit_error_ratio gauge\n"
        "sorvalen_bit_error_ratio %.17g\n"
        "# HELP sorvalen_signal_to_noise Signal-to-noise figure the table gives for the last "
        "window.\n"
        "# TYPE sorvalen_signal_to_noise gauge\n"
        "sorvalen_signal_to_noise %.17g\n"
        "# HELP sorvalen_windows_total Reports printed since the program started.\n"
        "# TYPE sorvalen_windows_total counter\n"
        "sorvalen_windows_total %" PRIu64
        "\n"
        "# HELP sorvalen_last_window_timestamp_seconds When the last report was printed, in "
        "seconds since the Unix epoch.\n"
        "# TYPE sorvalen_last_window_timestamp_seconds gauge\n"
        "sorvalen_last_window_timestamp_seconds %lld.%03ld\n"
        "# HELP sorvalen_edge_events_lost_total Edge events the GPIO library could not take at "
        "their edge, by cause.\n"
        "# TYPE sorvalen_edge_events_lost_total counter\n"
        "sorvalen_edge_events_lost_total{cause=\"dropped\"} %" PRIu64
        "\n"
        "sorvalen_edge_events_lost_total{cause=\"late\"} %" PRIu64
        "\n"
        "sorvalen_edge_events_lost_total{cause=\"merged\"} %" PRIu64
        "\n"
        "sorvalen_edge_events_lost_total{cause=\"unseen\"} %" PRIu64 "\n",
        static_cast<unsigned>(sum / 1000), static_cast<unsigned>(sum % 1000),
        static_cast<double>(row.ber), static_cast<double>(row.sn), windows,
        static_cast<long long>(printed.tv_sec), printed.tv_nsec / 1000000, losses.dropped,
        losses.late, losses.merged, losses.unseen);
    if (length < 0 || static_cast<std::size_t>(length) >= size) {
        return 0;
    }
    return static_cast<std::size_t>(length);
}

bool rxsnMetricsStart() {
    metricsOn = false;
    metricsTold = false;
    windowsReported = 0;
    const char* name = std::getenv("SORVALEN_METRICS_FILE");
    if (name == nullptr || *name == '\0') {
        return false;
    }
    if (std::strlen(name) >= sizeof metricsPath) {
        std::snprintf(metricsPath, sizeof metricsPath, "%.64s...", name);
        tellOnce("use", ENAMETOOLONG);
        return false;
    }
    std::snprintf(metricsPath, sizeof metricsPath, "%s", name);
    std::snprintf(metricsTemp, sizeof metricsTemp, "%s.tmp", name);
    metricsOn = true;
    return true;
}

void rxsnMetricsWrite(std::uint16_t sum) {
    if (!metricsOn) {
        return;
    }
    timespec printed{};
    clock_gettime(CLOCK_REALTIME, &printed);
    ++windowsReported;
    const std::size_t length = rxsnMetricsFormat(metricsText, sizeof metricsText, sum,
                                                 windowsReported, printed, rxsnLosses());
    const int fd = open(metricsTemp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        tellOnce("create", errno);
        return;
    }
    // Readable by the collector's user whatever the umask (a service may
    // run with 0077).
    fchmod(fd, 0644);
    const bool written = writeAll(fd, metricsText, length);
    const int error = errno;
    if (close(fd) != 0 || !written) {
        tellOnce("write", written ? errno : error);
        unlink(metricsTemp);
        return;
    }
    if (rename(metricsTemp, metricsPath) != 0) {
        tellOnce("replace", errno);
        unlink(metricsTemp);
    }
}
