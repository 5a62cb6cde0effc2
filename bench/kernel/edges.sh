# shellcheck shell=dash disable=SC2153 # the runner puts the settings before this body
# The guest benchmark's body (bench/kernel/run puts the settings
# READERS, EDGES, REPEATS, LOW, HIGH, DRAIN, READER_CPU, DRIVER_CPU, MODE,
# COST_RATE, COST_RUNS, ICOUNT_SHIFT and COUNTERS before it). For each reader
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
# On the board model with the receiver on its own CPU (READER_CPU and
# DRIVER_CPU set: a guest with two CPUs), the driver runs on DRIVER_CPU and
# the reader, every thread of it, on READER_CPU, and so do the kernel's
# interrupt threads that queue the reader's edge events, as on a board where
# the GPIO interrupt is taken by the reader's CPU (gpio-sim's simulated
# interrupt itself is raised in the driver's write, on its CPU).
#
# MODE=ceiling searches the ceilings. MODE=cost measures the cost of one
# clock edge instead: for each reader, COST_RUNS runs of EDGES edges at
# COST_RATE (a rate every reader takes without a loss), each giving the
# time on the processor of the reader's threads (schedstat) from the
# driver's start to the end of the drain: one "bench-cost ..." line a run.
# On an instruction-counted guest clock (qemu -icount shift=ICOUNT_SHIFT)
# with one CPU, 2^ICOUNT_SHIFT ns of it are one instruction; "bench-insn
# ..." lines check that, with a loop of a known number of instructions
# (insn_loop).
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
# Pinning: READER_PIN and DRIVER_PIN, the words that run a command on the
# reader's and the driver's CPU (empty without a CPU of its own).
READER_PIN=${READER_CPU:+taskset -c $READER_CPU}
DRIVER_PIN=${DRIVER_CPU:+taskset -c $DRIVER_CPU}
# pin_interrupts: the interrupt threads of gpio-sim's lines (those a reader
# has requested for edges) onto the reader's CPU; says where each went.
pin_interrupts() {
    local irq p n=0
    [ -n "$READER_CPU" ] || return 0
    for irq in /sys/kernel/irq/*; do
        case $(cat "$irq/chip_name" 2>/dev/null) in *sim*) ;; *) continue ;; esac
        for p in /proc/[0-9]*; do
            case $(cat "$p/comm" 2>/dev/null) in "irq/${irq##*/}-"*) ;; *) continue ;; esac
            taskset -p -c "$READER_CPU" "${p#/proc/}" >/dev/null ||
                fail "cannot put $(cat "$p/comm") on CPU $READER_CPU"
            n=$((n + 1))
        done
    done
    [ "$n" -gt 0 ] || fail "no interrupt thread of gpio-sim to put on CPU $READER_CPU"
}
# where PID: the CPUs that PID's threads may run on and last ran on.
where() {
    local task
    for task in /proc/"$1"/task/*; do
        printf '%s:%s:%s ' "${task##*/}" "$(sed -n 's/^Cpus_allowed_list:[[:space:]]*//p' "$task/status")" \
            "$(cut -d' ' -f39 "$task/stat")"
    done
}

# measure PID TID RATE: one driver run of EDGES edges at RATE and the drain
# after it; sets ACHIEVED (the driver's edges a second), THREAD_NS (thread
# TID, or the process where TID is empty) and PROCESS_NS.
measure() {
    local t0 p0 line
    t0=$(cpu_ns "$1" "$2")
    p0=$(cpu_ns "$1")
    # "driver: N falling edges, H high, S s, R edges/s"
    # shellcheck disable=SC2086 # DRIVER_PIN: the words of a taskset command, or none
    line=$($DRIVER_PIN rt_prio 30 driver --sysfs "$PI_SYSFS" --clock $clock --sn $sn --high $high \
        ${DRIVER_GAP_US:+--gap-us "$DRIVER_GAP_US"} --edges "$EDGES" --rate "$3" --steady) ||
        fail "driver failed: $line"
    ACHIEVED=$(echo "$line" | awk '{print $(NF-1)}')
    sleep "$DRAIN"
    THREAD_NS=$(($(cpu_ns "$1" "$2") - t0))
    PROCESS_NS=$(($(cpu_ns "$1") - p0))
}
# progress LINE: LINE on the guest's console as well, where the host sees it
# at once (the case's output comes after the case); without the "  | " of
# the case's lines, so that the tables do not take it twice.
progress() { echo "bench-progress $*" >/dev/console 2>/dev/null || :; }

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
    progress "$PROBE"
}

# program_pinned root|user: starts the program as root or as the gpio user
# on the reader's CPU and waits for its edge thread, which starts once the
# request with edge detection is made.
program_pinned() {
    # shellcheck disable=SC2086 # READER_PIN: the words of a taskset command, or none
    if [ "$1" = root ]; then
        spawn $READER_PIN "$PROGRAM" >"$PROGRAM_OUT" 2>"$PROGRAM_ERR"
    else
        spawn as_user "$USER_GPIO" $READER_PIN "$PROGRAM" >"$PROGRAM_OUT" 2>"$PROGRAM_ERR"
    fi
    PROGRAM_PID=$SPAWNED_PID
    wait_until 20 "the program's edge thread" other_task "$PROGRAM_PID"
    pin_interrupts
}

# probe_program root|user RATE
probe_program() {
    local who=$1 rate=$2 tid line counted_tid
    program_pinned "$who"
    tid=$(other_task "$PROGRAM_PID")
    measure "$PROGRAM_PID" "$tid" "$rate"
    [ -z "$READER_CPU" ] || echo "bench-where reader=program-$who rate=$rate program=$(where "$PROGRAM_PID")"
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
    # What the program said of its losses: the kernel's queue full, events
    # too late, or merged by the kernel before they were queued.
    grep '^gpio: lost' "$PROGRAM_ERR" | sed "s/^/bench-loss reader=program-$who rate=$rate: /" || :
}

# gpiomon_pinned: gpiomon on the reader's CPU, its pid in GPIOMON_PID,
# once its line request is made, with the edge interrupt set up (it holds
# the event file).
gpiomon_pinned() {
    # shellcheck disable=SC2086 # READER_PIN: the words of a taskset command, or none
    $READER_PIN gpiomon --falling-edge "${PI_CHIP#/dev/}" $clock >/tmp/gpiomon.out 2>/tmp/gpiomon.err &
    GPIOMON_PID=$!
    wait_until 10 "gpiomon's request of line $clock" holds_event_file $GPIOMON_PID
    pin_interrupts
}

# probe_gpiomon RATE: gpiomon's lines go to a file in the guest's memory
# (tmpfs) and are counted after it ends.
probe_gpiomon() {
    local rate=$1 pid lines
    gpiomon_pinned
    pid=$GPIOMON_PID
    measure $pid "" "$rate"
    [ -z "$READER_CPU" ] || echo "bench-where reader=gpiomon rate=$rate gpiomon=$(where $pid)"
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
    # shellcheck disable=SC2086 # READER_PIN: the words of a taskset command, or none
    $READER_PIN sysfs_edges $((base + clock)) >/tmp/sysfs.out 2>&1 &
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

# cost_program root|user RUN: one run at COST_RATE; the edge thread's and
# the report cycle's time (the process has those two threads: the main
# thread's is the process's less the edge thread's), and the process's.
cost_program() {
    local tid cycle_ns lost
    program_pinned "$1"
    tid=$(other_task "$PROGRAM_PID")
    [ "$(find "/proc/$PROGRAM_PID/task" -mindepth 1 -maxdepth 1 | wc -l)" = 2 ] ||
        fail "the program has other threads than the main and the edge thread"
    measure "$PROGRAM_PID" "$tid" "$COST_RATE"
    cycle_ns=$((PROCESS_NS - THREAD_NS))
    echo "bench-where reader=program-$1 program=$(where "$PROGRAM_PID")"
    if [ "$COUNTERS" = 1 ]; then
        # A build with the edge counters: its reads and events, to tell
        # runs that woke the thread more often from those that cost more.
        kill -USR1 "$PROGRAM_PID"
        sleep 0.3
        echo "bench-counters reader=program-$1 run=$2 $(grep '^gpio-counters:' "$PROGRAM_ERR" | tail -n 1)"
    fi
    program_stop
    lost=$(grep -c '^gpio: lost' "$PROGRAM_ERR" || :)
    echo "bench-cost reader=program-$1 run=$2 shift=$ICOUNT_SHIFT rate=$COST_RATE achieved=$ACHIEVED edges=$EDGES loss_lines=$lost" \
        "thread_ns=$THREAD_NS cycle_ns=$cycle_ns process_ns=$PROCESS_NS"
    progress "cost program-$1 run $2 done"
}
# cost_gpiomon RUN
cost_gpiomon() {
    local lines
    gpiomon_pinned
    measure "$GPIOMON_PID" "" "$COST_RATE"
    echo "bench-where reader=gpiomon gpiomon=$(where "$GPIOMON_PID")"
    kill -INT "$GPIOMON_PID"
    wait "$GPIOMON_PID"
    lines=$(wc -l </tmp/gpiomon.out)
    echo "bench-cost reader=gpiomon run=$1 shift=$ICOUNT_SHIFT rate=$COST_RATE achieved=$ACHIEVED edges=$EDGES delivered=$lines" \
        "thread_ns=$THREAD_NS cycle_ns=0 process_ns=$PROCESS_NS"
}

# The driver's CPU, if the kernel left it down (maxcpus=1), brought up.
if [ -n "$DRIVER_CPU" ] && [ "$(cat "/sys/devices/system/cpu/cpu$DRIVER_CPU/online" 2>/dev/null)" = 0 ]; then
    echo 1 >"/sys/devices/system/cpu/cpu$DRIVER_CPU/online" || fail "cannot bring CPU $DRIVER_CPU up"
fi
echo "bench guest: $(uname -r), $(nproc) CPU, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2)"
if [ "$MODE" = cost ]; then
    run=1
    while [ "$run" -le "$COST_RUNS" ]; do
        # shellcheck disable=SC2086 # READER_PIN: the words of a taskset command, or none
        echo "bench-insn run=$run shift=$ICOUNT_SHIFT $($READER_PIN insn_loop 50000000)"
        # shellcheck disable=SC2086 # READER_PIN: the words of a taskset command, or none
        echo "bench-clock run=$run shift=$ICOUNT_SHIFT $($READER_PIN insn_loop --clock 100000)"
        run=$((run + 1))
    done
    for reader in $READERS; do
        run=1
        while [ "$run" -le "$COST_RUNS" ]; do
            case $reader in
            program-root) cost_program root "$run" ;;
            program-user) cost_program user "$run" ;;
            gpiomon) cost_gpiomon "$run" ;;
            *) fail "no cost run for reader $reader" ;;
            esac
            run=$((run + 1))
        done
    done
    exit 0
fi
for reader in $READERS; do
    repeat=1
    while [ "$repeat" -le "$REPEATS" ]; do
        search "$reader" "$repeat"
        repeat=$((repeat + 1))
    done
done
