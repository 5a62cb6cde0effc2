// The character-device back end's own state and helpers, shared by its
// parts: the chips and their lines (chips.cpp), the five operations on line
// requests (wiringpi.cpp) and the edge thread (edgethread.cpp).
#ifndef CHARDEV_BACKEND_H
#define CHARDEV_BACKEND_H

#include <atomic>
#include <string>
#include <vector>

#include "events.h"
#include "lookup.h"
#include "pins.h"

namespace chardev {

constexpr int modeUnset = -1;
constexpr int modeInput = 0;
constexpr int modeOutput = 1;

struct Chip {
    std::string path;
    std::string label;
    int fd = -1;
};

struct Pin {
    LineLocation where;
    int mode = modeUnset;  // as last asked by pinMode
    int fd = -1;           // the line request holding the pin, or -1
    int error = 0;         // why pinMode could not take the line (errno), or 0
    unsigned bit = 0;      // the pin's index within that request
    bool edges = false;    // held by the edge-event request
    std::atomic<bool> warned{false};
};

extern std::vector<Chip> chips;
extern int chipsDenied;  // chips that could not be opened
extern Pin pins[pinCount];

// The edge-event request: the handler, the request's file and the stream,
// which only the edge thread touches once it runs.
extern void (*handler)();
extern int eventFd;
extern int eventChip;  // index of the request's chip
extern Stream stream;

// Present level of line `bit` of the line request `fd`: 0 or 1, or -1 with
// errno set.
int lineLevel(int fd, unsigned bit);

// Writes "gpio: <message>" on standard error.
void say(const std::string& message);

// "pin 6 (GPIO25, /dev/gpiochip0 line 25)"
std::string describe(int pin);

// Opens every /dev/gpiochipN, in N order, and reads its label and line names
// into `lines` (as chips). Returns false, having said why, when not one chip
// can be used.
bool openChips(std::vector<ChipLines>& lines);

// Why a request for `pin` failed with `error`: for a busy line, the holder
// the kernel names; for a refusal, what would grant access.
std::string requestError(int pin, int error);

// Reads edge events and calls the handler for as long as the process runs;
// ends the process with status 1 when the chip goes away.
void edgeLoop();

}  // namespace chardev

#endif
