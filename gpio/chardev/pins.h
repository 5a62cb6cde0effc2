// The GPIO library's pin numbering on the Raspberry Pi, as Broadcom GPIO
// numbers, which is what the kernel's line names (GPIO<n>) and the SoC's own
// GPIO chips (offset n) go by.
#ifndef CHARDEV_PINS_H
#define CHARDEV_PINS_H

namespace chardev {

constexpr int pinCount = 32;

// Broadcom GPIO number of the library's pin `pin` (0..31) on every board
// since revision 2 (all 40-pin boards, Pi 1 B+ to Pi 5); -1 for a pin outside
// the numbering.
//
//   pin  0  1  2  3  4  5  6  7  8  9 10 11 12 13 14 15
//   GPIO 17 18 27 22 23 24 25  4  2  3  8  7 10  9 11 14
//   pin 16 17 18 19 20 21 22 23 24 25 26 27 28 29 30 31
//   GPIO 15 28 29 30 31  5  6 13 19 26 12 16 20 21  0  1
//
// Pins 17 to 20 were the P5 header of the revision 2 Model B; on 40-pin
// boards GPIO 28 to 31 are not on the header. Pins 30 and 31 are the HAT
// EEPROM's I2C lines.
int bcmForPin(int pin);

}  // namespace chardev

#endif
