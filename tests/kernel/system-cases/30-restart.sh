# The service's program killed with SIGKILL is started again by systemd,
# and reports on.
# time limit: 120
PI_CHIP=$(sim_chip pi bank1)
PI_SYSFS=$(sim_sysfs pi bank1)
old=$(service_show MainPID)
[ "$old" != 0 ] || fail "the service is not running"
restarts=$(service_show NRestarts)
check kill -KILL "$old"
wait_until 60 "the service active again after SIGKILL" service_restarted "$old"
pid=$SERVICE_PID
expect_eq "restarts after SIGKILL" "$((restarts + 1)) active" "$(service_show NRestarts) $(systemctl is-active sorvalen)"
check driver --sysfs "$PI_SYSFS" --clock 25 --sn 23 --high 425 --flip --edges 2500 \
    --stop "$pid" --burst 250 --wait-chip "$PI_CHIP"
wait_until 30 "the restarted program's banner and two reports in the journal" journal_has "$pid" 3
line="% high: 42, BER: 1.6e-02, SN: 5.2"
expect_eq "the journal of the restarted program" "$(journal_banner; printf '%s\n' "$line" "$line")" "$(journal_of "$pid")"
