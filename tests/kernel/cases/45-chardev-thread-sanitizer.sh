# The program built with ThreadSanitizer: the back end's event thread, which
# calls the handler, against the report cycle, with edges in bursts while the
# program is stopped and at 1500 edges a second after (free-running, a
# loaded host starved the slower instrumented program until its queue
# overflowed, which is not what this case is about). Exact reports, and
# nothing on standard error (where ThreadSanitizer tells a data race).
# time limit: 120
# guests: amd64
# needs: driver sorvalen_tsan
# shellcheck shell=dash
pi_layout
# shellcheck disable=SC2034 # the program that program_start starts
PROGRAM=$PAYLOAD/bin/sorvalen_tsan
line='% high: 42, BER: 1.6e-02, SN: 5.2'
program_start "$USER_GPIO"
check drive --high 425 --flip --edges 2500 --stop "$PROGRAM_PID" --burst 250 --wait-chip "$PI_CHIP" >/dev/null
check drive --high 425 --flip --edges 2000 --rate 1500 >/dev/null
program_wait_reports 4 60
program_stop
expect_eq "reports under ThreadSanitizer" "$(banner; printf '%s\n' "$line" "$line" "$line" "$line")" \
    "$(cat "$PROGRAM_OUT")"
expect_eq "standard error under ThreadSanitizer" "" "$(cat "$PROGRAM_ERR")"
