# The program built with ThreadSanitizer: the back end's event thread, which
# calls the handler, against the report cycle, with edges in bursts while the
# program is stopped, then free-running. Exact reports, and nothing on
# standard error (where ThreadSanitizer tells a data race).
# time limit: 40
# guests: amd64
# needs: driver sorvalen_tsan
# shellcheck shell=dash
pi_layout
# shellcheck disable=SC2034 # the program that program_start starts
PROGRAM=$PAYLOAD/bin/sorvalen_tsan
line='% high: 42, BER: 1.6e-02, SN: 5.2'
program_start "$USER_GPIO"
check drive --high 425 --flip --windows 2 --stop "$PROGRAM_PID" --burst 250 --run-ms 200 \
    --wait-chip "$PI_CHIP" >/dev/null
check drive --high 425 --flip --windows 4 >/dev/null
program_stop
expect_reports "reports under ThreadSanitizer" "$line" 4
