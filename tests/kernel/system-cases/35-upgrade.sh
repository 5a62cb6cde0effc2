# An upgrade of the package while the service runs (apt reinstalling the
# package goes through the same maintainer scripts) leaves the service
# running the new program, which reports on.
# time limit: 120
# guests: system
# needs: driver
# shellcheck shell=dash
deb=$(ls /var/lib/kernel-test/sorvalen_*_amd64.deb)
old=$(service_show MainPID)
[ "$old" != 0 ] || fail "the service is not running"
apt install -y --reinstall "$deb" >/tmp/apt.log 2>&1 || fail "apt install --reinstall $deb failed: $(cat /tmp/apt.log)"
service_restarted "$old" ||
    fail "after the upgrade the service is $(systemctl is-active sorvalen.service), main process $(service_show MainPID) (was $old)"
pid=$SERVICE_PID
expect_eq "the program the service runs" /usr/bin/sorvalen "$(readlink "/proc/$pid/exe")"
expect_service_reports "$pid" "the program after the upgrade"
