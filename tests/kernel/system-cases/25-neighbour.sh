# A good neighbour, as installed: a CPU-bound program at normal priority
# keeps, beside the service (its edge thread at SCHED_FIFO 40 through the
# unit's LimitRTPRIO, its report cycle at nice 19), at least 90 % of
# the share of the CPU it keeps beside gpiomon (Debian's gpiod, as root)
# reading the same two lines; the service's reports meanwhile are exact. The
# receiver's driver at SCHED_FIFO 30, 1000 clock edges a second with each
# change of a line 200 us after the one before, as in the kernel leg's case.
# time limit: 150
# guests: system
# needs: driver spin realtime
# shellcheck shell=dash
line='% high: 73, BER: 6.0e-04, SN: 9.0'
[ "$(service_show MainPID)" != 0 ] || fail "the service is not running"
chip=$(sim_chip pi bank1)
sysfs=$(sim_sysfs pi bank1)

# neighbour WHAT: the driver, then the neighbour for 4 s beside WHAT, which
# holds the lines; SHARE is its share in tenths of a per cent.
neighbour() {
    local out
    # Its own driver, not drive's: this system has chrt, not rt_prio.
    spawn chrt -f 30 driver --sysfs "$sysfs" --clock 25 --sn 23 --high 737 --flip --edges 100000000 \
        --rate 1000 --steady --gap-us 200 --pause-every 100 --pause-ms 0 >/tmp/driver.out 2>&1
    wait_until 20 "the driver's first edges" grep -q '^driver: edge 100 at' /tmp/driver.out
    out=$(spin 4) || fail "spin failed: $out"
    echo "  $out: beside $1"
    SHARE=$(echo "$out" | sed -n 's/^spin: \([0-9]*\)\.\([0-9]\) % .*/\1\2/p')
    [ -n "$SHARE" ] || fail "no share from spin: $out"
}

check systemctl stop sorvalen.service
spawn gpiomon "${chip#/dev/}" 25 23 >/dev/null 2>/tmp/gpiomon.err
wait_until 20 "gpiomon's event requests" event_requests "$SPAWNED_PID" 2
neighbour gpiomon
gpiomon_share=$SHARE
spawn_stop

check systemctl start sorvalen.service
wait_until 30 "the service's main process" service_pid_is_new 0
pid=$SERVICE_PID
wait_until 30 "the program's banner in the journal" journal_has "$pid" 1
neighbour "the service"
program_share=$SHARE
wait_until 30 "a report in the journal" journal_has "$pid" 2
spawn_stop
priorities=$(for task in /proc/"$pid"/task/*; do
    echo "${task##*/} $(sed 's/.*) //' "$task/stat" | cut -d' ' -f39,17 | awk '{print $2, $1}')"
done)
expected=$(echo "$priorities" | while read -r tid _; do
    if [ "$tid" = "$pid" ]; then echo "$tid 0 19"; else echo "$tid 1 0"; fi
done)
expect_eq "the service's threads, report cycle first (policy, nice)" "$expected" "$priorities"
expect_eq "the service's reports beside the neighbour" "$line" "$(journal_of "$pid" | tail -n +2 | sort -u)"

echo "  the neighbour kept $program_share beside the service, $gpiomon_share beside gpiomon (tenths of a per cent)"
[ $((program_share * 10)) -ge $((gpiomon_share * 9)) ] ||
    expect_eq "the neighbour's share beside the service" "at least 90 % of $gpiomon_share" "$program_share"
