// A GPIO library with plain functions that records the program's calls and
// refuses the handler, so that the program stops after its set-up.
#include <wiringPi.h>

#include <cstdio>

extern "C" {

int wiringPiSetup(void) {
    return 0;
}

void pinMode(int pin, int mode) {
    std::fprintf(stderr, "pinMode(%d, %d)\n", pin, mode);
}

void digitalWrite(int pin, int value) {
    std::fprintf(stderr, "digitalWrite(%d, %d)\n", pin, value);
}

int digitalRead(int) {
    return 0;
}

int wiringPiISR(int pin, int edgeType, void (*)(void)) {
    std::fprintf(stderr, "wiringPiISR(%d, %d)\n", pin, edgeType);
    return -1;
}

}  // extern "C"
