# The service's program killed with SIGKILL is started again by systemd,
# and reports on.
# time limit: 120
# guests: system
# needs: driver
# shellcheck shell=dash
old=$(service_show MainPID)
[ "$old" != 0 ] || fail "the service is not running"
restarts=$(service_show NRestarts)
check kill -KILL "$old"
wait_until 60 "the service active again after SIGKILL" service_restarted "$old"
pid=$SERVICE_PID
expect_eq "restarts after SIGKILL" "$((restarts + 1)) active" "$(service_show NRestarts) $(systemctl is-active sorvalen)"
expect_service_reports "$pid" "the restarted program"
