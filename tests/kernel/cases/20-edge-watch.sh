# Every falling clock edge arrives through the character device with the
# S/N level the driver set before it.
# time limit: 60

edges=3000
high=575 # per 1000: 3000 edges hold 1725 high samples

watch_run() { # watch_run DRIVER-OPTIONS...: edge_watch against the driver
    bg as_user "$USER_GPIO" edge_watch --edges "$edges" --timeout 30 >/tmp/watch.out 2>&1
    local watch=$BG_PID
    driver --sysfs "$PI_SYSFS" --clock 25 --sn 23 --edges "$edges" --high "$high" \
        --wait-chip "$PI_CHIP" "$@" || fail "driver $*; edge_watch said: $(cat /tmp/watch.out)"
    wait "$watch"
    BG_PIDS=
}

pi_layout
sim_pull "$PI_SYSFS" 25 up

watch_run --rate 2000
expect_eq "edge_watch, paced" "chip $PI_CHIP clock 25 sn 23
falling=$edges high=1725" "$(cat /tmp/watch.out)"

# The S/N line moves right after each falling edge: the level is still the
# one at the edge, as the S/N line's own events say.
watch_run --rate 2000 --flip
expect_eq "edge_watch, S/N inverted after each edge" "chip $PI_CHIP clock 25 sn 23
falling=$edges high=1725" "$(cat /tmp/watch.out)"
