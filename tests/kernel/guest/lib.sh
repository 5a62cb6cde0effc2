# shellcheck shell=dash
# Shell library for the kernel leg's case scripts (tests/kernel/cases,
# board-cases and system-cases; busybox sh in the small guests, dash in the
# Debian system guest). run_cases sources it before each case; a case runs
# in /tmp under set -e, with a clean gpio-sim (no simulated chips) and PATH
# starting with /payload/bin.
#
# Checks: expect_eq marks the case failed and goes on; fail and check end
# it, and so does any other command that fails unchecked (set -e; the case
# then says so on its output). A case passes when it exits 0 and no check
# failed. Failures are told on standard error, so that a fail inside a
# command substitution does not become part of the value it captures.
#
# A case script's header, lines of its opening comment:
#   # time limit: S    killed after S s (default 60), times TIME_SCALE
#   # guests: WORD...  the guests that run it: amd64 (tests/kernel/run, both
#                      kernels), arm64 and armhf (tests/kernel/run-package),
#                      board (run-package --real-gpio), system (run-system)
#   # needs: WORD...   the guest programs it runs, itself or through this
#                      library (driver, edge_watch, line_hold, line_info,
#                      rt_prio, spin, stamp, no_uapi_v2, sorvalen_tsan,
#                      gpiomon), not the program under test nor the
#                      system's own tools; "realtime" too if it runs
#                      something at a real-time priority (rt_prio, chrt -f)
#                      or checks one; "-" for none
#   # shellcheck shell=dash   (a case has no #! line)

SIM_CONFIGFS=/sys/kernel/config/gpio-sim
PAYLOAD=/payload
GPIO_GROUP=gpio
USER_GPIO=gpiouser   # in group gpio
USER_PLAIN=plainuser # not in group gpio
CASE_FAILED_MARK=/tmp/.case-failed
SPAWNED_PIDS=

# --- The guest's settings. The host writes those a guest needs into
# /etc/kernel-leg.env, one KERNEL_LEG_NAME=VALUE a line; they are read here
# and nowhere else in the guest, each into the name the guest uses:
#   KERNEL_LEG_PROGRAM        PROGRAM: the program under test (default
#                             /payload/bin/sorvalen; in a guest made from a
#                             package, where the package installs it)
#   KERNEL_LEG_COMPACT        COMPACT: set in a guest under slow emulation:
#                             cases keep their checks but repeat them less
#                             (fewer shares, for one); default unset
#   KERNEL_LEG_TIME_SCALE     TIME_SCALE: the cases' time limits are
#                             multiplied by it (default 1)
#   KERNEL_LEG_END_BY_REBOOT  END_BY_REBOOT: set for a board that cannot
#                             power off (qemu's raspi0): the guest's init
#                             ends with a reboot, which qemu's -no-reboot
#                             turns into an exit; default unset
#   KERNEL_LEG_BOARD_HEADER   BOARD_HEADER: set where the board's own GPIO
#                             chip is the header's (an emulated Raspberry Pi
#                             beside gpio-sim): the program finds the header
#                             even without simulated chips; default unset
#   KERNEL_LEG_DRIVER_GAP_US  DRIVER_GAP_US: set where the kernel handles
#                             gpio-sim's interrupts only at its timer tick and
#                             merges a line's changes within one tick (a
#                             single-core ARMv6 kernel): drive waits this
#                             long (microseconds) after every change; default
#                             unset (no wait)
if [ -e /etc/kernel-leg.env ]; then
    # shellcheck source=/dev/null # written by the host for each guest
    . /etc/kernel-leg.env
fi
# shellcheck disable=SC2034 # for the cases and the guests' inits
{
    PROGRAM=${KERNEL_LEG_PROGRAM:-$PAYLOAD/bin/sorvalen}
    COMPACT=${KERNEL_LEG_COMPACT:-}
    TIME_SCALE=${KERNEL_LEG_TIME_SCALE:-1}
    END_BY_REBOOT=${KERNEL_LEG_END_BY_REBOOT:-}
    BOARD_HEADER=${KERNEL_LEG_BOARD_HEADER:-}
    DRIVER_GAP_US=${KERNEL_LEG_DRIVER_GAP_US:-}
}

# uptime_ms: milliseconds since boot, from /proc/uptime's seconds with two
# decimals; computed, as "0.83" pasted into "0830" would be read as a bad
# octal number.
uptime_ms() {
    local up hundredths
    read -r up _ </proc/uptime
    hundredths=${up#*.}
    echo $((${up%.*} * 1000 + ${hundredths#0} * 10))
}

# kernel_complaints: the kernel's log since the last call (read and cleared)
# from its first warning, BUG or oops on, if it printed one; else nothing.
kernel_complaints() {
    dmesg -c 2>/dev/null |
        awk '/cut here|BUG:|Oops|general protection fault|Unable to handle kernel/ { n = 13 } n > 0 { print; n-- }' |
        head -n 40
}

# guest_up [MORE]: the line that tells the host the guest is up: "kernel-leg:
# guest up after S s, RELEASE MACHINE", then ", MORE" where given. The host
# takes the kernel's release from it (after "s, ", up to the first space or
# comma), and the Pi Zero guest's CPU from its end ("armv6l"): a guest whose
# machine the host checks gives no MORE.
guest_up() {
    echo "kernel-leg: guest up after $(cut -d' ' -f1 /proc/uptime) s, $(uname -r) $(uname -m)${1:+, $1}"
}

# run_cases LIB SETUP CLEANUP CASE...: runs each case script in a shell of
# its own in /tmp that has sourced LIB, under set -e, killed at its "# time
# limit: S" line (default 60 s, times TIME_SCALE), with the command SETUP
# before it and CLEANUP after it; prints its output indented, then a PASS or
# FAIL line. A case also fails if the kernel printed a warning, BUG or oops
# from its SETUP to its CLEANUP: what follows in the kernel may be broken.
# The counts are left in CASES_PASSED and CASES_FAILED.
run_cases() {
    local lib=$1 setup=$2 cleanup=$3 script name limit start status ms why complaint
    shift 3
    CASES_PASSED=0
    CASES_FAILED=0
    kernel_complaints >/dev/null # the boot's are not a case's
    for script; do
        name=${script##*/}
        name=${name%.sh}
        limit=$(sed -n 's/^# time limit: \([0-9]*\).*/\1/p' "$script" | head -n1)
        limit=$((${limit:-60} * TIME_SCALE))
        $setup
        rm -f "$CASE_FAILED_MARK"
        start=$(uptime_ms)
        # shellcheck disable=SC2016 # expanded by the case's shell
        (cd /tmp && exec env CASE_LIB="$lib" timeout -s KILL "$limit" \
            sh -ec '. "$CASE_LIB"; trap case_exit EXIT; . "$0"' "$script") >/tmp/.case.log 2>&1
        status=$?
        $cleanup
        ms=$(($(uptime_ms) - start))
        complaint=$(kernel_complaints)
        [ -z "$complaint" ] || printf 'FAIL: the kernel complained:\n%s\n' "$complaint" >>/tmp/.case.log
        sed 's/^/  | /' /tmp/.case.log
        if [ "$status" = 0 ] && [ ! -e "$CASE_FAILED_MARK" ] && [ -z "$complaint" ]; then
            CASES_PASSED=$((CASES_PASSED + 1))
            echo "kernel-leg: PASS $name ($ms ms)"
        else
            CASES_FAILED=$((CASES_FAILED + 1))
            case $status in
            137) why="killed at its time limit of $limit s" ;;
            0) why="a check failed"; [ -e "$CASE_FAILED_MARK" ] || why="the kernel complained" ;;
            *) why="exit status $status" ;;
            esac
            echo "kernel-leg: FAIL $name ($ms ms, $why)"
        fi
    done
}

# case_exit: the case's EXIT trap (run_cases). A case that ends with a
# status other than 0 but not through fail ended at a command that failed
# under set -e: it says so, as nothing else would.
case_exit() {
    local status=$?
    [ "$status" = 0 ] || [ -n "${CASE_FAILING:-}" ] ||
        echo "FAIL: the case ended at a command that failed (status $status; cases run under set -e)" >&2
}

# fail MESSAGE: the case fails here. Inside a subshell (a command
# substitution) it ends only that, but the mark makes the case count as
# failed all the same.
fail() {
    echo "FAIL: $*" >&2
    : >"$CASE_FAILED_MARK"
    CASE_FAILING=1
    exit 1
}

# expect_eq WHAT EXPECTED ACTUAL: compares two texts; on a difference prints
# a unified diff (- expected, + actual) and marks the case failed, which
# goes on: its status is 0 either way (the case runs under set -e). Where
# CASE_FIRST_FAILURE_ENDS is set (a guest that must fail, where only that
# counts) the case ends there.
expect_eq() {
    [ "$2" != "$3" ] || return 0
    {
        echo "FAIL: $1"
        printf '%s\n' "$2" >/tmp/.expected
        printf '%s\n' "$3" >/tmp/.actual
        diff -u /tmp/.expected /tmp/.actual | sed '1,2d; s/^/    /'
    } >&2
    : >"$CASE_FAILED_MARK"
    [ -z "${CASE_FIRST_FAILURE_ENDS:-}" ] || { CASE_FAILING=1 && exit 1; }
}

# check COMMAND...: runs it; the case fails if it exits non-zero.
check() {
    "$@" || fail "'$*' exited with status $?"
}

# as_user USER COMMAND...: runs COMMAND as USER with USER's groups.
as_user() {
    local user=$1
    shift
    # shellcheck disable=SC2016 # expanded by USER's shell
    su -s /bin/sh -c 'exec "$0" "$@"' -- "$user" "$@"
}

# spawn COMMAND...: starts the program COMMAND in the background; its pid is
# in SPAWNED_PID. "spawn as_user USER COMMAND..." too: SPAWNED_PID is then
# COMMAND's own pid. Not a shell function: that would run in a shell of its
# own, which spawn_stop would kill but not the programs it runs (drive
# --spawn starts the driver). spawn_stop kills every program so started and
# waits for them; reap PID waits for one to end by itself.
spawn() {
    if [ "$1" = as_user ]; then
        local user=$2
        shift 2
        # shellcheck disable=SC2016 # expanded by USER's shell
        su -s /bin/sh -c 'exec "$0" "$@"' -- "$user" "$@" &
    else
        case $(type "$1" 2>/dev/null) in
        *function) fail "spawn $1: a shell function, which would run in a shell of its own" ;;
        esac
        "$@" &
    fi
    SPAWNED_PID=$!
    SPAWNED_PIDS="$SPAWNED_PIDS $SPAWNED_PID"
}
spawn_stop() {
    local pid
    for pid in $SPAWNED_PIDS; do kill -KILL "$pid" 2>/dev/null || :; done
    for pid in $SPAWNED_PIDS; do wait "$pid" 2>/dev/null || :; done
    SPAWNED_PIDS=
}

# reap PID: waits for process PID, a child of the case, to end; its exit
# status is then in ENDED_STATUS (one that is not 0 does not end the case).
# spawn_stop leaves it alone after that.
# shellcheck disable=SC2034 # for the cases
reap() {
    local pid left=
    ENDED_STATUS=0
    wait "$1" 2>/dev/null || ENDED_STATUS=$?
    for pid in $SPAWNED_PIDS; do
        [ "$pid" = "$1" ] || left="$left $pid"
    done
    SPAWNED_PIDS=$left
}

# wait_for_text FILE TEXT [SECONDS]: waits until FILE holds TEXT, at most
# SECONDS (default 10) of the guest's clock; the case fails if it does not.
wait_for_text() {
    wait_until "${3:-10}" "'$2' in $1" grep -sqF -- "$2" "$1"
}

# sim_device DEV BANK...: creates and enables gpio-sim device DEV with one
# bank per BANK argument, LABEL:LINES[:NAMES], named bank0, bank1, ... in
# order. NAMES is either a prefix (GPIO names the lines GPIO0, GPIO1, ...) or,
# if it holds a comma, one name per line from offset 0 (an empty entry leaves
# that line unnamed). No NAMES: lines without names. The banks' character
# devices are made root:gpio, mode 0660.
sim_device() {
    local dev=$SIM_CONFIGFS/$1 bank_layout label lines names bank n=0 i name list
    shift
    mkdir "$dev" || fail "cannot create gpio-sim device $dev"
    for bank_layout in "$@"; do
        label=${bank_layout%%:*}
        lines=${bank_layout#*:}
        names=
        case $lines in *:*) names=${lines#*:}; lines=${lines%%:*} ;; esac
        bank=$dev/bank$n
        { mkdir "$bank" && echo "$label" >"$bank/label" && echo "$lines" >"$bank/num_lines"; } ||
            fail "cannot configure $bank ($bank_layout)"
        i=0
        case $names in
        *,*)
            list=$names,
            while [ -n "$list" ]; do
                name=${list%%,*}
                list=${list#*,}
                if [ -n "$name" ]; then
                    { mkdir "$bank/line$i" && echo "$name" >"$bank/line$i/name"; } || fail "cannot name line $i of $bank"
                fi
                i=$((i + 1))
            done
            ;;
        ?*)
            while [ "$i" -lt "$lines" ]; do
                { mkdir "$bank/line$i" && echo "$names$i" >"$bank/line$i/name"; } || fail "cannot name line $i of $bank"
                i=$((i + 1))
            done
            ;;
        esac
        n=$((n + 1))
    done
    echo 1 >"$dev/live" || fail "cannot enable gpio-sim device $dev"
    for bank in "$dev"/bank*; do
        name=/dev/$(cat "$bank/chip_name")
        { chown "root:$GPIO_GROUP" "$name" && chmod 0660 "$name"; } || fail "cannot set the owner of $name"
    done
}

# sim_chip DEV BANK: the bank's character device, /dev/gpiochipN.
sim_chip() {
    local chip
    chip=$(cat "$SIM_CONFIGFS/$1/$2/chip_name") || fail "no chip for $2 of gpio-sim device $1"
    echo "/dev/$chip"
}

# sim_sysfs DEV BANK: the bank's sysfs directory, holding sim_gpioK/pull and
# sim_gpioK/value for each line K.
sim_sysfs() {
    local dev chip
    { dev=$(cat "$SIM_CONFIGFS/$1/dev_name") && chip=$(cat "$SIM_CONFIGFS/$1/$2/chip_name"); } ||
        fail "no sysfs directory for $2 of gpio-sim device $1"
    echo "/sys/devices/platform/$dev/$chip"
}

# pi_layout [LABEL [NAMES]]: gpio-sim device "pi" as on a Raspberry Pi: first
# a chip that is not the header's (8 lines, label not-the-header), then the
# header's 54-line bank, label LABEL (default pinctrl-rp1), lines named
# NAMES0 ... NAMES53 (default GPIO; "-" for lines without names). Sets the
# variables of pi_lines.
pi_layout() {
    local label=${1:-pinctrl-rp1} names=${2:-GPIO}
    [ "$names" != - ] || names=
    sim_device pi not-the-header:8 "$label:54${names:+:$names}"
    pi_lines
}

# pi_lines: sets PI_CHIP and PI_SYSFS (the header's bank), OTHER_CHIP and
# OTHER_SYSFS from gpio-sim device "pi" as pi_layout made it (in the system
# guest, where one case makes it and the next ones use it).
# shellcheck disable=SC2034 # for the cases
pi_lines() {
    OTHER_CHIP=$(sim_chip pi bank0)
    OTHER_SYSFS=$(sim_sysfs pi bank0)
    PI_CHIP=$(sim_chip pi bank1)
    PI_SYSFS=$(sim_sysfs pi bank1)
}

# sim_pull SYSFS OFFSET up|down: sets the simulated line's pull (pull-up and
# pull-down are taken too); an input line reads it as its level.
sim_pull() {
    local pull=$3
    case $pull in up | down) pull=pull-$pull ;; esac
    echo "$pull" >"$1/sim_gpio$2/pull" || fail "cannot set the pull of line $2 in $1 to $3"
}

# sim_value SYSFS OFFSET: prints the line's level (0 or 1): on an output line
# the value its consumer drives.
sim_value() {
    cat "$1/sim_gpio$2/value" || fail "cannot read line $2 in $1"
}

# sim_teardown: stops the programs started with spawn, then disables and
# removes every gpio-sim device. Stop any other program that holds a line
# first: this kernel removes a chip under its users (and logs "REMOVING
# GPIOCHIP WITH GPIOS STILL REQUESTED"), and its gpiochip number stays taken
# until they have closed it, so the next chips get other numbers.
sim_teardown() {
    local dev bank line
    spawn_stop
    for dev in "$SIM_CONFIGFS"/*; do
        [ -d "$dev" ] || continue
        if [ "$(cat "$dev/live")" = 1 ]; then
            echo 0 >"$dev/live" || fail "cannot disable $dev (a line still requested?)"
        fi
        for bank in "$dev"/*/; do
            for line in "$bank"line*; do
                [ -d "$line" ] || continue
                [ ! -d "$line/hog" ] || rmdir "$line/hog"
                rmdir "$line"
            done
            rmdir "$bank"
        done
        rmdir "$dev" || fail "cannot remove $dev"
    done
}

# The program under test (PROGRAM, from the settings above): its output.
PROGRAM_OUT=/tmp/program.out
PROGRAM_ERR=/tmp/program.err

# banner: the four lines the program prints first.
banner() {
    printf 'Sorvalen 0.1\n\n\n\n'
}

# loss_line [DROPPED LATE [UNSEEN]]: an extended regular expression for the
# line the back end tells lost edge events with, the number lost its first
# group; the counts of events dropped and taken too late are DROPPED and
# LATE where given, else any; of edges unseen by the kernel UNSEEN, else none.
loss_line() {
    echo "gpio: lost ([0-9]+) edge events: ${1:-[0-9]+} dropped from the kernel's full queue, ${2:-[0-9]+} too late to be taken in order, [0-9]+ merged by the kernel into a later edge of their line; at least [0-9]+ were clock edges; levels taken up again from the next events; ${3:-0} unseen by the kernel \\(an input's event at the level it had\\)"
}

# The program's metrics file; on the Debian system (which has a journal),
# the service's.
PROGRAM_METRICS=/tmp/program.prom
! command -v journalctl >/dev/null || PROGRAM_METRICS=/run/sorvalen/sorvalen.prom

# program_start USER: starts the program as USER in the background, its
# standard output in PROGRAM_OUT, its standard error in PROGRAM_ERR and its
# metrics in PROGRAM_METRICS; its pid is in PROGRAM_PID.
program_start() {
    PROGRAM_METRICS=${SORVALEN_METRICS_FILE:-$PROGRAM_METRICS}
    rm -f "$PROGRAM_METRICS"
    spawn as_user "$1" env SORVALEN_METRICS_FILE="$PROGRAM_METRICS" "$PROGRAM" >"$PROGRAM_OUT" 2>"$PROGRAM_ERR"
    PROGRAM_PID=$SPAWNED_PID
}

# program_reports: the number of report lines the program has printed
# after its banner (four lines).
program_reports() {
    echo $(($(wc -l <"$PROGRAM_OUT") - 4))
}

# program_wait_reports N [SECONDS]: waits until the program has printed N
# report lines after its banner, at most SECONDS (default 20) of the guest's
# clock; fails if it does not.
program_has_reports() { [ "$(program_reports)" -ge "$1" ]; }
program_wait_reports() { wait_until "${2:-20}" "$1 reports from the program" program_has_reports "$1"; }

# program_stop: terminates the program started by program_start and waits
# for it to end, so that its lines are free again (if it has ended already,
# there is nothing to terminate).
program_stop() {
    kill -TERM "$PROGRAM_PID" 2>/dev/null || :
    reap "$PROGRAM_PID"
}

# metrics_line: the metrics file on standard input as the report line it
# stands for, then its count of reports ("% high: 73, BER: 6.0e-04, SN: 9.0 3").
metrics_line() {
    awk '$1 == "sorvalen_high_samples_ratio" { high = int($2 * 100 + 1e-9) }
        $1 == "sorvalen_bit_error_ratio" { ber = $2 }
        $1 == "sorvalen_signal_to_noise" { sn = $2 }
        $1 == "sorvalen_windows_total" { n = $2 }
        END { printf "%% high: %d, BER: %4.1e, SN: %.1f %d\n", high, ber, sn, n }'
}

# expect_metrics WHAT: the program's metrics file holds its last report line
# and counts every report it printed.
expect_metrics() {
    expect_eq "$1: the metrics file" "$(tail -n 1 "$PROGRAM_OUT") $(program_reports)" \
        "$(metrics_line <"$PROGRAM_METRICS")"
}

# expect_losses_counted CAUSES MIN TOLD: the metrics file's lost edge events
# of CAUSES (an extended regular expression: "unseen", "dropped|late") add up
# to at least MIN and to one of TOLD's lines, the loss lines' running sums:
# the file is written at each report, with what was told by then.
expect_losses_counted() {
    local counted
    counted=$(sed -En "s/^sorvalen_edge_events_lost_total\\{cause=\"($1)\"\\} ([0-9]+)\$/\\2/p" "$PROGRAM_METRICS" |
        awk '{ s += $1 } END { print s + 0 }')
    { [ "$counted" -ge "$2" ] && printf '%s\n' "$3" | grep -qx "$counted"; } ||
        fail "metrics file counts $counted lost events of $1; the loss lines told, summed line by line: $3
$(cat "$PROGRAM_METRICS")"
}

# expect_reports WHAT LINE N [ERROR]: the program printed its banner, then N
# or more reports (how many more is the nice-19 report cycle's timing), each
# the exact LINE, standard error ERROR (default none); expect_metrics too.
expect_reports() {
    local n
    n=$(program_reports)
    [ "$n" -ge "$3" ] || expect_eq "$1: reports" "at least $3" "$n"
    expect_eq "$1: output" "$(banner; seq "$n" | sed "s/.*/$2/")" "$(cat "$PROGRAM_OUT")"
    expect_eq "$1: standard error" "${4:-}" "$(cat "$PROGRAM_ERR")"
    expect_metrics "$1"
}

# program_run USER [NAME=VALUE...]: runs the program as USER, with these
# variables in its environment, to its end (at most 10 s); its exit status
# in PROGRAM_STATUS, its output in PROGRAM_OUT and PROGRAM_ERR.
program_run() {
    local user=$1
    shift
    PROGRAM_STATUS=0
    as_user "$user" env "$@" timeout -s KILL 10 "$PROGRAM" >"$PROGRAM_OUT" 2>"$PROGRAM_ERR" || PROGRAM_STATUS=$?
}

# expect_failure WHAT MESSAGE PATTERN...: the program, run by program_run,
# failed to start: its banner, then MESSAGE, exit status 1, and each grep
# PATTERN on standard error, where the back end tells why.
expect_failure() {
    local what=$1 message=$2 pattern
    shift 2
    expect_eq "$what: output" "$(banner; echo "$message")" "$(cat "$PROGRAM_OUT")"
    expect_eq "$what: status" 1 "$PROGRAM_STATUS"
    for pattern; do
        grep -q "$pattern" "$PROGRAM_ERR" ||
            expect_eq "$what: the reason on standard error" "...$pattern..." "$(cat "$PROGRAM_ERR")"
    done
}

# expect_outside_group: run by a user outside the group gpio, the program
# fails to start and says that the user must join it.
expect_outside_group() {
    program_run "$USER_PLAIN"
    expect_failure "a user outside the group" "wiringPin setup failed" \
        "permission denied: the user must be in the group 'gpio'"
}

# expect_busy_clock CHIP: with the clock line (GPIO25, line 25 of CHIP) held
# by another program, the program fails to set up its handler and names the
# holder.
expect_busy_clock() {
    spawn line_hold GPIO25 1 >/tmp/hold.out
    wait_for_text /tmp/hold.out held
    program_run "$USER_GPIO"
    expect_failure "busy clock" "isr setup failed" \
        "^gpio: wiringPiISR: pin 6 (GPIO25, $1 line 25): in use by 'line_hold'"
    spawn_stop
}

# drive [--spawn] [--rt PRIO] ARGS...: the test driver on the header's clock
# (GPIO25) and S/N (GPIO23) lines in PI_SYSFS, waiting DRIVER_GAP_US after
# every change where the guest sets it, with ARGS after those (a --gap-us
# among them wins); its --windows N counts the reports in PROGRAM_METRICS.
# --rt PRIO: at SCHED_FIFO PRIO (rt_prio). --spawn: in the background as
# spawn starts a program, the driver's pid in SPAWNED_PID (not "spawn
# drive", which would start a shell running this function).
drive() {
    local background='' prio=''
    while :; do
        case ${1:-} in
        --spawn) background=1; shift ;;
        --rt) prio=$2; shift 2 ;;
        *) break ;;
        esac
    done
    set -- driver --sysfs "$PI_SYSFS" --clock 25 --sn 23 --metrics "$PROGRAM_METRICS" \
        ${DRIVER_GAP_US:+--gap-us "$DRIVER_GAP_US"} "$@"
    [ -z "$prio" ] || set -- rt_prio "$prio" "$@"
    if [ -n "$background" ]; then spawn "$@"; else "$@"; fi
}

# irq_thread CONSUMER OFFSET: pid of the kernel thread that queues the edge
# events of line OFFSET of a request by CONSUMER: the thread of the interrupt
# whose action is CONSUMER and whose hardware number (on gpio-sim, the line's
# offset) is OFFSET. Fails if there is none.
irq_thread() {
    local irq p
    for irq in /sys/kernel/irq/*; do
        { [ "$(cat "$irq/actions" 2>/dev/null)" = "$1" ] && [ "$(cat "$irq/hwirq")" = "$2" ]; } || continue
        for p in /proc/[0-9]*; do
            if [ "$(cat "$p/comm" 2>/dev/null)" = "irq/${irq##*/}-$1" ]; then
                echo "${p#/proc/}"
                return 0
            fi
        done
    done
    fail "no interrupt thread for line $2 of $1"
}

# process_ends PID SECONDS: waits until process PID (a child of the case)
# has ended, for at most SECONDS; its exit status then in ENDED_STATUS
# (reap).
process_ended() { [ "$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null)" = Z ] || [ ! -e "/proc/$1" ]; }
process_ends() {
    wait_until "$2" "the end of process $1" process_ended "$1"
    reap "$1"
}

# event_requests PID N: process PID holds N edge event requests of the
# character device's first interface (gpiomon's of libgpiod 1.6: one a
# line, each an open file "anon_inode:gpio-event").
event_requests() {
    local fd n=0
    for fd in /proc/"$1"/fd/*; do
        [ "$(readlink "$fd" 2>/dev/null)" != anon_inode:gpio-event ] || n=$((n + 1))
    done
    [ "$n" = "$2" ]
}

# --- The Debian system guest (tests/kernel/run-system): the program as the
# package's service, its output in the journal.

# wait_until SECONDS WHAT COMMAND...: runs COMMAND every 0.2 s until it
# succeeds; the case fails, saying WHAT and what wait_context adds, if it
# does not within SECONDS (of the guest's clock: each try may itself take a
# while under emulation).
wait_until() {
    local end what=$2
    end=$(($(uptime_ms) + $1 * 1000))
    shift 2
    until "$@"; do
        [ "$(uptime_ms)" -lt "$end" ] || fail "$what: not within the time limit$(wait_context)"
        sleep 0.2
    done
}

# wait_context: what a failed wait adds: on the Debian system, the end of
# the service's journal; in the kernel leg's guests, which have no journal,
# nothing.
wait_context() {
    command -v journalctl >/dev/null || return 0
    printf "; the service's journal ends:\n%s" "$(journalctl -q -u sorvalen.service -n 25 --no-pager)"
}

# service_show PROPERTY: the property of sorvalen.service (systemctl show).
service_show() {
    systemctl show -p "$1" --value sorvalen.service
}

# service_pid_is_new OLD: the service has a main process, not OLD; its pid
# is in SERVICE_PID.
service_pid_is_new() {
    SERVICE_PID=$(service_show MainPID)
    [ "$SERVICE_PID" != 0 ] && [ "$SERVICE_PID" != "$1" ]
}

# journal_of PID: what process PID wrote to the journal, one entry a line.
journal_of() {
    journalctl -q -o cat "_PID=$1" 2>/dev/null
}

# journal_has PID N: process PID has written N entries to the journal.
journal_has() {
    [ "$(journal_of "$1" | wc -l)" -ge "$2" ]
}

# service_restarted OLD: the service is active again, its main process not
# OLD; the new pid is in SERVICE_PID.
service_restarted() {
    service_pid_is_new "$1" && [ "$(systemctl is-active sorvalen.service)" = active ]
}

# expect_service_reports PID WHAT [N [SHARE LINE]]: clock edges, SHARE high
# per mille (default 425, whose report is LINE), in bursts while the
# service's process PID is stopped, until it has reported N windows (default
# 2); then PID's journal holds its banner and N or more exact LINEs.
expect_service_reports() {
    local n=${3:-2} line=${5:-% high: 42, BER: 1.6e-02, SN: 5.2}
    pi_lines
    check drive --high "${4:-425}" --flip --windows "$n" --stop "$1" --burst 250 --wait-chip "$PI_CHIP"
    wait_until 30 "$2's reports in the journal" journal_has "$1" $((n + 1))
    n=$(($(journal_of "$1" | wc -l) - 1))
    expect_eq "the journal of $2" "$(journal_banner; seq "$n" | sed "s/.*/$line/")" "$(journal_of "$1")"
}

# package_files: the package's files, and its directories that no other
# package has, one a line (for a check that a purge removes them).
package_files() {
    local path
    dpkg-query -L sorvalen | while read -r path; do
        if [ -d "$path" ] && [ ! -L "$path" ]; then
            [ "$(dpkg-query -S "$path" 2>/dev/null | cut -d: -f1 | tr ',' '\n' | wc -l)" -gt 1 ] && continue
        fi
        echo "$path"
    done
}

# left_behind PATH...: those of the paths that are still there, but not a
# directory that still holds other packages' files (one that systemd's units
# share through /lib being /usr/lib).
left_behind() {
    local path
    for path; do
        if [ -d "$path" ] && [ ! -L "$path" ]; then
            if [ -z "$(ls -A "$path")" ]; then echo "$path"; fi
        elif [ -e "$path" ] || [ -L "$path" ]; then
            echo "$path"
        fi
    done
}

# leftovers: every path with sorvalen in its name outside the journal, this
# guest's own files and man's cache of formatted pages (man's, not the
# package's: made by "man sorvalen", kept after the page is gone).
leftovers() {
    find / -xdev \( -path /var/log/journal -o -path /var/lib/kernel-test -o -path /var/cache/man \) -prune -o \
        -name '*sorvalen*' -print 2>/dev/null
}

# readme_command PATTERN: the README's command line (an indented line of its
# code blocks) that matches the extended regular expression PATTERN, without
# "sudo " (the cases run as root); status 1, said on standard error, unless
# exactly one line matches. The
# system guest's cases run the README's commands as a user types them, so
# that a command the README gets wrong fails there.
readme_command() {
    local lines
    lines=$(grep -E "^    (sudo )?$1" /var/lib/kernel-test/README.md | sed 's/^    //; s/^sudo //')
    if [ -z "$lines" ] || [ "$(printf '%s\n' "$lines" | wc -l)" != 1 ]; then
        echo "not exactly one command in the README matches '$1': $lines" >&2
        return 1
    fi
    printf '%s\n' "$lines"
}

# journal_banner: the banner as the journal holds it, which stores no empty
# entries: its first line.
journal_banner() {
    banner | head -n1
}

# service_state_is STATE: the service's ActiveState is STATE (between
# automatic restarts it is activating; failed once systemd gives up).
service_state_is() {
    [ "$(service_show ActiveState)" = "$1" ]
}
