# Every falling clock edge arrives through the character device with the
# S/N level the driver set before it. The driver starts first and waits
# until the watcher holds its lines, as it does for the program.
# time limit: 60

edges=3000

# watch_run DRIVER-OPTIONS...: edge_watch as the gpio user against the
# driver, 575 high samples per 1000 edges (1725 in 3000), with a queue of
# 1024 events: at 2000 edges a second the default 32 overflow when the
# emulated guest stalls for 5 ms.
watch_run() {
    bg driver --sysfs "$PI_SYSFS" --clock 25 --sn 23 --edges "$edges" --high 575 --wait-chip "$PI_CHIP" "$@" \
        >/tmp/driver.out 2>&1
    local driver=$BG_PID
    wait_for_text /tmp/driver.out "driver: watching"
    as_user "$USER_GPIO" edge_watch --edges "$edges" --high 575 --buffer 1024 --timeout 30 >/tmp/watch.out 2>&1
    wait "$driver" || fail "driver $*: $(cat /tmp/driver.out)"
    BG_PIDS=
    cat /tmp/driver.out
}

pi_layout
sim_pull "$PI_SYSFS" 25 up

watch_run --rate 2000
expect_eq "edge_watch, paced" "chip $PI_CHIP clock 25 sn 23
falling=$edges high=1725 wrong=0 lost=0" "$(cat /tmp/watch.out)"

# The S/N line moves right after each falling edge: the level is still the
# one at the edge, as the S/N line's own events say.
watch_run --rate 2000 --flip
expect_eq "edge_watch, S/N inverted after each edge" "chip $PI_CHIP clock 25 sn 23
falling=$edges high=1725 wrong=0 lost=0" "$(cat /tmp/watch.out)"
