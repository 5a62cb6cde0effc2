# Lines without names are found at their Broadcom numbers on the chip
# labelled as the SoC's GPIO controller; pins 2 and 3 are held low while the
# program runs. With no such chip, the handler cannot be registered and the
# reason is told.
# time limit: 30
# guests: amd64
# needs: driver
# shellcheck shell=dash
pi_layout pinctrl-bcm2835 -
sim_pull "$PI_SYSFS" 27 up
sim_pull "$PI_SYSFS" 22 up
program_start root
check drive --high 737 --windows 1 --wait-chip "$PI_CHIP"
expect_eq "pin 2 (GPIO27) while the program runs" 0 "$(sim_value "$PI_SYSFS" 27)"
expect_eq "pin 3 (GPIO22) while the program runs" 0 "$(sim_value "$PI_SYSFS" 22)"
program_stop
expect_reports "report, lines found by label" '% high: 73, BER: 6.0e-04, SN: 9.0' 1

sim_teardown
sim_device other not-the-header:8 gpio-other:54
program_run root
expect_failure "no header chip" "isr setup failed" "pin 6 (GPIO25): no GPIO chip has a line named GPIO25"
