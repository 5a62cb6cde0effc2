# The program on the character device, run by a user in the chip's group
# (no real-time priority): exact reports for several shares, with the edges
# given in bursts while the program is stopped and the S/N input flipped
# right after each clock edge. Only a level taken at the edge itself gives
# these lines; one read when the handler runs gives 100 minus the share.
# The header's chip is not gpiochip0. A compact guest takes two shares: a
# middle one and the all-high one.
# time limit: 120
# guests: amd64 arm64 armhf
# needs: driver
# shellcheck shell=dash
pi_layout
[ "$PI_CHIP" != /dev/gpiochip0 ] || fail "the header's chip is $PI_CHIP"
for case in "0 % high: 0, BER: 0.0e+00, SN: 0.0" \
            "425 % high: 42, BER: 1.6e-02, SN: 5.2" \
            "737 % high: 73, BER: 6.0e-04, SN: 9.0" \
            "1000 % high: 100, BER: 8.7e-07, SN: 13.3"; do
    share=${case%% *}
    line=${case#* }
    if [ -n "$COMPACT" ]; then
        case $share in 425 | 1000) ;; *) continue ;; esac
    fi
    program_start "$USER_GPIO"
    check drive --high "$share" --flip --windows 2 --stop "$PROGRAM_PID" --burst 250 --wait-chip "$PI_CHIP"
    program_stop
    # The Pi Zero's kernel, taking interrupts at its tick, may merge changes: told, not a fault.
    [ -z "$DRIVER_GAP_US" ] || sed -Ei "/^$(loss_line 0 0)\$/d" "$PROGRAM_ERR"
    expect_reports "reports at $share per mille, in bursts" "$line" 2
done
