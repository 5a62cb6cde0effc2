# The package installed with the README's apt command, on a system
# without network: its dependencies are there. Its manual page is shown; its
# service is installed, neither enabled nor started, and systemd finds
# nothing wrong in it.
# time limit: 300
install=$(readme_command "Install on a Raspberry Pi" "sudo apt install") || fail "no install command in the README"
# shellcheck disable=SC2086
$install >/tmp/apt.log 2>&1 || fail "$install failed: $(cat /tmp/apt.log)"
expect_eq "the package's state" "install ok installed" "$(dpkg-query -W -f='${Status}' sorvalen)"
man -P cat sorvalen >/tmp/man.txt 2>&1
grep -q 'console monitor for received signal quality' /tmp/man.txt ||
    expect_eq "man sorvalen" "...console monitor for received signal quality..." "$(cat /tmp/man.txt)"
expect_eq "the service after installation" "disabled inactive" \
    "$(systemctl is-enabled sorvalen.service) $(systemctl is-active sorvalen.service)"
expect_eq "systemd-analyze verify sorvalen.service" "" "$(systemd-analyze verify sorvalen.service 2>&1)"
# The sandbox as systemd rates it: an exposure of at most 1.0 (of 10).
systemd-analyze security --threshold=10 sorvalen.service >/tmp/security.txt 2>&1 ||
    fail "systemd-analyze security rates the service above 1.0: $(tail -n1 /tmp/security.txt)"
echo "  $(tail -n1 /tmp/security.txt)"
