# The set-up failures on the character device: the program's banner, its
# failure message and status, and the reason on standard error.
# time limit: 60

if [ -n "${KERNEL_LEG_BOARD_HEADER:-}" ]; then
    # An emulated Raspberry Pi: its own GPIO chip is the header's, which the
    # program takes; without simulated chips it does not fail.
    :
elif program_run root; [ -n "$(ls /dev | grep '^gpiochip')" ]; then
    # The board has a chip of its own (qemu's arm "virt" board), not the
    # header's: the set-up opens it, the clock's interrupt has no line.
    expect_failure "no header chip" "isr setup failed" "^gpio: wiringPiISR: pin 6 (GPIO25) has no line" \
        "(GPIO25): no GPIO chip has a line named GPIO25, nor is one labelled"
else
    expect_failure "no chip" "wiringPin setup failed" "^gpio: no GPIO chip"
fi

pi_layout
program_run "$USER_PLAIN"
expect_failure "no access" "wiringPin setup failed" "permission denied: the user must be in the group 'gpio'"

# Another program holds the clock line.
bg line_hold GPIO25 1 >/tmp/hold.out
wait_for_text /tmp/hold.out held
program_run "$USER_GPIO"
expect_failure "busy clock" "isr setup failed" \
    "^gpio: wiringPiISR: pin 6 (GPIO25, $PI_CHIP line 25): in use by 'line_hold'"
bg_stop
