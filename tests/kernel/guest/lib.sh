# Shell library for the kernel leg's case scripts (tests/kernel/cases/*.sh).
# The guest's init sources it before each case; a case runs in /tmp with a
# clean gpio-sim (no simulated chips) and PATH starting with /payload/bin.
#
# Checks: expect_eq marks the case failed and goes on; fail and check end
# it. A case passes when it exits 0 and no check failed.

SIM_CONFIGFS=/sys/kernel/config/gpio-sim
PAYLOAD=/payload
GPIO_GROUP=gpio
USER_GPIO=gpiouser   # in group gpio
USER_PLAIN=plainuser # not in group gpio
CASE_FAILED_MARK=/tmp/.case-failed
BG_PIDS=

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

# run_cases LIB SETUP CLEANUP CASE...: runs each case script in a shell of
# its own in /tmp that has sourced LIB, killed at its "# time limit: S" line
# (default 60 s, times KERNEL_LEG_TIME_SCALE), with the command SETUP before
# it and CLEANUP after it; prints its output indented, then a PASS or FAIL
# line. A case also fails if the kernel printed a warning, BUG or oops from
# its SETUP to its CLEANUP: what follows in the kernel may be broken. The
# counts are left in CASES_PASSED and CASES_FAILED.
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
        limit=$((${limit:-60} * ${KERNEL_LEG_TIME_SCALE:-1}))
        $setup
        rm -f "$CASE_FAILED_MARK"
        start=$(uptime_ms)
        (cd /tmp && exec env CASE_LIB="$lib" timeout -s KILL "$limit" sh -c '. "$CASE_LIB"; . "$0"' "$script") \
            >/tmp/.case.log 2>&1
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

# fail MESSAGE: the case fails here.
fail() {
    echo "FAIL: $*"
    : >"$CASE_FAILED_MARK"
    exit 1
}

# expect_eq WHAT EXPECTED ACTUAL: compares two texts; on a difference prints
# a unified diff (- expected, + actual) and marks the case failed.
expect_eq() {
    [ "$2" = "$3" ] && return 0
    echo "FAIL: $1"
    printf '%s\n' "$2" >/tmp/.expected
    printf '%s\n' "$3" >/tmp/.actual
    diff -u /tmp/.expected /tmp/.actual | sed '1,2d; s/^/    /'
    : >"$CASE_FAILED_MARK"
    return 1
}

# check COMMAND...: runs it; the case fails if it exits non-zero.
check() {
    "$@" || fail "'$*' exited with status $?"
}

# as_user USER COMMAND...: runs COMMAND as USER with USER's groups.
as_user() {
    local user=$1
    shift
    su -s /bin/sh -c 'exec "$0" "$@"' -- "$user" "$@"
}

# bg COMMAND...: starts COMMAND in the background; its pid is in BG_PID.
# "bg as_user USER COMMAND..." too: BG_PID is then COMMAND's own pid.
# bg_stop kills every program so started and waits for them.
bg() {
    if [ "$1" = as_user ]; then
        local user=$2
        shift 2
        su -s /bin/sh -c 'exec "$0" "$@"' -- "$user" "$@" &
    else
        "$@" &
    fi
    BG_PID=$!
    BG_PIDS="$BG_PIDS $BG_PID"
}
bg_stop() {
    local pid
    for pid in $BG_PIDS; do kill -KILL "$pid" 2>/dev/null; done
    for pid in $BG_PIDS; do wait "$pid" 2>/dev/null; done
    BG_PIDS=
}

# wait_for_text FILE TEXT [SECONDS]: waits until FILE holds TEXT (default
# 10 s); the case fails if it does not.
wait_for_text() {
    local i=0
    while ! grep -qF -- "$2" "$1" 2>/dev/null; do
        [ "$i" -ge "$((${3:-10} * 20))" ] && fail "no '$2' in $1 after ${3:-10} s: $(cat "$1" 2>/dev/null)"
        sleep 0.05
        i=$((i + 1))
    done
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
        mkdir "$bank" && echo "$label" >"$bank/label" && echo "$lines" >"$bank/num_lines" ||
            fail "cannot configure $bank ($bank_layout)"
        i=0
        case $names in
        *,*)
            list=$names,
            while [ -n "$list" ]; do
                name=${list%%,*}
                list=${list#*,}
                if [ -n "$name" ]; then
                    mkdir "$bank/line$i" && echo "$name" >"$bank/line$i/name" || fail "cannot name line $i of $bank"
                fi
                i=$((i + 1))
            done
            ;;
        ?*)
            while [ "$i" -lt "$lines" ]; do
                mkdir "$bank/line$i" && echo "$names$i" >"$bank/line$i/name" || fail "cannot name line $i of $bank"
                i=$((i + 1))
            done
            ;;
        esac
        n=$((n + 1))
    done
    echo 1 >"$dev/live" || fail "cannot enable gpio-sim device $dev"
    for bank in "$dev"/bank*; do
        name=/dev/$(cat "$bank/chip_name")
        chown "root:$GPIO_GROUP" "$name" && chmod 0660 "$name" || fail "cannot set the owner of $name"
    done
}

# sim_chip DEV BANK: the bank's character device, /dev/gpiochipN.
sim_chip() {
    echo "/dev/$(cat "$SIM_CONFIGFS/$1/$2/chip_name")"
}

# sim_sysfs DEV BANK: the bank's sysfs directory, holding sim_gpioK/pull and
# sim_gpioK/value for each line K.
sim_sysfs() {
    echo "/sys/devices/platform/$(cat "$SIM_CONFIGFS/$1/dev_name")/$(cat "$SIM_CONFIGFS/$1/$2/chip_name")"
}

# pi_layout [LABEL [NAMES]]: gpio-sim device "pi" as on a Raspberry Pi: first
# a chip that is not the header's (8 lines, label not-the-header), then the
# header's 54-line bank, label LABEL (default pinctrl-rp1), lines named
# NAMES0 ... NAMES53 (default GPIO; "-" for lines without names). Sets
# PI_CHIP and PI_SYSFS (the header's bank), OTHER_CHIP and OTHER_SYSFS.
pi_layout() {
    local label=${1:-pinctrl-rp1} names=${2:-GPIO}
    [ "$names" = - ] && names=
    sim_device pi not-the-header:8 "$label:54${names:+:$names}"
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

# sim_teardown: stops the programs started with bg, then disables and
# removes every gpio-sim device. Stop any other program that holds a line
# first: this kernel removes a chip under its users (and logs "REMOVING
# GPIOCHIP WITH GPIOS STILL REQUESTED"), and its gpiochip number stays taken
# until they have closed it, so the next chips get other numbers.
sim_teardown() {
    local dev bank line
    bg_stop
    for dev in "$SIM_CONFIGFS"/*; do
        [ -d "$dev" ] || continue
        if [ "$(cat "$dev/live")" = 1 ]; then
            echo 0 >"$dev/live" || fail "cannot disable $dev (a line still requested?)"
        fi
        for bank in "$dev"/*/; do
            for line in "$bank"line*; do
                [ -d "$line" ] || continue
                [ -d "$line/hog" ] && rmdir "$line/hog"
                rmdir "$line"
            done
            rmdir "$bank"
        done
        rmdir "$dev" || fail "cannot remove $dev"
    done
}

# The program under test: sorvalen on the character device, from the payload
# or, in a guest made from a package, where the package installs it.
PROGRAM=${KERNEL_LEG_PROGRAM:-$PAYLOAD/bin/sorvalen}

# Set in a guest under slow emulation: cases keep their checks but repeat
# them less (fewer shares, for one).
COMPACT=${KERNEL_LEG_COMPACT:-}
PROGRAM_OUT=/tmp/program.out
PROGRAM_ERR=/tmp/program.err

# banner: the four lines the program prints first.
banner() {
    printf 'Sorvalen 0.1\n\n\n\n'
}

# loss_line [DROPPED LATE]: an extended regular expression for the line the
# back end tells lost edge events with, the number lost its first group; the
# counts of events dropped and taken too late are DROPPED and LATE where
# given, else any.
loss_line() {
    echo "gpio: lost ([0-9]+) edge events: ${1:-[0-9]+} dropped from the kernel's full queue, ${2:-[0-9]+} too late to be taken in order, [0-9]+ merged by the kernel into a later edge of their line; at least [0-9]+ were clock edges; levels taken up again from the next events"
}

# program_start USER: starts the program as USER in the background, its
# standard output in PROGRAM_OUT and its standard error in PROGRAM_ERR; its
# pid is in PROGRAM_PID.
program_start() {
    bg as_user "$1" "$PROGRAM" >"$PROGRAM_OUT" 2>"$PROGRAM_ERR"
    PROGRAM_PID=$BG_PID
}

# program_wait_reports N [SECONDS]: waits until the program has printed N
# report lines after its banner (default: at most 20 s); fails if it does not.
program_wait_reports() {
    local want=$(($1 + 4)) tries=$((${2:-20} * 10))
    while [ "$(wc -l <"$PROGRAM_OUT")" -lt "$want" ]; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || fail "no $1 reports in time; the program printed:
$(cat "$PROGRAM_OUT")
and on standard error:
$(cat "$PROGRAM_ERR")"
        sleep 0.1
    done
}

# program_stop: terminates the program started by program_start and waits
# for it to end, so that its lines are free again.
program_stop() {
    kill -TERM "$PROGRAM_PID" 2>/dev/null
    wait "$PROGRAM_PID" 2>/dev/null
}

# program_run USER: runs the program as USER to its end (at most 10 s); its
# exit status in PROGRAM_STATUS, its output in PROGRAM_OUT and PROGRAM_ERR.
program_run() {
    as_user "$1" timeout -s KILL 10 "$PROGRAM" >"$PROGRAM_OUT" 2>"$PROGRAM_ERR"
    PROGRAM_STATUS=$?
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
    bg line_hold GPIO25 1 >/tmp/hold.out
    wait_for_text /tmp/hold.out held
    program_run "$USER_GPIO"
    expect_failure "busy clock" "isr setup failed" \
        "^gpio: wiringPiISR: pin 6 (GPIO25, $1 line 25): in use by 'line_hold'"
    bg_stop
}

# irq_thread CONSUMER OFFSET: pid of the kernel thread that queues the edge
# events of line OFFSET of a request by CONSUMER: the thread of the interrupt
# whose action is CONSUMER and whose hardware number (on gpio-sim, the line's
# offset) is OFFSET. Fails if there is none.
irq_thread() {
    local irq p
    for irq in /sys/kernel/irq/*; do
        [ "$(cat "$irq/actions" 2>/dev/null)" = "$1" ] && [ "$(cat "$irq/hwirq")" = "$2" ] || continue
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
# has ended, for at most SECONDS; its exit status then in ENDED_STATUS.
process_ended() { [ "$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null)" = Z ] || [ ! -e "/proc/$1" ]; }
process_ends() {
    wait_until "$2" "the end of process $1" process_ended "$1"
    wait "$1"
    ENDED_STATUS=$?
}

# Set in a guest whose kernel handles gpio-sim's interrupts only at its timer
# tick and merges a line's changes within one tick (a single-core ARMv6
# kernel): the driver waits this long (microseconds) after every change.
DRIVER_GAP_US=${KERNEL_LEG_DRIVER_GAP_US:-}

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

# expect_service_reports PID WHAT: the driver makes 2500 clock edges, in
# bursts while the service's process PID is stopped; the journal then holds
# PID's banner and two exact reports (WHAT names the process in messages).
expect_service_reports() {
    local line="% high: 42, BER: 1.6e-02, SN: 5.2"
    check driver --sysfs "$(sim_sysfs pi bank1)" --clock 25 --sn 23 --high 425 --flip --edges 2500 \
        --stop "$1" --burst 250 --wait-chip "$(sim_chip pi bank1)"
    wait_until 30 "$2's banner and two reports in the journal" journal_has "$1" 3
    expect_eq "the journal of $2" "$(journal_banner; printf '%s\n' "$line" "$line")" "$(journal_of "$1")"
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
            [ -z "$(ls -A "$path")" ] && echo "$path"
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
