/* GPIO library interface, as provided by the simulated board.
 *
 * The board's library exports wiringPiSetup and wiringPiISR as functions and
 * pinMode, digitalWrite and digitalRead as function-pointer variables, which
 * become usable once wiringPiSetup has succeeded. Pins are numbered in the
 * library's own numbering. Modes: 0 input, 1 output. Levels: 0 low, 1 high.
 * Edge types: 1 falling, 2 rising, 3 both. Failure is reported as -1.
 */
#ifndef WIRINGPI_H
#define WIRINGPI_H

#ifdef __cplusplus
extern "C" {
#endif

int wiringPiSetup(void);
int wiringPiISR(int pin, int edgeType, void (*function)(void));

extern void (*pinMode)(int pin, int mode);
extern void (*digitalWrite)(int pin, int value);
extern int (*digitalRead)(int pin);

#ifdef __cplusplus
}
#endif

#endif
