/* The GPIO library's interface as its current releases declare it: every
 * operation a plain function. Used only to prove that the program builds and
 * runs against such a library as well as against one that exports pinMode,
 * digitalWrite and digitalRead as function-pointer variables.
 */
#ifndef WIRINGPI_H
#define WIRINGPI_H

#ifdef __cplusplus
extern "C" {
#endif

int wiringPiSetup(void);
int wiringPiISR(int pin, int edgeType, void (*function)(void));
void pinMode(int pin, int mode);
void digitalWrite(int pin, int value);
int digitalRead(int pin);

#ifdef __cplusplus
}
#endif

#endif
