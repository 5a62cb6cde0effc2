// The fake digitalRead of the monitor's unit tests: each read from the
// level source the test set, counted.
#include "fake_gpio.h"

#include <gtest/gtest.h>
#include <wiringPi.h>

namespace fake {

std::function<int()> level;
long reads = 0;

void reset() {
    level = nullptr;
    reads = 0;
}

}  // namespace fake

namespace {

int fakeDigitalRead(int pin) {
    EXPECT_EQ(pin, 4) << "the monitor reads only the S/N input";
    ++fake::reads;
    if (!fake::level) {
        ADD_FAILURE() << "digitalRead with no level source set";
        return 0;
    }
    return fake::level();
}

}  // namespace

extern "C" {
int (*digitalRead)(int) = fakeDigitalRead;
}
