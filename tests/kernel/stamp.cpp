// Copies standard input to standard output a line at a time, each line
// prefixed with the moment it was read on CLOCK_MONOTONIC in milliseconds
// ("12345.678 line"): with the driver's "driver: edge N at T ms" lines, on the
// same clock, it gives how long after a window's last clock edge the program
// printed the window's report.
#include <cstdio>
#include <ctime>

int main() {
    char line[4096];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        std::printf("%lld.%03ld %s",
                    static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000,
                    ts.tv_nsec / 1000 % 1000, line);
        std::fflush(stdout);
    }
    return 0;
}
