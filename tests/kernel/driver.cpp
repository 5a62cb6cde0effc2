// Test driver for the kernel leg: makes clock edges and S/N levels on lines
// of a gpio-sim chip by writing their sysfs "pull" attributes, as a receiver
// would drive the board's pins. See usage() for the options.
//
// It must run below the real-time priority (50) of the kernel's threaded
// interrupt handlers that queue edge events; above it, it starves them and
// edges are merged. It leaves its own scheduling alone.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

#include "chip.h"

namespace {

using kernel_test::parse_count;

void usage() {
    std::fputs(
        "usage: driver --sysfs DIR --clock N --sn N (--edges N | --windows N) [options]\n"
        "  --sysfs DIR        the chip's sysfs directory (holds sim_gpioK/pull)\n"
        "  --clock N, --sn N  offsets of the clock and S/N lines\n"
        "  --edges N          number of falling clock edges to make\n"
        "  --high P           high S/N samples per 1000 edges, 0..1000 (default 0);\n"
        "                     spread evenly: any 1000 consecutive edges hold P\n"
        "  --first K          start the --high pattern at edge K, as a driver that made\n"
        "                     K edges before would go on (default 0)\n"
        "  --flip             invert the S/N level right after each falling edge\n"
        "  --rate R           R edges a second (default: as fast as it can write)\n"
        "  --steady           with --rate: when late, do not make up the edges owed\n"
        "                     back to back; go on from now, the next edge a step away\n"
        "  --stop PID         stop PID (SIGSTOP) for each burst, then continue it\n"
        "  --burst N          edges per burst while PID is stopped (with --stop)\n"
        "  --run-ms M         how long PID runs between bursts (default 50)\n"
        "  --gap-us U         wait U microseconds after every change of a line (for a\n"
        "                     kernel that handles simulated interrupts only at its\n"
        "                     timer tick and merges changes within one; default 0)\n"
        "  --wait-chip PATH   first wait until both lines are requested for edges on\n"
        "                     PATH, their detection set up; prints \"driver: watching\n"
        "                     lines ...\" once it watches them (start it first)\n"
        "  --wait-timeout S   how long to wait for that (default 10)\n"
        "  --pause-every N    after every N falling edges print \"driver: edge K at T ms\"\n"
        "                     (K the edge's number from 1, T its time on CLOCK_MONOTONIC)\n"
        "  --pause-ms M       and then pause M milliseconds (default 0)\n"
        "  --windows N        instead of --edges: go on until the metrics file counts N\n"
        "                     reports (sorvalen_windows_total; every 100 edges, each burst)\n"
        "  --metrics FILE     the program's metrics file (SORVALEN_METRICS_FILE)\n"
        "  --pulse-every N    after every N falling edges, once the clock is high again,\n"
        "                     move the S/N line to the other level and straight back;\n"
        "                     prints how many of these pulses fell within one timer tick\n"
        "                     (CLOCK_MONOTONIC_COARSE the same before and after) and how\n"
        "                     many across one\n",
        stderr);
}

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "driver: %s\n", message.c_str());
    std::exit(2);
}

// A gpio-sim line's pull attribute, kept open: each write moves the line.
class Pull {
public:
    Pull(const std::string& sysfs, unsigned offset)
        : path_(sysfs + "/sim_gpio" + std::to_string(offset) + "/pull"),
          fd_(::open(path_.c_str(), O_WRONLY)) {
        if (fd_ < 0) die("cannot open " + path_ + ": " + std::strerror(errno));
    }
    ~Pull() {
        ::close(fd_);
    }
    Pull(const Pull&) = delete;
    Pull& operator=(const Pull&) = delete;

    void set(bool high) {
        const char* text = high ? "pull-up" : "pull-down";
        if (pwrite(fd_, text, std::strlen(text), 0) < 0)
            die("cannot write " + path_ + ": " + std::strerror(errno));
        level_ = high;
    }
    bool level() const {
        return level_;
    }

private:
    std::string path_;
    int fd_;
    bool level_ = false;
};

double now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void add_ns(timespec& t, long ns) {
    t.tv_nsec += ns;
    while (t.tv_nsec >= 1000000000L) {
        t.tv_nsec -= 1000000000L;
        ++t.tv_sec;
    }
}

// Sleeps until the next edge is due, one step after the last. Late (the
// driver held off the CPU), it makes up the edges it owes back to back,
// unless `steady`: then the schedule starts again from now, the next edge a
// whole step away, so that the rate never rises above the one asked for and
// no two edges come in a row (a reader's interrupt thread held below the
// driver would merge them).
void sleep_until(timespec& when, long step_ns, bool steady) {
    add_ns(when, step_ns);
    if (steady) {
        timespec at{};
        clock_gettime(CLOCK_MONOTONIC, &at);
        if (at.tv_sec > when.tv_sec || (at.tv_sec == when.tv_sec && at.tv_nsec > when.tv_nsec)) {
            when = at;
            add_ns(when, step_ns);
        }
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
    }
}

void sleep_ms(unsigned ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Waits until the process is in the stopped state, so that it reads no more
// events once the burst begins.
void wait_stopped(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    for (int i = 0; i < 2000; ++i) {
        std::ifstream stat(path);
        std::string line;
        std::getline(stat, line);
        const auto paren = line.rfind(')');
        if (paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'T') return;
        sleep_ms(1);
    }
    die("process " + std::to_string(pid) + " did not stop");
}

// Waits until the program under test holds both lines with their edge
// detection set up. A line shows as used as soon as it is requested, before
// the kernel has set up its edge interrupt; its "requested" change event
// comes only after that. So the driver watches the lines' info and waits for
// that event on each line not yet used when it started watching. Lines
// already used then may be still being set up: it waits a while for them.
// True once a line is requested with edge detection: a program that first
// takes its lines as plain inputs and only later asks for their edges (as the
// character-device back end does when its handler is registered) is not ready
// before that.
bool has_edges(const gpio_v2_line_info& info) {
    return (info.flags & GPIO_V2_LINE_FLAG_USED) != 0 &&
           (info.flags & (GPIO_V2_LINE_FLAG_EDGE_RISING | GPIO_V2_LINE_FLAG_EDGE_FALLING)) != 0;
}

void wait_requested(const std::string& chip_path, unsigned clock, unsigned sn, unsigned timeout_s) {
    kernel_test::Chip chip(chip_path);
    if (!chip.ok()) die("cannot open " + chip_path + ": " + std::strerror(errno));
    bool ready[2] = {false, false};
    const unsigned offsets[2] = {clock, sn};
    for (int i = 0; i < 2; ++i) {
        gpio_v2_line_info info{};
        info.offset = offsets[i];
        if (ioctl(chip.fd(), GPIO_V2_GET_LINEINFO_WATCH_IOCTL, &info) != 0)
            die("cannot watch line " + std::to_string(offsets[i]) + " on " + chip_path + ": " +
                std::strerror(errno));
        ready[i] = has_edges(info);
    }
    std::printf("driver: watching lines %u and %u on %s\n", clock, sn, chip_path.c_str());
    std::fflush(stdout);
    if (ready[0] && ready[1]) {
        std::fprintf(
            stderr,
            "driver: both lines were already requested for edges; giving their set-up 200 ms\n");
        sleep_ms(200);
        return;
    }
    // The kernel tells a request after it has set up the line's edge
    // detection; a line that is released again (a plain input request given
    // up for one with edges) is waited for anew.
    const double deadline = now() + timeout_s;
    while (!(ready[0] && ready[1])) {
        const double left = deadline - now();
        pollfd pfd{chip.fd(), POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, static_cast<int>(left * 1000) + 1) == 0)
            die("lines " + std::to_string(clock) + " and " + std::to_string(sn) + " on " +
                chip_path + " were not requested for edges within " + std::to_string(timeout_s) +
                " s");
        gpio_v2_line_info_changed change{};
        if (read(chip.fd(), &change, sizeof change) != static_cast<ssize_t>(sizeof change)) {
            if (errno == EINTR) continue;
            die("cannot read line changes on " + chip_path);
        }
        const int index = change.info.offset == clock ? 0 : change.info.offset == sn ? 1 : -1;
        if (index < 0) continue;
        if (change.event_type == GPIO_V2_LINE_CHANGED_RELEASED)
            ready[index] = false;
        else
            ready[index] = has_edges(change.info);
    }
}

// The reports printed: sorvalen_windows_total of the metrics file (or 0).
std::uint64_t windows_reported(const std::string& metrics) {
    std::ifstream file(metrics);
    std::string line;
    const std::string name = "sorvalen_windows_total ";
    while (std::getline(file, line)) {
        if (line.compare(0, name.size(), name) == 0)
            return parse_count(line.substr(name.size())).value_or(0);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string sysfs, wait_chip, metrics;
    std::uint64_t clock = ~0ULL, sn = ~0ULL, edges = ~0ULL, high = 0, rate = 0, stop_pid = 0,
                  burst = 0, run_ms = 50, wait_timeout = 10, gap_us = 0, pause_every = 0,
                  pause_ms = 0, first = 0, windows = 0, pulse_every = 0;
    bool flip = false, steady = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--flip") {
            flip = true;
            continue;
        }
        if (arg == "--steady") {
            steady = true;
            continue;
        }
        if (i + 1 >= argc) {
            usage();
            die("option " + arg + " needs a value");
        }
        const std::string value = argv[++i];
        if (arg == "--sysfs") {
            sysfs = value;
            continue;
        }
        if (arg == "--wait-chip") {
            wait_chip = value;
            continue;
        }
        if (arg == "--metrics") {
            metrics = value;
            continue;
        }
        auto number = parse_count(value);
        if (!number) die("option " + arg + ": '" + value + "' is not a whole number");
        if (arg == "--clock")
            clock = *number;
        else if (arg == "--sn")
            sn = *number;
        else if (arg == "--edges")
            edges = *number;
        else if (arg == "--high")
            high = *number;
        else if (arg == "--rate")
            rate = *number;
        else if (arg == "--stop")
            stop_pid = *number;
        else if (arg == "--burst")
            burst = *number;
        else if (arg == "--run-ms")
            run_ms = *number;
        else if (arg == "--wait-timeout")
            wait_timeout = *number;
        else if (arg == "--gap-us")
            gap_us = *number;
        else if (arg == "--pause-every")
            pause_every = *number;
        else if (arg == "--pause-ms")
            pause_ms = *number;
        else if (arg == "--first")
            first = *number;
        else if (arg == "--windows")
            windows = *number;
        else if (arg == "--pulse-every")
            pulse_every = *number;
        else {
            usage();
            die("unknown option " + arg);
        }
    }
    if (sysfs.empty() || clock == ~0ULL || sn == ~0ULL || (edges == ~0ULL && windows == 0)) {
        usage();
        die("--sysfs, --clock, --sn and --edges or --windows are needed");
    }
    if (windows != 0 && metrics.empty()) die("--windows needs --metrics");
    if (clock == sn) die("the clock and S/N lines must differ");
    if (high > 1000) die("--high must be 0..1000");
    if (rate > 1000000000ULL) die("--rate must be at most 1000000000");
    if ((stop_pid != 0) != (burst != 0)) die("--stop and --burst go together");
    if (gap_us > 1000000) die("--gap-us must be at most 1000000");
    if (pause_ms > 3600000) die("--pause-ms must be at most 3600000");

    if (!wait_chip.empty()) wait_requested(wait_chip, clock, sn, wait_timeout);

    Pull clock_line(sysfs, clock), sn_line(sysfs, sn);
    clock_line.set(true);
    sn_line.set(false);

    const auto pid = static_cast<pid_t>(stop_pid);
    const long step_ns = rate ? static_cast<long>(1000000000ULL / rate) : 0;
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    std::uint64_t highs = 0;
    std::uint64_t pulses[2] = {0, 0};  // within one tick, across one
    const double start = now();
    std::uint64_t k = 0;
    for (; k < edges; ++k) {
        const bool burst_starts = pid && k % burst == 0;
        if (burst_starts && k != 0) {
            kill(pid, SIGCONT);
            sleep_ms(static_cast<unsigned>(run_ms));
            clock_gettime(CLOCK_MONOTONIC, &next);
        }
        if (windows && (burst_starts || k % 100 == 0) && windows_reported(metrics) >= windows)
            break;
        if (burst_starts) {
            if (kill(pid, SIGSTOP) != 0)
                die("cannot stop process " + std::to_string(pid) + ": " + std::strerror(errno));
            wait_stopped(pid);
        }
        // Level for edge k: the high samples of every 1000 edges spread evenly.
        const std::uint64_t n = (first + k) % 1000;
        const bool level = ((n + 1) * high / 1000 - n * high / 1000) != 0;
        highs += level;
        // Each change, then the gap before the next one.
        const auto change = [gap_us](Pull& line, bool high) {
            line.set(high);
            if (gap_us) usleep(static_cast<useconds_t>(gap_us));
        };
        if (sn_line.level() != level) change(sn_line, level);
        const double fell = now();
        change(clock_line, false);
        if (flip) change(sn_line, !level);
        change(clock_line, true);
        if (pulse_every && (k + 1) % pulse_every == 0) {
            timespec before{}, after{};
            clock_gettime(CLOCK_MONOTONIC_COARSE, &before);
            sn_line.set(!sn_line.level());
            sn_line.set(!sn_line.level());
            clock_gettime(CLOCK_MONOTONIC_COARSE, &after);
            ++pulses[before.tv_sec == after.tv_sec && before.tv_nsec == after.tv_nsec ? 0 : 1];
            if (gap_us) usleep(static_cast<useconds_t>(gap_us));
        }
        if (pause_every && (k + 1) % pause_every == 0) {
            std::printf("driver: edge %llu at %.3f ms\n", static_cast<unsigned long long>(k + 1),
                        fell * 1000);
            std::fflush(stdout);
            sleep_ms(static_cast<unsigned>(pause_ms));
            clock_gettime(CLOCK_MONOTONIC, &next);
            continue;
        }
        if (step_ns) sleep_until(next, step_ns, steady);
    }
    const double seconds = now() - start;
    if (pid) kill(pid, SIGCONT);
    std::printf("driver: %llu falling edges, %llu high, %.3f s, %.0f edges/s\n",
                static_cast<unsigned long long>(k), static_cast<unsigned long long>(highs), seconds,
                seconds > 0 ? static_cast<double>(k) / seconds : 0.0);
    if (pulse_every)
        std::printf("driver: %llu pulses within one tick, %llu across one\n",
                    static_cast<unsigned long long>(pulses[0]),
                    static_cast<unsigned long long>(pulses[1]));
    return 0;
}
