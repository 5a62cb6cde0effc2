# Edges the kernel never saw. This single-core kernel takes gpio-sim's
# interrupts at its timer tick only, so an S/N pulse shorter than a tick
# (two changes within one) gives one interrupt and one event, at the level
# the input already had. The program, run by a user in the chip's group,
# tells each such pulse as an edge unseen, in its loss lines and its metrics
# file, as many as the driver made within one tick; nothing else is lost,
# and as the pulses fall between clock edges, every window stays exact.
# time limit: 150
# guests: armhf
# needs: driver
# shellcheck shell=dash
[ -n "$DRIVER_GAP_US" ] || fail "this guest's kernel is not one that takes gpio-sim's interrupts at its tick"
pi_layout
program_start "$USER_GPIO"
check drive --high 425 --flip --pulse-every 10 --edges 1500 --wait-chip "$PI_CHIP" >/tmp/driver.out
cat /tmp/driver.out
within=$(sed -n 's/^driver: \([0-9]*\) pulses within one tick, .*/\1/p' /tmp/driver.out)
[ "${within:-0}" -ge 100 ] || fail "the driver made ${within:-no} pulses within one tick, not 100"
program_wait_reports 1
sleep 2 # the last loss line comes a second after its edge at the latest
program_stop
line='% high: 42, BER: 1.6e-02, SN: 5.2'
expect_eq "banner" "$(banner)" "$(head -n 4 "$PROGRAM_OUT")"
expect_eq "reports other than the exact one" "" "$(sed 1,4d "$PROGRAM_OUT" | grep -vxF "$line")"
pattern=$(loss_line 0 0 '([0-9]+)')
cat "$PROGRAM_ERR"
expect_eq "standard error: loss lines with nothing dropped or late" "" "$(grep -Evx "$pattern" "$PROGRAM_ERR")"
# Each line: the lost (first group) all unseen (second); their sum the driver's.
told=$(sed -En "s/^$pattern\$/\1 \2/p" "$PROGRAM_ERR" | awk '$1 != $2 { bad = 1 } { s += $2; print s } END { exit bad }') ||
    fail "a loss line tells other losses than unseen edges"
expect_eq "edges unseen, told" "$within" "$(printf '%s\n' "$told" | tail -n 1)"
expect_losses_counted unseen 1 "$told"
