// Watches a clock line and an S/N line through the GPIO character device
// (uAPI v2), as the monitor does on a board: finds both lines by name,
// requests the clock for falling edges and the S/N line for both edges in
// one request, and counts the falling clock edges and the S/N level at each.
// The level is followed through the S/N line's own edge events, ordered by
// the request's sequence numbers, so it is the level at the clock edge, not
// the level when the event is read.
//
// --high P checks the level at each edge against the driver's pattern for P
// high samples per 1000 edges and prints the first edges that differ, with
// the events before them; the closing line then also gives wrong=N.
// --buffer asks the kernel for a queue of that many events (default and
// least 16 a line; it holds at most 1024).
// --order 1 counts the events queued after one with a higher seqno (the
// kernel queues events in the order the lines' interrupt threads run) and
// adds backward=N to the closing line.
// Prints "chip PATH clock N sn N" once the lines are held, then
// "falling=N high=H [wrong=W] lost=L" (L events dropped by the kernel's full
// queue, from gaps in their sequence numbers) after --edges falling edges (exit 0) or at the time
// limit (exit 1). Exit 2 on errors.
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "chip.h"

namespace {

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "edge_watch: %s\n", message.c_str());
    std::exit(2);
}

long long now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

int main(int argc, char** argv) {
    std::string clock_name = "GPIO25", sn_name = "GPIO23";
    std::uint64_t edges = 1000, timeout_s = 30, buffer = 0, expect_high = ~0ULL, order = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i], value = argv[i + 1];
        if (arg == "--clock-name")
            clock_name = value;
        else if (arg == "--sn-name")
            sn_name = value;
        else if (arg == "--edges" || arg == "--timeout" || arg == "--buffer" || arg == "--high" ||
                 arg == "--order") {
            auto number = kernel_test::parse_count(value);
            if (!number) die(arg + ": '" + value + "' is not a whole number");
            (arg == "--edges"     ? edges
             : arg == "--timeout" ? timeout_s
             : arg == "--buffer"  ? buffer
             : arg == "--order"   ? order
                                  : expect_high) = *number;
        } else
            die("unknown option " + arg);
    }
    if (argc % 2 == 0)
        die("usage: edge_watch [--clock-name NAME] [--sn-name NAME] [--edges N] [--timeout S] "
            "[--buffer EVENTS] [--high P] [--order 1]");

    std::string chip_path;
    unsigned clock = 0, sn = 0;
    bool found = false;
    for (const auto& path : kernel_test::chip_paths()) {
        kernel_test::Chip chip(path);
        if (!chip.ok()) die("cannot open " + path + ": " + std::strerror(errno));
        auto c = chip.find_line(clock_name);
        if (!c) continue;
        auto s = chip.find_line(sn_name);
        if (!s) die(path + " has " + clock_name + " but no " + sn_name);
        chip_path = path;
        clock = *c;
        sn = *s;
        found = true;
        break;
    }
    if (!found) die("no chip has a line named " + clock_name);

    kernel_test::Chip chip(chip_path);
    gpio_v2_line_request request{};
    request.offsets[0] = clock;
    request.offsets[1] = sn;
    request.num_lines = 2;
    request.event_buffer_size = static_cast<std::uint32_t>(buffer);
    std::strncpy(request.consumer, "edge_watch", sizeof request.consumer - 1);
    request.config.flags = GPIO_V2_LINE_FLAG_INPUT;
    request.config.num_attrs = 2;
    request.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_FLAGS;
    request.config.attrs[0].attr.flags = GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_EDGE_FALLING;
    request.config.attrs[0].mask = 1;
    request.config.attrs[1].attr.id = GPIO_V2_LINE_ATTR_ID_FLAGS;
    request.config.attrs[1].attr.flags =
        GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_EDGE_RISING | GPIO_V2_LINE_FLAG_EDGE_FALLING;
    request.config.attrs[1].mask = 2;
    if (ioctl(chip.fd(), GPIO_V2_GET_LINE_IOCTL, &request) != 0)
        die("cannot request lines on " + chip_path + ": " + std::strerror(errno));
    const int fd = request.fd;

    gpio_v2_line_values values{0, 2};
    if (ioctl(fd, GPIO_V2_LINE_GET_VALUES_IOCTL, &values) != 0)
        die(std::string("cannot read values: ") + std::strerror(errno));
    bool level = (values.bits & 2) != 0;
    std::printf("chip %s clock %u sn %u\n", chip_path.c_str(), clock, sn);
    std::fflush(stdout);

    std::uint64_t falling = 0, high = 0, wrong = 0, lost = 0, backward = 0;
    std::uint32_t queued_seqno = 0;  // seqno of the event queued last
    std::uint32_t next_seqno = 1;    // the request's events are numbered from 1
    gpio_v2_line_event recent[4]{};  // the last events, for the report of a wrong level
    const long long deadline = now_ms() + static_cast<long long>(timeout_s) * 1000;
    gpio_v2_line_event events[64];
    while (falling < edges) {
        const long long left = deadline - now_ms();
        if (left <= 0) break;
        pollfd pfd{fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) die(std::string("poll: ") + std::strerror(errno));
        if (ready == 0) break;
        const ssize_t got = read(fd, events, sizeof events);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0 || got % static_cast<ssize_t>(sizeof events[0]) != 0)
            die("short read of events");
        const auto count = static_cast<std::size_t>(got) / sizeof events[0];
        for (std::size_t i = 0; i < count; ++i) {
            if (static_cast<std::int32_t>(events[i].seqno - queued_seqno) < 0) ++backward;
            queued_seqno = events[i].seqno;
        }
        std::sort(events, events + count,
                  [](const auto& a, const auto& b) { return a.seqno < b.seqno; });
        for (std::size_t i = 0; i < count && falling < edges; ++i) {
            const auto& event = events[i];
            // A gap in the numbers: the kernel's queue overflowed and dropped events.
            if (event.seqno > next_seqno) lost += event.seqno - next_seqno;
            next_seqno = event.seqno + 1;
            if (event.offset == sn) {
                level = event.id == GPIO_V2_LINE_EVENT_RISING_EDGE;
            } else if (event.id == GPIO_V2_LINE_EVENT_FALLING_EDGE) {
                const std::uint64_t k = falling;
                if (expect_high <= 1000 &&
                    level != ((k + 1) * expect_high / 1000 - k * expect_high / 1000 != 0) &&
                    ++wrong <= 5) {
                    std::printf("edge %llu: level %d;", static_cast<unsigned long long>(k),
                                level ? 1 : 0);
                    for (const auto& e : recent)
                        std::printf(" [line %u %s seqno %u at %llu ns]", e.offset,
                                    e.id == GPIO_V2_LINE_EVENT_RISING_EDGE ? "rising" : "falling",
                                    e.seqno, static_cast<unsigned long long>(e.timestamp_ns));
                    std::printf(" [clock falling seqno %u at %llu ns]\n", event.seqno,
                                static_cast<unsigned long long>(event.timestamp_ns));
                }
                ++falling;
                high += level;
            }
            std::copy(recent + 1, recent + 4, recent);
            recent[3] = event;
        }
    }
    std::printf("falling=%llu high=%llu", static_cast<unsigned long long>(falling),
                static_cast<unsigned long long>(high));
    if (expect_high <= 1000) std::printf(" wrong=%llu", static_cast<unsigned long long>(wrong));
    std::printf(" lost=%llu", static_cast<unsigned long long>(lost));
    if (order != 0) std::printf(" backward=%llu", static_cast<unsigned long long>(backward));
    std::printf("\n");
    return falling == edges ? 0 : 1;
}
