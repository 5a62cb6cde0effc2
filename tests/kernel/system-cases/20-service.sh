# The service enabled and started as the README says, on a chip laid out as
# on a Raspberry Pi whose owner and mode udev's rule sets: the journal holds
# the banner and the exact report lines, one entry a line. The program runs
# as a user that is not root, in the group gpio, without capabilities or a
# way to gain privileges, and its edge thread has real-time priority 40.
# time limit: 180
# guests: system
# needs: driver realtime
# shellcheck shell=dash
pi_layout
# sim_device sets the chip's owner itself: undo that, and let udev do it.
chown root:root "$PI_CHIP"
chmod 0600 "$PI_CHIP"
check udevadm trigger --settle --action=change "$PI_CHIP"
expect_eq "the chip's group and mode after udev" "gpio 660" "$(stat -c '%G %a' "$PI_CHIP")"

enable=$(readme_command 'systemctl enable') || fail "no command systemctl enable in the README"
# shellcheck disable=SC2086 # the README's command line, split into its words
check $enable
wait_until 30 "the service's main process" service_pid_is_new 0
pid=$SERVICE_PID
expect_service_reports "$pid" "the service's program" 3 737 "% high: 73, BER: 6.0e-04, SN: 9.0"
# The README's journalctl line, without following (-f), for this run's
# program only.
follow=$(readme_command 'journalctl') || fail "no command journalctl in the README"
journal=$(printf '%s\n' "$follow" | sed 's/ -f / /')
expect_eq "$journal" "$(journal_of "$pid")" "$($journal -q _PID="$pid")"

status=/proc/$pid/status
uid=$(sed -n 's/^Uid:[[:space:]]*\([0-9]*\).*/\1/p' "$status")
{ [ -n "$uid" ] && [ "$uid" != 0 ]; } || expect_eq "the program's user" "not root" "uid $uid"
gpio_gid=$(getent group gpio | cut -d: -f3)
grep -q "^Groups:.*\b$gpio_gid\b" "$status" ||
    expect_eq "the program's groups" "... $gpio_gid (gpio) ..." "$(grep '^Groups:' "$status")"
expect_eq "the program's privileges" "NoNewPrivs: 1 CapEff: 0000000000000000" \
    "$(grep -E '^(NoNewPrivs|CapEff):' "$status" | sort -r | tr -s '\t\n' '  ' | sed 's/ $//')"
# Scheduling policy and real-time priority of each thread (fields 41 and 40
# of stat): the edge thread runs SCHED_FIFO (1) at 40.
policies=$(for task in /proc/"$pid"/task/*; do sed 's/.*) //' "$task/stat" | cut -d' ' -f38,39; done)
grep -qx '40 1' <<EOT || expect_eq "a thread at SCHED_FIFO 40 (priority, policy)" "40 1" "$policies"
$policies
EOT
