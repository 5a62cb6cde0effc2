# The service stopped and disabled, then the package purged, as the README
# says: nothing of it is left. Installed again it works; enabled and purged
# without being disabled, its maintainer scripts stop it and leave nothing
# either.
# time limit: 300
# guests: system
# needs: -
# shellcheck shell=dash
deb=$(ls /var/lib/kernel-test/sorvalen_*_amd64.deb)
files=$(package_files)
disable=$(readme_command "systemctl disable") || fail "no command systemctl disable in the README"
# shellcheck disable=SC2086 # the README's command line, split into its words
check $disable
expect_eq "the service after disable --now" "inactive" "$(systemctl is-active sorvalen.service)"
apt purge -y sorvalen >/tmp/apt.log 2>&1 || fail "apt purge sorvalen failed: $(cat /tmp/apt.log)"
# shellcheck disable=SC2086 # one path a line, none with a space
expect_eq "the package's files after apt purge" "" "$(left_behind $files; leftovers)"

apt install -y "$deb" >/tmp/apt.log 2>&1 || fail "apt install $deb again failed: $(cat /tmp/apt.log)"
check systemctl enable --now sorvalen.service
wait_until 30 "the service's main process" service_pid_is_new 0
apt purge -y sorvalen >/tmp/apt.log 2>&1 || fail "apt purge sorvalen (enabled) failed: $(cat /tmp/apt.log)"
expect_eq "the service after purging it enabled" "inactive" "$(systemctl is-active sorvalen.service)"
# shellcheck disable=SC2086 # one path a line, none with a space
expect_eq "the package's files after purging it enabled" "" "$(left_behind $files; leftovers)"
expect_eq "the package's state" "" "$(dpkg-query -W -f='${Status}' sorvalen 2>/dev/null)"
