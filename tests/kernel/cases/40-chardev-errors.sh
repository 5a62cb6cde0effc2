# The set-up failures on the character device: the program's banner, its
# failure message and status, and the reason on standard error.
# time limit: 60
expect_reason() {  # WHAT PATTERN
    grep -q "$2" "$PROGRAM_ERR" || expect_eq "$1: the reason on standard error" "...$2..." "$(cat "$PROGRAM_ERR")"
}

program_run root
if [ -n "$(ls /dev | grep '^gpiochip')" ]; then
    # The board has a chip of its own (qemu's arm "virt" board), not the
    # header's: the set-up opens it, the clock's interrupt has no line.
    expect_eq "no header chip: output" "$(banner; echo 'isr setup failed')" "$(cat "$PROGRAM_OUT")"
    expect_eq "no header chip: status" 1 "$PROGRAM_STATUS"
    expect_reason "no header chip" "^gpio: wiringPiISR: pin 6 (GPIO25) has no line"
    expect_reason "no header chip" "(GPIO25): no GPIO chip has a line named GPIO25, nor is one labelled"
else
    expect_eq "no chip: output" "$(banner; echo 'wiringPin setup failed')" "$(cat "$PROGRAM_OUT")"
    expect_eq "no chip: status" 1 "$PROGRAM_STATUS"
    expect_reason "no chip" "^gpio: no GPIO chip"
fi

pi_layout
program_run "$USER_PLAIN"
expect_eq "no access: output" "$(banner; echo 'wiringPin setup failed')" "$(cat "$PROGRAM_OUT")"
expect_eq "no access: status" 1 "$PROGRAM_STATUS"
expect_reason "no access" "permission denied: the user must be in the group 'gpio'"

# Another program holds the clock line.
bg line_hold GPIO25 1 >/tmp/hold.out
i=0
while [ ! -s /tmp/hold.out ] && [ "$i" -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
program_run "$USER_GPIO"
expect_eq "busy clock: output" "$(banner; echo 'isr setup failed')" "$(cat "$PROGRAM_OUT")"
expect_eq "busy clock: status" 1 "$PROGRAM_STATUS"
expect_reason "busy clock" "^gpio: wiringPiISR: pin 6 (GPIO25, $PI_CHIP line 25): in use by 'line_hold'"
bg_stop
