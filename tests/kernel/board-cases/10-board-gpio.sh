# The program on the board's own GPIO: an emulated Raspberry Pi's BCM2835
# pin controller, its device tree as the kernel package ships it, no gpio-sim.
# Nothing can drive the emulated pins from outside, so this checks the
# set-up and the pins' state, not reports: the chip and lines the program
# takes (told in the log), their direction and edge detection as the kernel
# has them, the controller's own registers, and the failures for a user
# outside the group and for a busy clock line.
# time limit: 60
# guests: board
# needs: line_hold line_info
# shellcheck shell=dash

mkdir -p /sys/kernel/debug
grep -q ' /sys/kernel/debug ' /proc/mounts || mount -t debugfs debugfs /sys/kernel/debug ||
    fail "cannot mount debugfs"
for pins in /sys/kernel/debug/pinctrl/*pinctrl-bcm2835*/pins; do break; done
[ -e "$pins" ] || fail "no pinctrl-bcm2835 in /sys/kernel/debug/pinctrl: $(ls /sys/kernel/debug/pinctrl)"
echo "the board's GPIO chips:"
line_info || fail "line_info failed"

# pin_state N: function, level and interrupt type of BCM GPIO N as the
# controller's registers and driver have them ("gpio_out lo none").
pin_state() {
    sed -n "s/^pin $1 (gpio$1) .*function \([a-z0-9_]*\) in \([a-z]*\); irq [0-9-]* (\([a-z-]*\)).*/\1 \2 \3/p" "$pins"
}

# A user in the group: the program starts, takes the header chip's lines
# (the clock GPIO25 for falling edges, the S/N input GPIO23 for both, the
# outputs GPIO22 and GPIO27 driven low) and keeps running.
# /tmp/held: the lines it holds, "CHIP LABEL OFFSET NAME DIRECTION [EDGES]"
# each, once it holds four (or after 15 s of the guest's clock: the checks
# then say what differs).
program_start "$USER_GPIO"
end=$(($(uptime_ms) + 15000))
until { line_info sorvalen >/tmp/held && [ "$(wc -l </tmp/held)" -ge 4 ]; } || [ "$(uptime_ms)" -ge "$end" ]; do
    sleep 0.5
done
sleep 2
process_ended "$PROGRAM_PID" && fail "the program ended: $(cat "$PROGRAM_OUT" "$PROGRAM_ERR")"
echo "the lines the program holds:"
cat /tmp/held
expect_eq "the lines held by the program" "pinctrl-bcm2835 22 GPIO22 output
pinctrl-bcm2835 23 GPIO23 input edge-both
pinctrl-bcm2835 25 GPIO25 input edge-falling
pinctrl-bcm2835 27 GPIO27 output" "$(cut -d' ' -f2- /tmp/held)"
header=$(cut -d' ' -f1 /tmp/held | sort -u)
expect_eq "the lines held by the program: one chip" 1 "$(echo "$header" | wc -l)"
state=
for gpio in 22 27 25 23; do
    state="$state
$gpio $(pin_state "$gpio")"
done
echo "the controller's pins (function, level, interrupt):$state"
# An input's level is whatever the emulated pin has: not checked.
expect_eq "the pins in the controller" "
22 gpio_out lo none
27 gpio_out lo none
25 gpio_in edge-falling
23 gpio_in edge-both" "$(echo "$state" | sed 's/ gpio_in [a-z]* / gpio_in /')"
expect_eq "the program's output" "$(banner)" "$(cat "$PROGRAM_OUT")"
expect_eq "the program's standard error" "" "$(cat "$PROGRAM_ERR")"
program_stop

expect_outside_group
expect_busy_clock "$header"
