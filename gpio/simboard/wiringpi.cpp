// The simulated board's GPIO library: the entry points a program links by the
// library's soname, a receiver clock on pin 6 and an S/N indicator on pin 4.
#include <wiringPi.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "board.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int pinCount = 32;
constexpr int clockPin = 6;
constexpr int indicatorPin = 4;
constexpr int modeUnset = -1;
constexpr int modeInput = 0;
constexpr int modeOutput = 1;
constexpr int edgeFalling = 1;
constexpr int edgeRising = 2;
constexpr int edgeBoth = 3;
constexpr std::uint64_t windowSize = 1000;  // the program's window, in handler calls

struct Pin {
    std::atomic<int> mode{modeUnset};
    std::atomic<int> level{0};
    std::atomic<bool> warned{false};  // each misuse of a pin is told once
};

std::array<Pin, pinCount> pins;
simboard::Config config;
std::atomic<bool> ready{false};
std::mutex isrMutex;
bool isrRegistered = false;
// Set when the S/N input is read on this thread: the clock's own thread sees
// by it which handler calls took a sample.
thread_local bool indicatorRead = false;
// Set once the clock has made its first windowSize handler calls (or stopped
// before). A mutex and condition rather than a future: the ARMv6 C++ runtime
// has no futex-based future.
std::mutex startMutex;
std::condition_variable startChanged;
bool started = false;

void markStarted() {
    {
        const std::lock_guard<std::mutex> lock(startMutex);
        started = true;
    }
    startChanged.notify_all();
}

void say(const std::string& message) {
    std::fprintf(stderr, "simboard: %s\n", message.c_str());
}

void trace(const char* call, int a, int b) {
    if (config.trace) {
        std::fprintf(stderr, "simboard: %s(%d, %d)\n", call, a, b);
    }
}

bool inRange(int pin) {
    return pin >= 0 && pin < pinCount;
}

// A misuse on a pin is told once, not on every call: digitalRead may run
// thousands of times a second from an edge handler. `pin` is in range.
void warnOnce(int pin, const std::string& message) {
    if (!pins[static_cast<std::size_t>(pin)].warned.exchange(true)) {
        say(message);
    }
}

std::string outOfRange(const char* call, int pin) {
    return std::string(call) + ": pin " + std::to_string(pin) + " does not exist (pins are 0 to " +
           std::to_string(pinCount - 1) + ")";
}

// The pin operations that tell of a pin outside the board once each: the
// first such pin they are given is told, later ones are not, so a handler
// reading a wrong pin on every edge does not flood standard error.
enum PinCall : std::size_t { callPinMode, callDigitalWrite, callDigitalRead, pinCallCount };
std::array<std::atomic<bool>, pinCallCount> outOfRangeTold{};

void warnOutOfRangeOnce(PinCall call, const char* name, int pin) {
    if (!outOfRangeTold[call].exchange(true)) {
        say(outOfRange(name, pin));
    }
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

void boardPinMode(int pin, int mode) {
    trace("pinMode", pin, mode);
    if (!inRange(pin)) {
        warnOutOfRangeOnce(callPinMode, "pinMode", pin);
    } else if (mode != modeInput && mode != modeOutput) {
        say("pinMode: mode " + std::to_string(mode) + " for pin " + std::to_string(pin) +
            " is neither input (0) nor output (1)");
    } else {
        pins[static_cast<std::size_t>(pin)].mode = mode;
    }
}

void boardDigitalWrite(int pin, int value) {
    trace("digitalWrite", pin, value);
    if (!inRange(pin)) {
        warnOutOfRangeOnce(callDigitalWrite, "digitalWrite", pin);
        return;
    }
    Pin& p = pins[static_cast<std::size_t>(pin)];
    if (p.mode != modeOutput) {
        warnOnce(pin, "digitalWrite: pin " + std::to_string(pin) + " is not set as output");
    }
    p.level = value != 0 ? 1 : 0;
}

int boardDigitalRead(int pin) {
    if (!inRange(pin)) {
        warnOutOfRangeOnce(callDigitalRead, "digitalRead", pin);
        return 0;
    }
    const Pin& p = pins[static_cast<std::size_t>(pin)];
    if (p.mode != modeInput) {
        warnOnce(pin, "digitalRead: pin " + std::to_string(pin) + " is not set as input");
    }
    indicatorRead = indicatorRead || pin == indicatorPin;
    return p.level;
}

// The receiver: sets the S/N indicator for each clock cycle, then gives the
// clock edge the handler was registered for. `started` is set after the
// first windowSize handler calls.
//
// With SIMBOARD_WINDOWS the clock stops once the program has taken that many
// windows' samples. The program opens a window when it starts, and resets it
// when its report cycle begins, at a moment the board cannot see; so
// wiringPiISR waits for `started`: those first calls fill that window before
// the program can reset it, and every later call that reads the S/N input
// takes a sample of a window the program reports, 1000 of them to a window.
void runClock(int edgeType, void (*handler)()) {
    Pin& indicator = pins[indicatorPin];
    const int callsPerEdge = edgeType == edgeBoth ? 2 : 1;
    const std::uint64_t limit = config.edges.value_or(UINT64_MAX);
    const auto start = Clock::now();
    // Time of the given edge at the configured rate.
    const auto edgeTime = [&start](std::uint64_t edge) {
        const auto ns = static_cast<std::int64_t>(edge / config.rate * 1000000000ull +
                                                  edge % config.rate * 1000000000ull / config.rate);
        return start + std::chrono::nanoseconds(ns);
    };
    auto wake = start;
    std::uint64_t calls = 0;
    std::uint64_t sampled = 0;  // calls after the first windowSize that read the input
    const auto windowsDone = [&calls, &sampled] {
        return config.windows && calls >= windowSize && sampled / windowSize >= *config.windows;
    };
    for (std::uint64_t edge = 0; edge < limit && !windowsDone(); ++edge) {
        if (config.rate != 0) {
            const auto due = edgeTime(edge);
            if (due > Clock::now()) {
                // Edges that fall due together are given in one burst, so the
                // board wakes at most about a thousand times a second.
                wake = std::max(due, wake + std::chrono::milliseconds(1));
                std::this_thread::sleep_until(wake);
            }
        }
        indicator.level = simboard::levelAt(simboard::sharePermille(config, edge), edge);
        for (int call = 0; call < callsPerEdge && !windowsDone(); ++call) {
            indicatorRead = false;
            handler();
            if (++calls == windowSize) {
                markStarted();
            } else if (calls > windowSize && indicatorRead) {
                ++sampled;
            }
        }
    }
    if (calls < windowSize) {
        markStarted();  // the clock stopped first (SIMBOARD_EDGES)
    }
}

}  // namespace

extern "C" {

void (*pinMode)(int, int) = pinModeBeforeSetup;
void (*digitalWrite)(int, int) = digitalWriteBeforeSetup;
int (*digitalRead)(int) = digitalReadBeforeSetup;

int wiringPiSetup(void) {
    if (ready) {
        return 0;  // set up already; the settings stay as they were read
    }
    std::string error;
    const auto parsed =
        simboard::parseConfig([](const char* name) { return std::getenv(name); }, error);
    if (!parsed) {
        say(error);
        std::_Exit(2);
    }
    config = *parsed;
    if (config.trace) {
        std::fprintf(stderr, "simboard: wiringPiSetup()\n");
    }
    if (config.fail == simboard::Fail::setup) {
        say("wiringPiSetup fails, as SIMBOARD_FAIL=setup asks");
        return -1;
    }
    pinMode = boardPinMode;
    digitalWrite = boardDigitalWrite;
    digitalRead = boardDigitalRead;
    ready = true;
    return 0;
}

int wiringPiISR(int pin, int edgeType, void (*function)(void)) {
    trace("wiringPiISR", pin, edgeType);
    if (!ready) {
        say("wiringPiISR called before wiringPiSetup succeeded");
        return -1;
    }
    if (!inRange(pin)) {
        say(outOfRange("wiringPiISR", pin));
        return -1;
    }
    if (pins[static_cast<std::size_t>(pin)].mode != modeInput) {
        say("wiringPiISR: pin " + std::to_string(pin) + " is not set as input");
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
    if (config.fail == simboard::Fail::isr) {
        say("wiringPiISR fails, as SIMBOARD_FAIL=isr asks");
        return -1;
    }
    const std::lock_guard<std::mutex> lock(isrMutex);
    if (isrRegistered) {
        say("wiringPiISR: a handler is registered already");
        return -1;
    }
    if (pin != clockPin) {
        say("wiringPiISR: the board has no clock on pin " + std::to_string(pin) +
            "; the handler will not be called");
        return 0;
    }
    isrRegistered = true;
    // The handler runs on the board's own thread, asynchronously to the
    // program, until the process ends.
    std::thread(runClock, edgeType, function).detach();
    if (config.windows) {
        std::unique_lock<std::mutex> waiting(startMutex);
        startChanged.wait(waiting, [] { return started; });
    }
    return 0;
}

}  // extern "C"
