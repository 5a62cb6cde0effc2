// The GPIO library's operations on the kernel's GPIO character device
// (/dev/gpiochipN, uAPI v2): no library and no root, only read and write
// access to the chips, which a member of their group (usually "gpio") has.
//
// Pins keep the library's numbering and are found by their Broadcom GPIO's
// line name (pins.h, lookup.h). Each pin is held by a line request of its
// own until a handler is registered; then the handler's pin and every other
// input pin on its chip are taken into one request with edge detection, so
// the kernel queues their edges in one ordered stream. A thread of the back
// end reads that stream in batches and calls the handler once per clock edge;
// digitalRead of an input pin from the handler returns the level the stream
// says the pin had at that edge (events.h), not its level at the later moment
// the handler happens to run.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wiringPi.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "events.h"
#include "lookup.h"
#ifdef SORVALEN_EDGE_COUNTERS
#include <sys/syscall.h>

#include "counters.h"
#endif
#include "pins.h"

namespace {

constexpr int modeUnset = -1;
constexpr int modeInput = 0;
constexpr int modeOutput = 1;
constexpr int edgeFalling = 1;
constexpr int edgeRising = 2;
constexpr int edgeBoth = 3;

// The largest event queue the kernel gives a request, so that a burst of
// edges waits for the event thread instead of being dropped.
constexpr unsigned eventQueue = GPIO_V2_LINES_MAX * 16;
// Events taken from the queue in one read.
constexpr std::size_t eventBatch = 256;
// Real-time priority of the event thread: above every ordinary thread, below
// the kernel's threaded interrupt handlers (50), which queue the events and
// would lose edges if the reader starved them.
constexpr int eventPriority = 40;
// Lost events are told at most once per this many seconds, in one line.
constexpr long lossReportSeconds = 1;

struct Chip {
    std::string path;
    int fd = -1;
};

struct Pin {
    chardev::LineLocation where;
    int mode = modeUnset;  // as last asked by pinMode
    int fd = -1;           // the line request holding the pin, or -1
    unsigned bit = 0;      // the pin's index within that request
    bool edges = false;    // held by the edge-event request
    std::atomic<bool> warned{false};
};

std::vector<Chip> chips;
int chipsDenied = 0;  // chips that could not be opened
Pin pins[chardev::pinCount];
bool ready = false;
std::atomic<bool> outOfRangeWarned{false};

// The edge-event request; the stream is only touched by the event thread.
void (*handler)() = nullptr;
int eventFd = -1;
chardev::Stream stream;
thread_local bool onEventThread = false;
#ifdef SORVALEN_EDGE_COUNTERS
chardev::Counters counters;
#endif

void say(const std::string& message) {
    std::fprintf(stderr, "gpio: %s\n", message.c_str());
}

// "pin 6 (GPIO25, /dev/gpiochip0 line 25)"
std::string describe(int pin) {
    const Pin& p = pins[pin];
    std::string text =
        "pin " + std::to_string(pin) + " (GPIO" + std::to_string(chardev::bcmForPin(pin));
    if (p.where.chip >= 0) {
        text += ", " + chips[static_cast<std::size_t>(p.where.chip)].path + " line " +
                std::to_string(p.where.offset);
    }
    return text + ")";
}

bool inRange(const char* call, int pin) {
    if (pin >= 0 && pin < chardev::pinCount) {
        return true;
    }
    if (!outOfRangeWarned.exchange(true)) {
        say(std::string(call) + ": pin " + std::to_string(pin) + " does not exist (pins are 0 to " +
            std::to_string(chardev::pinCount - 1) + ")");
    }
    return false;
}

// A misuse of a pin is told once: digitalRead may run for every clock edge.
void warnOnce(int pin, const std::string& message) {
    if (!pins[pin].warned.exchange(true)) {
        say(message);
    }
}

std::string groupOf(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return "gpio";
    }
    const struct group* g = getgrgid(st.st_gid);
    return g != nullptr ? g->gr_name : std::to_string(st.st_gid);
}

std::string accessAdvice(const std::string& path) {
    const std::string group = groupOf(path);
    return "permission denied: the user must be in the group '" + group + "' (sudo usermod -aG " +
           group + " $USER, then log in again)";
}

// Why a request for `pin` failed: for a busy line, the holder the kernel names.
std::string requestError(int pin, int error) {
    const Pin& p = pins[pin];
    if (error == EBUSY && p.where.chip >= 0) {
        gpio_v2_line_info info{};
        info.offset = p.where.offset;
        if (ioctl(chips[static_cast<std::size_t>(p.where.chip)].fd, GPIO_V2_GET_LINEINFO_IOCTL,
                  &info) == 0 &&
            info.consumer[0] != '\0') {
            return "in use by '" + std::string(info.consumer) + "'";
        }
        return "in use by another program";
    }
    if (error == EACCES || error == EPERM) {
        return accessAdvice(chips[static_cast<std::size_t>(p.where.chip)].path);
    }
    return std::strerror(error);
}

bool chipNumber(const char* name, unsigned& number) {
    if (std::strncmp(name, "gpiochip", 8) != 0 || name[8] == '\0') {
        return false;
    }
    number = 0;
    for (const char* c = name + 8; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') {
            return false;
        }
        number = number * 10 + static_cast<unsigned>(*c - '0');
    }
    return true;
}

// Opens every /dev/gpiochipN, in N order, and reads its label and line names
// into chipLines (as chips).
// Returns false, having said why, when not one chip can be used.
bool openChips(std::vector<chardev::ChipLines>& chipLines) {
    std::vector<unsigned> numbers;
    if (DIR* dev = opendir("/dev")) {
        while (const dirent* entry = readdir(dev)) {
            unsigned number = 0;
            if (chipNumber(entry->d_name, number)) {
                numbers.push_back(number);
            }
        }
        closedir(dev);
    }
    std::sort(numbers.begin(), numbers.end());
    if (numbers.empty()) {
        say("no GPIO chip: /dev has no gpiochip device (is this a board with GPIO, and is the "
            "kernel's GPIO character device enabled?)");
        return false;
    }
    std::string firstError;
    for (const unsigned number : numbers) {
        Chip chip;
        chip.path = "/dev/gpiochip" + std::to_string(number);
        chip.fd = open(chip.path.c_str(), O_RDWR | O_CLOEXEC);
        gpiochip_info info{};
        if (chip.fd < 0 || ioctl(chip.fd, GPIO_GET_CHIPINFO_IOCTL, &info) != 0) {
            const int error = errno;
            if (firstError.empty()) {
                firstError =
                    chip.path + ": " +
                    (error == EACCES || error == EPERM ? accessAdvice(chip.path)
                                                       : std::string(std::strerror(error)));
            }
            if (chip.fd >= 0) {
                close(chip.fd);
            }
            ++chipsDenied;
            continue;
        }
        chardev::ChipLines lines{info.label, std::vector<std::string>(info.lines)};
        for (unsigned offset = 0; offset < info.lines; ++offset) {
            gpio_v2_line_info line{};
            line.offset = offset;
            if (ioctl(chip.fd, GPIO_V2_GET_LINEINFO_IOCTL, &line) == 0) {
                lines.names[offset] = line.name;
            }
        }
        chips.push_back(std::move(chip));
        chipLines.push_back(std::move(lines));
    }
    if (chips.empty()) {
        say(firstError);
        return false;
    }
    return true;
}

void releasePin(int pin) {
    Pin& p = pins[pin];
    if (p.fd >= 0) {
        close(p.fd);
    }
    p.fd = -1;
    p.bit = 0;
}

bool found(int pin, const char* call) {
    if (pins[pin].where.chip >= 0) {
        return true;
    }
    std::string message = std::string(call) + ": " + describe(pin) +
                          ": no GPIO chip has a line named GPIO" +
                          std::to_string(chardev::bcmForPin(pin)) +
                          ", nor is one labelled pinctrl-bcm2835, pinctrl-bcm2711 or pinctrl-rp1";
    if (chipsDenied > 0) {
        message += " (" + std::to_string(chipsDenied) + " chip(s) could not be opened)";
    }
    warnOnce(pin, message);
    return false;
}

gpio_v2_line_request newRequest() {
    gpio_v2_line_request request{};
    std::snprintf(request.consumer, sizeof request.consumer, "%s", program_invocation_short_name);
    return request;
}

void corePinMode(int pin, int mode) {
    if (!inRange("pinMode", pin)) {
        return;
    }
    if (mode != modeInput && mode != modeOutput) {
        say("pinMode: mode " + std::to_string(mode) + " for pin " + std::to_string(pin) +
            " is neither input (0) nor output (1)");
        return;
    }
    Pin& p = pins[pin];
    if (p.edges) {
        say("pinMode: " + describe(pin) + " gives edge events to a handler; it stays an input");
        return;
    }
    p.mode = mode;
    if (!found(pin, "pinMode")) {
        return;
    }
    releasePin(pin);
    gpio_v2_line_request request = newRequest();
    request.offsets[0] = p.where.offset;
    request.num_lines = 1;
    request.config.flags = mode == modeInput ? GPIO_V2_LINE_FLAG_INPUT : GPIO_V2_LINE_FLAG_OUTPUT;
    if (mode == modeOutput) {
        // An output starts low, until digitalWrite says otherwise.
        request.config.num_attrs = 1;
        request.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
        request.config.attrs[0].attr.values = 0;
        request.config.attrs[0].mask = 1;
    }
    const Chip& chip = chips[static_cast<std::size_t>(p.where.chip)];
    if (ioctl(chip.fd, GPIO_V2_GET_LINE_IOCTL, &request) != 0) {
        say("pinMode: " + describe(pin) + ": " + requestError(pin, errno));
        return;
    }
    p.fd = request.fd;
}

void coreDigitalWrite(int pin, int value) {
    if (!inRange("digitalWrite", pin)) {
        return;
    }
    Pin& p = pins[pin];
    if (p.mode != modeOutput || p.fd < 0) {
        warnOnce(pin, "digitalWrite: " + describe(pin) + " is not set as output");
        return;
    }
    gpio_v2_line_values values{};
    values.mask = 1ull << p.bit;
    values.bits = value != 0 ? values.mask : 0;
    if (ioctl(p.fd, GPIO_V2_LINE_SET_VALUES_IOCTL, &values) != 0) {
        warnOnce(pin, "digitalWrite: " + describe(pin) + ": " + std::strerror(errno));
    }
}

// Present level of line `bit` of the request `fd`, or -1.
int presentLevel(int fd, unsigned bit) {
    gpio_v2_line_values values{};
    values.mask = 1ull << bit;
    if (ioctl(fd, GPIO_V2_LINE_GET_VALUES_IOCTL, &values) != 0) {
        return -1;
    }
    return (values.bits & values.mask) != 0 ? 1 : 0;
}

int coreDigitalRead(int pin) {
    if (!inRange("digitalRead", pin)) {
        return 0;
    }
    const Pin& p = pins[pin];
    if (onEventThread && p.edges) {
        return stream.levels[p.bit];  // the level at the clock edge in hand
    }
    if (p.fd < 0) {
        warnOnce(pin, "digitalRead: " + describe(pin) + " is not set up");
        return 0;
    }
    const int level = presentLevel(p.fd, p.bit);
    if (level < 0) {
        warnOnce(pin, "digitalRead: " + describe(pin) + ": " + std::strerror(errno));
        return 0;
    }
    return level;
}

long secondsNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

// Reads the edge events and calls the handler, for as long as the process
// runs. Events the kernel had to drop are told on standard error, at most
// once a second, in one line for all dropped since the last.
void eventLoop() {
    onEventThread = true;
    sched_param param{};
    param.sched_priority = eventPriority;
    // Without the right to real-time scheduling the thread runs on at normal
    // priority: edges then wait longer in the kernel's queue, nothing else.
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
#ifdef SORVALEN_EDGE_COUNTERS
    chardev::setEventThreadId(syscall(SYS_gettid));
#endif

    static gpio_v2_line_event batch[eventBatch];
    std::uint64_t toldEvents = 0;
    std::uint64_t toldClockEdges = 0;
    long lastTold = secondsNow() - lossReportSeconds;
    const auto present = [](unsigned offset) {
        const int index = chardev::lineIndex(stream, offset);
        const int level = index < 0 ? -1 : presentLevel(eventFd, static_cast<unsigned>(index));
        return level < 0 ? 0 : level;
    };
#ifdef SORVALEN_EDGE_COUNTERS
    const auto call = [] {
        chardev::bump(counters.handlerCalls);
        handler();
    };
#else
    const auto call = [] { handler(); };
#endif
    for (;;) {
        if (stream.lostEvents != toldEvents) {
            // Events first; the report waits until a second after the last.
            const long wait = lastTold + lossReportSeconds - secondsNow();
            pollfd events{eventFd, POLLIN, 0};
            if (wait <= 0 || poll(&events, 1, static_cast<int>(wait * 1000)) == 0) {
                say("the kernel lost " + std::to_string(stream.lostEvents - toldEvents) +
                    " edge events, " + std::to_string(stream.lostClockEdges - toldClockEdges) +
                    " of them clock edges (its queue was full, or edges came faster than "
                    "it took them); levels taken up again from the next events");
                toldEvents = stream.lostEvents;
                toldClockEdges = stream.lostClockEdges;
                lastTold = secondsNow();
            }
        }
        const ssize_t got = read(eventFd, batch, sizeof batch);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            say(std::string("reading edge events: ") + std::strerror(errno) +
                "; no more edges will be handled");
            return;
        }
#ifdef SORVALEN_EDGE_COUNTERS
        chardev::countBatch(counters, static_cast<std::size_t>(got) / sizeof batch[0]);
#endif
        chardev::follow(stream, batch, static_cast<std::size_t>(got) / sizeof batch[0], present,
                        call);
    }
}

std::uint64_t edgeFlags(int edgeType) {
    switch (edgeType) {
        case edgeFalling:
            return GPIO_V2_LINE_FLAG_EDGE_FALLING;
        case edgeRising:
            return GPIO_V2_LINE_FLAG_EDGE_RISING;
        default:
            return GPIO_V2_LINE_FLAG_EDGE_RISING | GPIO_V2_LINE_FLAG_EDGE_FALLING;
    }
}

// Takes the handler's pin and every other input pin on its chip into one
// request with edge detection. Returns false, having said why, on failure.
bool requestEdges(int clockPin, int edgeType) {
    const int chip = pins[clockPin].where.chip;
    int members[chardev::pinCount];
    unsigned count = 0;
    members[count++] = clockPin;
    for (int pin = 0; pin < chardev::pinCount; ++pin) {
        if (pin == clockPin || pins[pin].mode != modeInput) {
            continue;
        }
        // An input that pinMode could not take (its line busy, say) is
        // tried again here, so that the failure names its cause.
        if (pins[pin].where.chip != chip) {
            say("wiringPiISR: input " + describe(pin) + " cannot be sampled at the edges of " +
                describe(clockPin) + ": " +
                (pins[pin].where.chip < 0 ? "it has no line" : "it is on another chip"));
            return false;
        }
        members[count++] = pin;
    }

    gpio_v2_line_request request = newRequest();
    request.num_lines = count;
    request.event_buffer_size = eventQueue;
    // Every input reports both edges, so that its level is known at each
    // clock edge; the clock reports the edges the handler asked for.
    request.config.flags =
        GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_EDGE_RISING | GPIO_V2_LINE_FLAG_EDGE_FALLING;
    request.config.num_attrs = 1;
    request.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_FLAGS;
    request.config.attrs[0].attr.flags = GPIO_V2_LINE_FLAG_INPUT | edgeFlags(edgeType);
    request.config.attrs[0].mask = 1;
    unsigned offsets[chardev::pinCount];
    for (unsigned i = 0; i < count; ++i) {
        releasePin(members[i]);
        offsets[i] = pins[members[i]].where.offset;
        request.offsets[i] = offsets[i];
    }
    if (ioctl(chips[static_cast<std::size_t>(chip)].fd, GPIO_V2_GET_LINE_IOCTL, &request) != 0) {
        const int error = errno;
        // Name the line that is busy: ours are released, so it is another
        // program's.
        int culprit = clockPin;
        for (unsigned i = 0; error == EBUSY && i < count; ++i) {
            gpio_v2_line_info info{};
            info.offset = offsets[i];
            if (ioctl(chips[static_cast<std::size_t>(chip)].fd, GPIO_V2_GET_LINEINFO_IOCTL,
                      &info) == 0 &&
                (info.flags & GPIO_V2_LINE_FLAG_USED) != 0) {
                culprit = members[i];
                break;
            }
        }
        say("wiringPiISR: " + describe(culprit) + ": " + requestError(culprit, error));
        return false;
    }
    int levels[chardev::pinCount];
    gpio_v2_line_values values{};
    values.mask = (1ull << count) - 1;  // count is at most pinCount
    if (ioctl(request.fd, GPIO_V2_LINE_GET_VALUES_IOCTL, &values) != 0) {
        values.bits = 0;
    }
    for (unsigned i = 0; i < count; ++i) {
        Pin& p = pins[members[i]];
        p.fd = request.fd;
        p.bit = i;
        p.edges = true;
        levels[i] = (values.bits >> i & 1u) != 0 ? 1 : 0;
    }
    eventFd = request.fd;
    chardev::startStream(stream, offsets, count, 0, levels);
    return true;
}

[[noreturn]] void notReady(const char* call) {
    say(std::string(call) + " called before wiringPiSetup succeeded");
    std::_Exit(EXIT_FAILURE);
}

void pinModeBeforeSetup(int /*pin*/, int /*mode*/) {
    notReady("pinMode");
}
void digitalWriteBeforeSetup(int /*pin*/, int /*value*/) {
    notReady("digitalWrite");
}
int digitalReadBeforeSetup(int /*pin*/) {
    notReady("digitalRead");
}

}  // namespace

extern "C" {

void (*pinMode)(int, int) = pinModeBeforeSetup;
void (*digitalWrite)(int, int) = digitalWriteBeforeSetup;
int (*digitalRead)(int) = digitalReadBeforeSetup;

int wiringPiSetup(void) {
    if (ready) {
        return 0;
    }
    std::vector<chardev::ChipLines> chipLines;  // label and line names, as chips
    if (!openChips(chipLines)) {
        return -1;
    }
    for (int pin = 0; pin < chardev::pinCount; ++pin) {
        pins[pin].where = chardev::locateLine(chipLines, chardev::bcmForPin(pin));
    }
    pinMode = corePinMode;
    digitalWrite = coreDigitalWrite;
    digitalRead = coreDigitalRead;
    ready = true;
    return 0;
}

int wiringPiISR(int pin, int edgeType, void (*function)(void)) {
    if (!ready) {
        say("wiringPiISR called before wiringPiSetup succeeded");
        return -1;
    }
    if (!inRange("wiringPiISR", pin)) {
        return -1;
    }
    if (edgeType != edgeFalling && edgeType != edgeRising && edgeType != edgeBoth) {
        say("wiringPiISR: edge type " + std::to_string(edgeType) +
            " is not falling (1), rising (2) or both (3)");
        return -1;
    }
    if (function == nullptr) {
        say("wiringPiISR: no handler given");
        return -1;
    }
    if (handler != nullptr) {
        say("wiringPiISR: a handler is registered already");
        return -1;
    }
    if (pins[pin].mode != modeInput) {
        say("wiringPiISR: " + describe(pin) + " is not set as input");
        return -1;
    }
    if (!found(pin, "wiringPiISR") || !requestEdges(pin, edgeType)) {
        if (pins[pin].where.chip < 0) {
            say("wiringPiISR: " + describe(pin) + " has no line");
        }
        return -1;
    }
    handler = function;
#ifdef SORVALEN_EDGE_COUNTERS
    chardev::printCountersOnSignal(&counters, &stream.lostClockEdges);
#endif
    // The handler runs on the back end's own thread until the process ends.
    std::thread(eventLoop).detach();
    return 0;
}

}  // extern "C"
