// The S/N input for the benchmarks: always high, so that every complete
// window must report a sum of exactly 1000 and one sample too few or too many
// shows.
#include <wiringPi.h>

namespace {

int levelHigh(int /*pin*/) {
    return 1;
}

}  // namespace

extern "C" {
int (*digitalRead)(int) = levelHigh;
}
