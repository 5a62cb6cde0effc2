# The simulated Raspberry Pi layout, access by group and output lines.
# time limit: 30
# guests: amd64
# needs: line_hold
# shellcheck shell=dash

pi_layout
expect_eq "chips of the layout" "/dev/gpiochip0 /dev/gpiochip1" "$OTHER_CHIP $PI_CHIP"
expect_eq "owner and mode of the header's chip" "root:gpio 660" "$(stat -c '%U:%G %a' "$PI_CHIP")"
expect_eq "lines of the header's bank" 54 "$(find "$PI_SYSFS" -maxdepth 1 -name 'sim_gpio*' | wc -l)"
expect_eq "label of the first chip" not-the-header "$(cat "$SIM_CONFIGFS/pi/bank0/label")"

# A user in group gpio can drive a line; its level shows in sysfs.
spawn as_user "$USER_GPIO" line_hold GPIO17 1 >/tmp/hold.out 2>&1
wait_until 5 "a line from line_hold" test -s /tmp/hold.out
expect_eq "line_hold as $USER_GPIO" "held $PI_CHIP 17" "$(cat /tmp/hold.out)"
expect_eq "level driven on GPIO17" 1 "$(sim_value "$PI_SYSFS" 17)"
expect_eq "level of the undriven GPIO18" 0 "$(sim_value "$PI_SYSFS" 18)"

spawn_stop

# A user outside the group cannot open the chips.
out=$(as_user "$USER_PLAIN" line_hold GPIO17 1 2>&1 || echo "status $?")
expect_eq "line_hold as $USER_PLAIN" "line_hold: cannot open /dev/gpiochip0: Permission denied
status 2" "$out"

# Teardown, then another layout: another label, lines without names.
sim_teardown
pi_layout pinctrl-bcm2835 -
expect_eq "label of the header's bank" pinctrl-bcm2835 "$(cat "$SIM_CONFIGFS/pi/bank1/label")"
out=$(line_hold GPIO17 1 2>&1 || echo "status $?")
expect_eq "line_hold without line names" "line_hold: no line named GPIO17
status 2" "$out"
