// The library's pin numbers and the Broadcom GPIOs they stand for.
#include "pins.h"

namespace chardev {

namespace {

constexpr int bcm[pinCount] = {17, 18, 27, 22, 23, 24, 25, 4,  2,  3,  8,  7,  10, 9,  11, 14,
                               15, 28, 29, 30, 31, 5,  6,  13, 19, 26, 12, 16, 20, 21, 0,  1};

}  // namespace

int bcmForPin(int pin) {
    return pin >= 0 && pin < pinCount ? bcm[pin] : -1;
}

}  // namespace chardev
