# Every falling clock edge arrives through the character device with the
# S/N level the driver set before it: paced, free-running, with the S/N line
# moved right after each edge, and in bursts while the watcher is stopped so
# that events wait in the kernel's queue while the S/N line moves on. None
# are lost as long as they fit in the queue: free-running, the watcher gets
# only part of the CPU and the default queue of 32 events overflows (about a
# fifth of the edges were lost so), one of 1024 does not.
# time limit: 90
# guests: amd64
# needs: driver edge_watch
# shellcheck shell=dash

pi_layout
sim_pull "$PI_SYSFS" 25 up

# watch EDGES BUFFER HIGH DRIVER-OPTIONS...: edge_watch as the gpio user with
# a queue of BUFFER events (0: the kernel's default), driven by the driver
# with HIGH high samples per 1000 edges and these options (WATCHER stands for
# the watcher's pid); compares the watcher's counts with the driver's, and
# the level at each edge with the driver's pattern.
watch() {
    local edges=$1 buffer=$2 high=$3 what="$1 edges, queue $2, $3 high, driver $*" arg n driven
    shift 3
    spawn as_user "$USER_GPIO" edge_watch --edges "$edges" --buffer "$buffer" --high "$high" --timeout 15 \
        >/tmp/watch.out 2>&1
    wait_for_text /tmp/watch.out "chip $PI_CHIP"
    n=$#
    for arg; do
        [ "$arg" != WATCHER ] || arg=$SPAWNED_PID
        set -- "$@" "$arg"
    done
    shift "$n"
    drive --edges "$edges" --high "$high" --wait-chip "$PI_CHIP" "$@" >/tmp/driver.out 2>&1 ||
        fail "driver $*: $(cat /tmp/driver.out)"
    grep '^driver: [0-9]' /tmp/driver.out
    # edge_watch ends with status 0 once it has seen all the edges, 1 at
    # its time limit.
    reap "$SPAWNED_PID"
    driven=$(sed -n 's/^driver: [0-9]* falling edges, \([0-9]*\) high.*/\1/p' /tmp/driver.out)
    expect_eq "edge_watch, $what" "chip $PI_CHIP clock 25 sn 23
falling=$edges high=$driven wrong=0 lost=0
status 0" "$(cat /tmp/watch.out; echo "status $ENDED_STATUS")"
}

watch 3000 1024 575 --rate 2000
watch 3000 1024 575 --rate 2000 --flip
watch 3000 1024 333
watch 3000 1024 1000 --flip
# Up to 3 events an edge: 10 edges fit in the default queue of 32 events.
watch 2000 0 500 --stop WATCHER --burst 10 --run-ms 20
