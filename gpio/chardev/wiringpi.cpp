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
// the handler happens to run. The chips are found in chips.cpp, the edge
// thread is edgethread.cpp and its loop edges.cpp.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <wiringPi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "backend.h"

namespace chardev {

Pin pins[pinCount];
void (*handler)() = nullptr;
int eventFd = -1;
int eventChip = -1;
Stream stream;

int lineLevel(int fd, unsigned bit) {
    gpio_v2_line_values values{};
    values.mask = 1ull << bit;
    if (ioctl(fd, GPIO_V2_LINE_GET_VALUES_IOCTL, &values) != 0) {
        return -1;
    }
    return (values.bits & values.mask) != 0 ? 1 : 0;
}

}  // namespace chardev

namespace {

using chardev::describe;
using chardev::pins;
using chardev::say;

constexpr int edgeFalling = 1;
constexpr int edgeRising = 2;
constexpr int edgeBoth = 3;

// The largest event queue the kernel gives a request, so that a burst of
// edges waits for the edge thread instead of being dropped.
constexpr unsigned eventQueue = GPIO_V2_LINES_MAX * 16;

bool ready = false;
std::atomic<bool> outOfRangeWarned{false};
thread_local bool onEdgeThread = false;

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

int chipFd(int pin) {
    return chardev::chips[static_cast<std::size_t>(pins[pin].where.chip)].fd;
}

void releasePin(int pin) {
    chardev::Pin& p = pins[pin];
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
    if (chardev::chipsDenied > 0) {
        message += " (" + std::to_string(chardev::chipsDenied) + " chip(s) could not be opened)";
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
    if (mode != chardev::modeInput && mode != chardev::modeOutput) {
        say("pinMode: mode " + std::to_string(mode) + " for pin " + std::to_string(pin) +
            " is neither input (0) nor output (1)");
        return;
    }
    chardev::Pin& p = pins[pin];
    if (p.edges) {
        say("pinMode: " + describe(pin) + " gives edge events to a handler; it stays an input");
        return;
    }
    p.mode = mode;
    p.error = 0;
    if (!found(pin, "pinMode")) {
        return;
    }
    releasePin(pin);
    gpio_v2_line_request request = newRequest();
    request.offsets[0] = p.where.offset;
    request.num_lines = 1;
    request.config.flags =
        mode == chardev::modeInput ? GPIO_V2_LINE_FLAG_INPUT : GPIO_V2_LINE_FLAG_OUTPUT;
    if (mode == chardev::modeOutput) {
        // An output starts low, until digitalWrite says otherwise.
        request.config.num_attrs = 1;
        request.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
        request.config.attrs[0].attr.values = 0;
        request.config.attrs[0].mask = 1;
    }
    if (ioctl(chipFd(pin), GPIO_V2_GET_LINE_IOCTL, &request) != 0) {
        p.error = errno;
        say("pinMode: " + describe(pin) + ": " + chardev::requestError(pin, p.error));
        return;
    }
    p.fd = request.fd;
}

void coreDigitalWrite(int pin, int value) {
    if (!inRange("digitalWrite", pin)) {
        return;
    }
    chardev::Pin& p = pins[pin];
    if (p.mode != chardev::modeOutput || p.fd < 0) {
        // An output that pinMode could not take is told as what it is.
        warnOnce(pin, "digitalWrite: " + describe(pin) +
                          (p.mode == chardev::modeOutput && p.error != 0
                               ? ": " + chardev::requestError(pin, p.error)
                               : std::string(" is not set as output")));
        return;
    }
    gpio_v2_line_values values{};
    values.mask = 1ull << p.bit;
    values.bits = value != 0 ? values.mask : 0;
    if (ioctl(p.fd, GPIO_V2_LINE_SET_VALUES_IOCTL, &values) != 0) {
        warnOnce(pin, "digitalWrite: " + describe(pin) + ": " + std::strerror(errno));
    }
}

int coreDigitalRead(int pin) {
    if (!inRange("digitalRead", pin)) {
        return 0;
    }
    const chardev::Pin& p = pins[pin];
    if (onEdgeThread && p.edges) {
        return chardev::stream.levels[p.bit];  // the level at the clock edge in hand
    }
    if (p.fd < 0) {
        warnOnce(pin, "digitalRead: " + describe(pin) + " is not set up");
        return 0;
    }
    const int level = chardev::lineLevel(p.fd, p.bit);
    if (level < 0) {
        warnOnce(pin, "digitalRead: " + describe(pin) + ": " + std::strerror(errno));
        return 0;
    }
    return level;
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
        if (pin == clockPin || pins[pin].mode != chardev::modeInput) {
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
    if (ioctl(chipFd(clockPin), GPIO_V2_GET_LINE_IOCTL, &request) != 0) {
        const int error = errno;
        // Name the line that is busy: ours are released, so it is another
        // program's.
        int culprit = clockPin;
        for (unsigned i = 0; error == EBUSY && i < count; ++i) {
            gpio_v2_line_info info{};
            info.offset = offsets[i];
            if (ioctl(chipFd(clockPin), GPIO_V2_GET_LINEINFO_IOCTL, &info) == 0 &&
                (info.flags & GPIO_V2_LINE_FLAG_USED) != 0) {
                culprit = members[i];
                break;
            }
        }
        say("wiringPiISR: " + describe(culprit) + ": " + chardev::requestError(culprit, error));
        return false;
    }
    // The edge thread reads only what poll() says is there: a read that
    // waits may never return once the chip is gone.
    fcntl(request.fd, F_SETFL, fcntl(request.fd, F_GETFL) | O_NONBLOCK);
    int levels[chardev::pinCount];
    gpio_v2_line_values values{};
    values.mask = (1ull << count) - 1;  // count is at most pinCount
    if (ioctl(request.fd, GPIO_V2_LINE_GET_VALUES_IOCTL, &values) != 0) {
        values.bits = 0;
    }
    for (unsigned i = 0; i < count; ++i) {
        chardev::Pin& p = pins[members[i]];
        p.fd = request.fd;
        p.bit = i;
        p.edges = true;
        levels[i] = (values.bits >> i & 1u) != 0 ? 1 : 0;
    }
    chardev::eventFd = request.fd;
    chardev::eventChip = chip;
    chardev::startStream(chardev::stream, offsets, count, 0, levels);
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
    if (!chardev::openChips(chipLines)) {
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
    if (chardev::handler != nullptr) {
        say("wiringPiISR: a handler is registered already");
        return -1;
    }
    if (pins[pin].mode != chardev::modeInput) {
        say("wiringPiISR: " + describe(pin) + " is not set as input");
        return -1;
    }
    if (!found(pin, "wiringPiISR") || !requestEdges(pin, edgeType)) {
        if (pins[pin].where.chip < 0) {
            say("wiringPiISR: " + describe(pin) + " has no line");
        }
        return -1;
    }
    chardev::handler = function;
    // The handler runs on the back end's own thread until the process ends.
    std::thread([] {
        onEdgeThread = true;
        chardev::edgeLoop();
    }).detach();
    return 0;
}

}  // extern "C"
