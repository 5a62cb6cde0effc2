// A fake of the GPIO library's digitalRead for driving the monitor from a
// test: the test sets the level source, and every read is counted.
#ifndef SORVALEN_TESTS_FAKE_GPIO_H
#define SORVALEN_TESTS_FAKE_GPIO_H

#include <functional>

namespace fake {

// Level source for the S/N input; called on every digitalRead of pin 4.
extern std::function<int()> level;
// Number of digitalRead calls since the last reset().
extern long reads;

// Forgets the level source and the read count.
void reset();

}  // namespace fake

#endif
