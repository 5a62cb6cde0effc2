# The package installed with apt from the file, as a user does, on a system
# without network: its dependencies are there. Its manual page is shown; its
# service is installed, neither enabled nor started, and systemd finds
# nothing wrong in it.
# time limit: 300
# guests: system
# needs: -
# shellcheck shell=dash
deb=$(ls /var/lib/kernel-test/sorvalen_*_amd64.deb)
# The README's line, for this machine's package and without asking.
install=$(readme_command 'apt install \./sorvalen_') || fail "no command apt install \./sorvalen_ in the README"
install=$(printf '%s\n' "$install" | sed "s|\./sorvalen_[^ ]*\.deb|$deb|; s|^apt install|apt install -y|")
$install >/tmp/apt.log 2>&1 || fail "$install failed: $(cat /tmp/apt.log)"
expect_eq "the package's state" "install ok installed" "$(dpkg-query -W -f='${Status}' sorvalen)"
man -P cat sorvalen >/tmp/man.txt 2>&1 || fail "man sorvalen failed: $(cat /tmp/man.txt)"
grep -q 'console monitor for received signal quality' /tmp/man.txt ||
    expect_eq "man sorvalen" "...console monitor for received signal quality..." "$(cat /tmp/man.txt)"
expect_eq "the service after installation" "disabled inactive" \
    "$(systemctl is-enabled sorvalen.service) $(systemctl is-active sorvalen.service)"
expect_eq "systemd-analyze verify sorvalen.service" "" "$(systemd-analyze verify sorvalen.service 2>&1)"
# The sandbox as systemd rates it: an exposure of at most 1.0 (of 10).
systemd-analyze security --threshold=10 sorvalen.service >/tmp/security.txt 2>&1 ||
    fail "systemd-analyze security rates the service above 1.0: $(tail -n1 /tmp/security.txt)"
echo "  $(tail -n1 /tmp/security.txt)"
