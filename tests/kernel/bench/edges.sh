# The guest benchmark's body (tests/kernel/bench/run puts the settings
# RATES, SECONDS_PER_RUN, FREE_EDGES, DRAIN and GPIOD_LIB before it). For
# each driver rate (0: free-running, as fast as the driver can write) the
# same driver run feeds, in turn: the program as root (event thread at
# SCHED_FIFO 40), the program as a user without real-time priority, gpiomon
# watching the clock line for falling edges, and a sysfs poll() reader of the
# clock line. One line "bench ..." per run; the host makes the tables.

pi_layout
clock=25
sn=23
high=737

# cpu_ticks PID [TID]: user + system time in clock ticks (USER_HZ, 10 ms).
cpu_ticks() {
    local file=/proc/$1/stat
    [ -n "${2:-}" ] && file=/proc/$1/task/$2/stat
    awk '{print $14 + $15}' "$file"
}
# run_ns PID [TID]: time on the processor in ns (schedstat's first field).
run_ns() {
    local file=/proc/$1/schedstat
    [ -n "${2:-}" ] && file=/proc/$1/task/$2/schedstat
    awk '{print $1}' "$file"
}
# other_task PID: the process's thread that is not its main thread.
other_task() {
    local task
    for task in /proc/$1/task/*; do
        [ "${task##*/}" != "$1" ] && echo "${task##*/}" && return
    done
}
# drive EDGES RATE: the driver's run; its summary line in DRIVER_LINE.
drive() {
    local pace=
    [ "$2" != 0 ] && pace="--rate $2"
    DRIVER_LINE=$(driver --sysfs "$PI_SYSFS" --clock $clock --sn $sn --high $high \
        --edges "$1" $pace) || fail "driver failed: $DRIVER_LINE"
    # "driver: N falling edges, H high, S s, R edges/s"
    DRIVER_RATE=$(echo "$DRIVER_LINE" | awk '{print $(NF-1)}')
    DRIVER_SECONDS=$(echo "$DRIVER_LINE" | awk '{print $(NF-3)}')
}

# measure PID TID EDGES RATE: one driver run and the drain after it; sets
# THREAD_TICKS and THREAD_NS (of thread TID, or of the process where TID is
# empty) and PROCESS_TICKS, the processor time PID used meanwhile.
measure() {
    local t0 n0 p0
    t0=$(cpu_ticks "$1" "$2")
    n0=$(run_ns "$1" "$2")
    p0=$(cpu_ticks "$1")
    drive "$3" "$4"
    sleep "$DRAIN"
    THREAD_TICKS=$(($(cpu_ticks "$1" "$2") - t0))
    THREAD_NS=$(($(run_ns "$1" "$2") - n0))
    PROCESS_TICKS=$(($(cpu_ticks "$1") - p0))
}
# report READER EDGES RATE DELIVERED [MORE...]: the run's "bench ..." line.
report() {
    local reader=$1 edges=$2 rate=$3 delivered=$4
    shift 4
    echo "bench reader=$reader rate=$rate produced=$edges driver_rate=$DRIVER_RATE" \
        "driver_s=$DRIVER_SECONDS delivered=$delivered lost=$((edges - delivered))${*:+ $*}" \
        "thread_ticks=$THREAD_TICKS thread_ns=$THREAD_NS process_ticks=$PROCESS_TICKS"
}

# bench_program root|user EDGES RATE
bench_program() {
    local who=$1 edges=$2 rate=$3 i tid line
    if [ "$who" = root ]; then
        bg "$PROGRAM" >"$PROGRAM_OUT" 2>"$PROGRAM_ERR"
        PROGRAM_PID=$BG_PID
    else
        program_start "$USER_GPIO"
    fi
    # The event thread starts once the request with edge detection is made.
    i=0
    while [ -z "$(other_task "$PROGRAM_PID")" ]; do
        [ "$i" -ge 400 ] && fail "no event thread in the program: $(cat "$PROGRAM_ERR")"
        sleep 0.05
        i=$((i + 1))
    done
    tid=$(other_task "$PROGRAM_PID")
    measure "$PROGRAM_PID" "$tid" "$edges" "$rate"
    kill -USR1 "$PROGRAM_PID"
    sleep 0.3
    line=$(grep '^gpio-counters:' "$PROGRAM_ERR" | tail -n 1)
    program_stop
    [ -n "$line" ] || fail "no counters from the program: $(cat "$PROGRAM_ERR")"
    [ "$(echo "$line" | sed 's/.* tid=\([0-9]*\) .*/\1/')" = "$tid" ] ||
        fail "the counters name another event thread than $tid: $line"
    set -- $(echo "$line" | sed 's/.* handler=\([0-9]*\) batches=\([0-9]*\) events=\([0-9]*\) lost_clock=\([0-9]*\) batch_hist=\([0-9,]*\).*/\1 \2 \3 \4 \5/')
    report "program-$who" "$edges" "$rate" "$1" "told_lost=$4" \
        "batches=$2 events=$3 batch_hist=$5 reports=$(($(wc -l <"$PROGRAM_OUT") - 4))"
}

# bench_gpiomon EDGES RATE: gpiomon's lines go to a file in the guest's
# memory (tmpfs) and are counted after it ends.
bench_gpiomon() {
    local edges=$1 rate=$2 pid i=0 lines
    LD_LIBRARY_PATH=$GPIOD_LIB gpiomon --falling-edge "${PI_CHIP#/dev/}" $clock >/tmp/gpiomon.out 2>/tmp/gpiomon.err &
    pid=$!
    # Its line request is made, with the edge interrupt set up, once it
    # holds the event file.
    while ! ls -l /proc/$pid/fd 2>/dev/null | grep -q 'anon_inode:gpio'; do
        [ "$i" -ge 200 ] && fail "gpiomon did not request line $clock: $(cat /tmp/gpiomon.err)"
        sleep 0.05
        i=$((i + 1))
    done
    measure $pid "" "$edges" "$rate"
    kill -INT $pid
    wait $pid
    lines=$(wc -l </tmp/gpiomon.out)
    report gpiomon "$edges" "$rate" "$lines"
    [ "$rate" = "${RATES%% *}" ] && head -n 2 /tmp/gpiomon.out | sed 's/^/gpiomon output: /'
    rm -f /tmp/gpiomon.out
}

# bench_sysfs EDGES RATE
bench_sysfs() {
    local edges=$1 rate=$2 pid wakeups chip base=
    for chip in /sys/class/gpio/gpiochip*; do
        [ "$(cat "$chip/label")" = pinctrl-rp1 ] && base=$(cat "$chip/base")
    done
    [ -n "$base" ] || fail "no pinctrl-rp1 chip in /sys/class/gpio"
    sysfs_edges $((base + clock)) >/tmp/sysfs.out 2>&1 &
    pid=$!
    wait_for_text /tmp/sysfs.out "sysfs_edges: ready"
    measure $pid "" "$edges" "$rate"
    kill -TERM $pid
    wait $pid
    wakeups=$(sed -n 's/^sysfs_edges: wakeups=//p' /tmp/sysfs.out)
    [ -n "$wakeups" ] || fail "sysfs_edges: $(cat /tmp/sysfs.out)"
    report sysfs "$edges" "$rate" "$wakeups"
}

echo "bench guest: $(uname -r), $(nproc) CPU, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2)"
for rate in $RATES; do
    if [ "$rate" = 0 ]; then edges=$FREE_EDGES; else edges=$((rate * SECONDS_PER_RUN)); fi
    bench_program root "$edges" "$rate"
    bench_program user "$edges" "$rate"
    bench_gpiomon "$edges" "$rate"
    bench_sysfs "$edges" "$rate"
done
