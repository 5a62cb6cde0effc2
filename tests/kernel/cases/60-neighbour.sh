# A good neighbour on a one-core board: a CPU-bound program at normal
# priority (spin) keeps, beside the monitor, at least 90 % of the share of
# the CPU that it keeps beside gpiomon reading the same two lines (both
# edges), as a user in the chip's group (no real-time priority) and as root
# (the monitor's edge thread at SCHED_FIFO 40). The receiver's driver runs
# at SCHED_FIFO 30 (rt_prio), the same beside every reader: 1000 clock edges
# a second with the S/N input flipped after each, each change of a line
# 200 us after the one before, as a receiver's lines change at moments of
# their own. (Changes written back to back would reach a reader in clusters:
# gpiomon, below the driver, reads a cluster at one wake-up, while the
# monitor's real-time edge thread, above it, wakes for each event; that
# would measure the edge thread's priority, not the report cycle.)
# Meanwhile the monitor's reports are exact, its report cycle waits at
# nice 19 and its edge thread does not.
# time limit: 240
# guests: amd64 armhf
# needs: driver gpiomon rt_prio spin realtime
# shellcheck shell=dash
pi_layout
seconds=4
rate=1000
gap=200
burst=100
edges=100000000 # until the case stops the driver
if [ -n "$DRIVER_GAP_US" ]; then
    # A kernel that takes the simulated interrupts at its tick (15 ms an
    # edge): 250 edges beside the neighbour, then the rest of a window in
    # bursts while the program is stopped, when the emulated CPU is idle and
    # its clock skips ahead (the program's busy wait leaves it never idle
    # while it runs).
    seconds=3
    rate=50
    gap=$DRIVER_GAP_US
    burst=20
    edges=250
fi
line='% high: 73, BER: 6.0e-04, SN: 9.0'

# beside USER OUT ERR COMMAND...: runs COMMAND as USER (root: as it is) in
# the background, its standard output in OUT and its error in ERR; once it
# holds the lines for edges, the driver beside it, which goes on until it
# has made the case's edges or the case stops it; then the neighbour for the
# case's time. Sets READER_PID, DRIVER_PID and SHARE (the neighbour's share
# of the CPU in tenths of a per cent). The driver's --wait-chip knows the
# monitor's request of uAPI v2; gpiomon's two requests of uAPI v1 do not
# show their edges in the lines' info and are waited for here.
beside() {
    local user=$1 stdout=$2 stderr=$3 out end
    shift 3
    if [ "$user" = root ]; then
        spawn "$@" >"$stdout" 2>"$stderr"
    else
        spawn as_user "$user" "$@" >"$stdout" 2>"$stderr"
    fi
    READER_PID=$SPAWNED_PID
    if [ "$1" = gpiomon ]; then
        wait_until 20 "gpiomon's two event requests" event_requests "$READER_PID" 2
        set --
    else
        set -- --wait-chip "$PI_CHIP"
    fi
    drive --spawn --rt 30 --high 737 --flip --edges "$edges" --rate "$rate" --steady --gap-us "$gap" \
        --pause-every "$burst" --pause-ms 0 "$@" >/tmp/driver.out 2>&1
    DRIVER_PID=$SPAWNED_PID
    end=$(($(uptime_ms) + 20000))
    until grep -q "^driver: edge $burst at" /tmp/driver.out; do
        [ "$(uptime_ms)" -lt "$end" ] ||
            fail "no edges beside the reader as $user in 20 s: $(cat /tmp/driver.out "$stderr")"
        sleep 0.05
    done
    out=$(spin "$seconds") || fail "spin failed: $out"
    echo "  $out: beside $(cat "/proc/$READER_PID/comm") as $user"
    SHARE=$(echo "$out" | sed -n 's/^spin: \([0-9]*\)\.\([0-9]\) % .*/\1\2/p')
    [ -n "$SHARE" ] || fail "no share from spin: $out"
}

# priorities PID: "TID POLICY NICE" for each thread of PID (policy
# SCHED_OTHER 0, SCHED_FIFO 1).
priorities() {
    local task
    for task in /proc/"$1"/task/*; do
        echo "${task##*/} $(sed 's/.*) //' "$task/stat" | cut -d' ' -f39,17 | awk '{print $2, $1}')"
    done
}

for user in "$USER_GPIO" root; do
    beside "$user" /dev/null /tmp/gpiomon.err gpiomon "${PI_CHIP#/dev/}" 25 23
    gpiomon_share=$SHARE
    spawn_stop

    beside "$user" "$PROGRAM_OUT" "$PROGRAM_ERR" "$PROGRAM"
    program_share=$SHARE
    pid=$READER_PID
    edge_policy=0
    [ "$user" != root ] || edge_policy=1
    expected=$(priorities "$pid" | while read -r tid _; do
        if [ "$tid" = "$pid" ]; then echo "$tid 0 19"; else echo "$tid $edge_policy 0"; fi
    done)
    expect_eq "the program's threads as $user, report cycle first (policy, nice)" "$expected" \
        "$(priorities "$pid")"
    if [ "$edges" -lt 1000 ]; then
        reap "$DRIVER_PID"
        [ "$ENDED_STATUS" = 0 ] ||
            fail "the driver beside the program ended with status $ENDED_STATUS: $(cat /tmp/driver.out)"
        check drive --high 737 --flip --first "$edges" --edges $((2000 - edges)) --stop "$pid" --burst 250 \
            --gap-us "$gap" >/dev/null
    fi
    program_wait_reports 1 60
    spawn_stop
    reports=$(tail -n +5 "$PROGRAM_OUT" | sort -u)
    expect_eq "the program's reports as $user beside the neighbour" "$line" "$reports"
    # A kernel that takes the simulated interrupts at its tick may merge a
    # line's changes now and then: told, and taken up again, never dropped
    # or late.
    expect_eq "the program's standard error as $user" "" "$(grep -v -E "^$(loss_line 0 0)\$" "$PROGRAM_ERR")"

    echo "  as $user: the neighbour kept $program_share beside the program, $gpiomon_share beside gpiomon (tenths of a per cent)"
    [ $((program_share * 10)) -ge $((gpiomon_share * 9)) ] ||
        expect_eq "the neighbour's share beside the program as $user" \
            "at least 90 % of $gpiomon_share" "$program_share"
done
