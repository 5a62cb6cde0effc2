# The GPIO chip goes away under the service: the program says so and ends
# with status 1, and systemd starts it again. While the chip is gone each
# start fails the same way, until the start limit leaves the unit failed.
# With the chip back, the administrator's reset-failed and start run it
# again; udev's rule gives the new chip to the group gpio.
# time limit: 180
# guests: system
# needs: -
# shellcheck shell=dash
pid=$(service_show MainPID)
[ "$pid" != 0 ] || fail "the service is not running"
since=@$(date +%s)
chip=$(sim_chip pi bank1)
restarts=$(service_show NRestarts)
echo 0 >"$SIM_CONFIGFS/pi/live" 2>/dev/null &
remover=$!
wait_until 90 "the unit failed at its start limit" service_state_is failed
process_ends "$remover" 5

grep -qxF "gpio: $chip (pinctrl-rp1): the GPIO chip went away; no more edges can be taken, ending with status 1" \
    <<EOT || expect_eq "the program's last words in the journal" "...the GPIO chip went away..." "$(journal_of "$pid")"
$(journal_of "$pid")
EOT
journal=$(journalctl -q -u sorvalen.service -o cat --since "$since")
expect_eq "how the program ended when the chip went away" \
    "sorvalen.service: Main process exited, code=exited, status=1/FAILURE" \
    "$(printf '%s\n' "$journal" | grep -m1 'Main process exited')"
grep -qxF "wiringPin setup failed" <<EOT || fail "no failed start without the chip in the journal: $journal"
$journal
EOT
grep -qF "sorvalen.service: Start request repeated too quickly." <<EOT || fail "no start limit in the journal: $journal"
$journal
EOT
[ "$(service_show NRestarts)" -gt "$restarts" ] || fail "systemd did not start the program again"

echo 1 >"$SIM_CONFIGFS/pi/live" || fail "cannot bring the chip back"
check udevadm settle
expect_eq "the new chip's group and mode" "gpio 660" "$(stat -c '%G %a' "$(sim_chip pi bank1)")"
check systemctl reset-failed sorvalen.service
check systemctl start sorvalen.service
wait_until 30 "the service running again" service_restarted 0
