# shellcheck shell=dash disable=SC2153 # the runner puts the settings before this body
# The guest benchmark's body (bench/kernel/run puts the settings
# READERS, EDGES, REPEATS, LOW, HIGH and DRAIN before it). For each reader
# (the program as root, its edge thread at SCHED_FIFO 40; the program as a
# user in group gpio, without real-time priority; gpiomon watching the clock
# line for falling edges; a sysfs poll() reader of the clock line), REPEATS
# searches, each for the highest paced rate at which EDGES clock edges all
# reach the reader: a bisection over rates between LOW and HIGH (edges a
# second, halving the interval until the bounds are within 5 %). A probe
# passes when nothing is lost and the driver achieved at least 98 % of the
# requested rate; one that does not achieve it says nothing of the reader.
#
# The driver runs at SCHED_FIFO 30: above every ordinary thread (the
# readers, gpiomon, the program's report cycle and, as a user, its edge
# thread), so it keeps its rate whatever the reader does; below the kernel's
# interrupt threads (50), which queue the edges, and the program's edge
# thread when it has its priority (40), which must empty the queue. It
# sleeps between edges, so every reader has the rest of the CPU alike, and
# it is steady: held off the CPU (the host stalls the emulated one now and
# then), it goes on at the rate instead of making up the edges it owes in a
# burst, which would test a reader at many times the rate asked for.
#
# The S/N line moves as the clock's pattern says (737 high samples in 1000,
# about 0.53 S/N events per clock edge): the program takes those events too,
# gpiomon and the sysfs reader only the clock's. One line "bench ..." per
# probe, one "bench-ceiling ..." per search; the host makes the tables.

pi_layout
clock=25
sn=23
high=737

# cpu_ns PID [TID]: time on the processor in ns (schedstat's first field)
# of thread TID, or of every thread of PID.
cpu_ns() {
    local file sum=0
    if [ -n "${2:-}" ]; then
        awk '{print $1}' "/proc/$1/task/$2/schedstat"
        return
    fi
    for file in /proc/"$1"/task/*/schedstat; do
        sum=$((sum + $(awk '{print $1}' "$file")))
    done
    echo "$sum"
}
# other_task PID: the process's thread that is not its main thread; fails
# while it has none.
other_task() {
    local task
    for task in "/proc/$1/task"/*; do
        [ "${task##*/}" != "$1" ] && echo "${task##*/}" && return
    done
    return 1
}
# holds_event_file PID: the process holds a line request's event file.
holds_event_file() {
    local fd
    for fd in "/proc/$1/fd"/*; do
        case $(readlink "$fd" 2>/dev/null) in anon_inode:gpio*) return 0 ;; esac
    done
    return 1
}
# measure PID TID RATE: one driver run of EDGES edges at RATE and the drain
# after it; sets ACHIEVED (the driver's edges a second), THREAD_NS (thread
# TID, or the process where TID is empty) and PROCESS_NS.
measure() {
    local t0 p0 line
    t0=$(cpu_ns "$1" "$2")
    p0=$(cpu_ns "$1")
    # "driver: N falling edges, H high, S s, R edges/s"
    line=$(rt_prio 30 driver --sysfs "$PI_SYSFS" --clock $clock --sn $sn --high $high \
        --edges "$EDGES" --rate "$3" --steady) || fail "driver failed: $line"
    ACHIEVED=$(echo "$line" | awk '{print $(NF-1)}')
    sleep "$DRAIN"
    THREAD_NS=$(($(cpu_ns "$1" "$2") - t0))
    PROCESS_NS=$(($(cpu_ns "$1") - p0))
}
# probe_line READER RATE DELIVERED EVENTS [MORE...]: the probe's "bench ..."
# line in PROBE; LOST, PASSED and, for a probe that failed, WHY (loss: edges
# lost; driver: the rate not achieved) for the search.
probe_line() {
    local reader=$1 rate=$2 delivered=$3 events=$4
    shift 4
    LOST=$((EDGES - delivered))
    PASSED=0
    [ "$LOST" = 0 ] && [ $((ACHIEVED * 100)) -ge $((rate * 98)) ] && PASSED=1
    WHY=loss
    [ "$LOST" = 0 ] && WHY=driver
    PROBE="reader=$reader rate=$rate achieved=$ACHIEVED produced=$EDGES delivered=$delivered lost=$LOST"
    PROBE="$PROBE events=$events thread_ns=$THREAD_NS process_ns=$PROCESS_NS passed=$PASSED${*:+ $*}"
    echo "bench $PROBE"
}

# probe_program root|user RATE
probe_program() {
    local who=$1 rate=$2 tid line counted_tid
    if [ "$who" = root ]; then
        spawn "$PROGRAM" >"$PROGRAM_OUT" 2>"$PROGRAM_ERR"
        PROGRAM_PID=$SPAWNED_PID
    else
        program_start "$USER_GPIO"
    fi
    # The edge thread starts once the request with edge detection is made.
    wait_until 20 "the program's edge thread" other_task "$PROGRAM_PID"
    tid=$(other_task "$PROGRAM_PID")
    measure "$PROGRAM_PID" "$tid" "$rate"
    kill -USR1 "$PROGRAM_PID"
    sleep 0.3
    line=$(grep '^gpio-counters:' "$PROGRAM_ERR" | tail -n 1)
    program_stop
    [ -n "$line" ] || fail "no counters from the program: $(cat "$PROGRAM_ERR")"
    counted_tid=${line#* tid=}
    [ "${counted_tid%% *}" = "$tid" ] ||
        fail "the counters name another edge thread than $tid: $line"
    # shellcheck disable=SC2046 # five numbers, split into $1 to $5
    set -- $(echo "$line" | sed 's/.* handler=\([0-9]*\) batches=\([0-9]*\) events=\([0-9]*\) lost_clock=\([0-9]*\) batch_hist=\([0-9,]*\).*/\1 \2 \3 \4 \5/')
    probe_line "program-$who" "$rate" "$1" "$3" "batches=$2 lost_told=$4" \
        "loss_lines=$(grep -c '^gpio: lost' "$PROGRAM_ERR")"
}

# probe_gpiomon RATE: gpiomon's lines go to a file in the guest's memory
# (tmpfs) and are counted after it ends.
probe_gpiomon() {
    local rate=$1 pid lines
    gpiomon --falling-edge "${PI_CHIP#/dev/}" $clock >/tmp/gpiomon.out 2>/tmp/gpiomon.err &
    pid=$!
    # Its line request is made, with the edge interrupt set up, once it
    # holds the event file.
    wait_until 10 "gpiomon's request of line $clock" holds_event_file $pid
    measure $pid "" "$rate"
    kill -INT $pid
    wait $pid
    lines=$(wc -l </tmp/gpiomon.out)
    rm -f /tmp/gpiomon.out
    probe_line gpiomon "$rate" "$lines" "$lines"
}

# probe_sysfs RATE
probe_sysfs() {
    local rate=$1 pid wakeups chip base=
    for chip in /sys/class/gpio/gpiochip*; do
        [ "$(cat "$chip/label")" = pinctrl-rp1 ] && base=$(cat "$chip/base")
    done
    [ -n "$base" ] || fail "no pinctrl-rp1 chip in /sys/class/gpio"
    sysfs_edges $((base + clock)) >/tmp/sysfs.out 2>&1 &
    pid=$!
    wait_for_text /tmp/sysfs.out "sysfs_edges: ready"
    measure $pid "" "$rate"
    kill -TERM $pid
    wait $pid
    wakeups=$(sed -n 's/^sysfs_edges: wakeups=//p' /tmp/sysfs.out)
    [ -n "$wakeups" ] || fail "sysfs_edges: $(cat /tmp/sysfs.out)"
    probe_line sysfs "$rate" "$wakeups" "$wakeups"
}

probe() {
    case $1 in
    program-root) probe_program root "$2" ;;
    program-user) probe_program user "$2" ;;
    gpiomon) probe_gpiomon "$2" ;;
    sysfs) probe_sysfs "$2" ;;
    *) fail "no reader $1" ;;
    esac
}

# search READER REPEAT: one bisection; its "bench-ceiling ..." line gives the
# ceiling, the probe there and why the probe above it failed (WHY) or "none"
# where the top held.
search() {
    local reader=$1 lo=$LOW hi=$HIGH mid at='' why=none probes=1
    probe "$reader" "$lo"
    if [ "$PASSED" != 1 ]; then
        echo "bench-ceiling reader=$reader repeat=$2 ceiling=below probes=1 above=$WHY $PROBE"
        return
    fi
    at=$PROBE
    probe "$reader" "$hi"
    probes=2
    if [ "$PASSED" = 1 ]; then
        echo "bench-ceiling reader=$reader repeat=$2 ceiling=$hi probes=2 above=none $PROBE"
        return
    fi
    why=$WHY
    while [ $((hi * 100)) -gt $((lo * 105)) ]; do
        mid=$(((lo + hi) / 2))
        probe "$reader" "$mid"
        probes=$((probes + 1))
        if [ "$PASSED" = 1 ]; then
            lo=$mid
            at=$PROBE
        else
            hi=$mid
            why=$WHY
        fi
    done
    echo "bench-ceiling reader=$reader repeat=$2 ceiling=$lo probes=$probes above=$why $at"
}

echo "bench guest: $(uname -r), $(nproc) CPU, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2)"
for reader in $READERS; do
    repeat=1
    while [ "$repeat" -le "$REPEATS" ]; do
        search "$reader" "$repeat"
        repeat=$((repeat + 1))
    done
done
