// Sorvalen: console monitor for received signal quality. Prints a banner,
// sets up the GPIO pins, hands the clock edges to the monitor and reports
// one line per window of clock edges until the process is terminated.
#include <wiringPi.h>

#include <cstdio>
#include <cstdlib>

#include "monitor/monitor.h"

namespace {

// Pins in the GPIO library's numbering besides the monitor's two inputs;
// both are outputs held low.
constexpr int pinOutA = 2;
constexpr int pinOutB = 3;

constexpr int modeInput = 0;
constexpr int modeOutput = 1;
constexpr int levelLow = 0;
constexpr int edgeFalling = 1;

// Standard output is line-buffered even into a pipe or a file, so that every
// report line is written out whole as soon as it is complete: the program
// only ever stops by being terminated, which would lose a full buffer.
char outputBuffer[BUFSIZ];

}  // namespace

int main() {
    std::setvbuf(stdout, outputBuffer, _IOLBF, sizeof outputBuffer);

    std::puts("Sorvalen 0.1");
    std::puts("");
    std::puts("");
    std::puts("");

    if (wiringPiSetup() == -1) {
        std::puts("wiringPin setup failed");
        return EXIT_FAILURE;
    }

    pinMode(rxsnPinInput, modeInput);
    pinMode(rxsnPinClock, modeInput);
    pinMode(pinOutA, modeOutput);
    pinMode(pinOutB, modeOutput);
    digitalWrite(pinOutB, levelLow);
    digitalWrite(pinOutA, levelLow);

    if (wiringPiISR(rxsnPinClock, edgeFalling, rxINT) == -1) {
        std::puts("isr setup failed");
        return EXIT_FAILURE;
    }

    rxsnCycle();
}
