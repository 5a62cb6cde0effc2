# The chip goes away while the program reports: the program tells which chip
# and why on standard error and ends with status 1 within seconds, so that a
# supervisor can start it again, and the reports it printed before are exact.
# (On both kernels the leg boots, 6.1 and 6.12, a read() waiting on the
# request would never return, and would hold up the removal itself.)
# time limit: 30
# guests: amd64
# needs: driver
# shellcheck shell=dash
pi_layout
program_start "$USER_GPIO"
check drive --high 425 --flip --windows 2 --wait-chip "$PI_CHIP"
echo 0 >"$SIM_CONFIGFS/pi/live" &
remover=$!
process_ends "$PROGRAM_PID" 5
status=$ENDED_STATUS
process_ends "$remover" 5
expect_eq "status" 1 "$status"
expect_reports "reports before the chip went away" '% high: 42, BER: 1.6e-02, SN: 5.2' 2 \
    "gpio: $PI_CHIP (pinctrl-rp1): the GPIO chip went away; no more edges can be taken, ending with status 1"
