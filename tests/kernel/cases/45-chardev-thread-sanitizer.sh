# The program built with ThreadSanitizer: the back end's event thread, which
# calls the handler, against the report cycle, with edges in bursts while the
# program is stopped and at 1500 edges a second after (free-running, a
# loaded host starved the slower instrumented program until its queue
# overflowed, which is not what this case is about). Exact reports, and
# nothing on standard error (where ThreadSanitizer tells a data race).
#
# The program runs half a second between bursts: a burst of 250 edges is
# about 900 events, the kernel queues 1024, and on a loaded host the
# instrumented program needed more than the driver's default 50 ms to take
# one, so the next burst overflowed the queue. How many windows 4500 edges
# fill is the report cycle's timing, not the program's result: the first
# window opens only once the program has requested the lines, and a window
# that ends while the event thread keeps the one processor busy is taken by
# the nice-19 report cycle late, the edges in between counted and not
# sampled. Three whole windows are certain, a fourth is not: every report
# must be the exact line, and there must be three or four.
# time limit: 120
# guests: amd64
# needs: driver sorvalen_tsan
# shellcheck shell=dash
pi_layout
# shellcheck disable=SC2034 # the program that program_start starts
PROGRAM=$PAYLOAD/bin/sorvalen_tsan
line='% high: 42, BER: 1.6e-02, SN: 5.2'
program_start "$USER_GPIO"
check drive --high 425 --flip --edges 2500 --stop "$PROGRAM_PID" --burst 250 --run-ms 500 \
    --wait-chip "$PI_CHIP" >/dev/null
check drive --high 425 --flip --edges 2000 --rate 1500 >/dev/null
program_wait_reports 3 60
# The edges still queued may fill a fourth window.
sleep 2
program_stop
reports=$(program_reports)
case $reports in 3 | 4) ;; *) fail "$reports reports from 4500 edges" ;; esac
expect_eq "reports under ThreadSanitizer" \
    "$(banner; for _ in $(seq "$reports"); do echo "$line"; done)" "$(cat "$PROGRAM_OUT")"
expect_eq "standard error under ThreadSanitizer" "" "$(cat "$PROGRAM_ERR")"
