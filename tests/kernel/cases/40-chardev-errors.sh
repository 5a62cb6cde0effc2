# The set-up failures on the character device: the program's banner, its
# failure message and status, and the reason on standard error.
# time limit: 60
# guests: amd64 arm64 armhf
# needs: line_hold no_uapi_v2
# shellcheck shell=dash

if [ -n "$BOARD_HEADER" ]; then
    # An emulated Raspberry Pi: its own GPIO chip is the header's, which the
    # program takes; without simulated chips it does not fail.
    :
elif program_run root; [ -n "$(find /dev -maxdepth 1 -name 'gpiochip*')" ]; then
    # The board has a chip of its own (qemu's arm "virt" board), not the
    # header's: the set-up opens it, the clock's interrupt has no line.
    expect_failure "no header chip" "isr setup failed" "^gpio: wiringPiISR: pin 6 (GPIO25) has no line" \
        "(GPIO25): no GPIO chip has a line named GPIO25, nor is one labelled"
else
    expect_failure "no chip" "wiringPin setup failed" "^gpio: no GPIO chip"
fi

pi_layout
expect_outside_group
# A kernel before 5.10, without the interface the back end needs (a
# preloaded library stands in for it; a static program cannot take one).
if dd if="$PROGRAM" bs=1024 count=1 2>/dev/null | grep -q 'ld-linux'; then
    program_run "$USER_GPIO" LD_PRELOAD="$PAYLOAD/bin/libno_uapi_v2.so"
    expect_failure "kernel before 5.10" "wiringPin setup failed" \
        "^gpio: /dev/gpiochip[0-9]*: the kernel lacks the GPIO character device's second interface (uAPI v2); Linux 5.10 or later is needed\$"
fi

# Chips only root may use: no group would help, so none is named.
# (Every chip: a board's own chip would otherwise be taken.)
modes=
for chip in /dev/gpiochip*; do
    modes="$modes $chip:$(stat -c '%u:%g:%a' "$chip")"
    chown root:root "$chip"
    chmod 0600 "$chip"
done
program_run "$USER_GPIO"
expect_failure "root's chips" "wiringPin setup failed" "permission denied: only root may use the GPIO chips here"
grep -q "group 'root'" "$PROGRAM_ERR" && expect_eq "root's chips: no group named" "" "$(cat "$PROGRAM_ERR")"
for mode in $modes; do
    chip=${mode%%:*}
    mode=${mode#*:}
    chown "${mode%:*}" "$chip"
    chmod "${mode##*:}" "$chip"
done

# Another program holds output pin 2 (GPIO27): pinMode and digitalWrite
# each say so, naming the holder, and the program goes on.
spawn line_hold GPIO27 1 >/tmp/hold.out
wait_for_text /tmp/hold.out held
program_start "$USER_GPIO"
wait_for_text "$PROGRAM_ERR" "digitalWrite: pin 2"
program_stop
expect_eq "busy output" "gpio: pinMode: pin 2 (GPIO27, $PI_CHIP line 27): in use by 'line_hold'
gpio: digitalWrite: pin 2 (GPIO27, $PI_CHIP line 27): in use by 'line_hold'" "$(cat "$PROGRAM_ERR")"
spawn_stop

# Another program holds the clock line.
expect_busy_clock "$PI_CHIP"
