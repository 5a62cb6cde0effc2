# A program stopped while thousands of edges arrive: the kernel's queue
# overflows, the loss is told once on standard error, and the reports after
# the window it fell in are exact again. The metrics file's counts of lost
# events are those the loss lines told.
# time limit: 30
# guests: amd64
# needs: driver
# shellcheck shell=dash
pi_layout
program_start "$USER_GPIO"
check drive --high 737 --flip --windows 1 --wait-chip "$PI_CHIP"
check drive --high 737 --flip --edges 4000 --stop "$PROGRAM_PID" --burst 4000
check drive --high 737 --flip --windows 6
wait_for_text "$PROGRAM_ERR" "gpio: lost" 2 # told a second after the loss at the latest
program_stop
line='% high: 73, BER: 6.0e-04, SN: 9.0'
reports=$(sed 1,4d "$PROGRAM_OUT")
expect_eq "banner" "$(banner)" "$(head -n 4 "$PROGRAM_OUT")"
others=$(printf '%s\n' "$reports" | grep -cvxF "$line" || :)
exact=$(printf '%s\n' "$reports" | grep -cxF "$line" || :)
{ [ "$others" -le 1 ] && [ "$exact" -ge 5 ]; } ||
    expect_eq "reports: all exact but the one window with the loss" "$line (at least 5 times)" "$reports"
# One loss report for the stop and no other: the stopped program's queue
# dropped events, and nothing was merged around it.
pattern=$(loss_line)
cat "$PROGRAM_ERR"
expect_eq "standard error: loss reports only" "" "$(grep -Evx "$pattern" "$PROGRAM_ERR")"
lost=$(sed -En "s/^$pattern\$/\1/p" "$PROGRAM_ERR")
{ [ "$(wc -l <"$PROGRAM_ERR")" = 1 ] && [ "${lost:-0}" -ge 1000 ]; } || fail "not one report of the thousands lost"
# The metrics file counts what the loss lines told: its causes add up to
# the lost they told.
expect_metrics "reports after a loss"
expect_losses_counted 'dropped|late|merged|unseen' 1000 \
    "$(sed -En "s/^$pattern\$/\1/p" "$PROGRAM_ERR" | awk '{ s += $1; print s }')"
