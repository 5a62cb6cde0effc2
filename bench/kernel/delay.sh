# shellcheck shell=dash disable=SC2153 # the runner puts the settings before this body
# The report delay benchmark's body (bench/kernel/delays puts the
# settings WINDOWS, PAUSE_MS, RATE, USERS and NEIGHBOURS before it): how long
# after a window's last clock edge the program prints the window's report,
# with and without CPU-bound neighbours at normal priority beside it.
#
# The driver (SCHED_FIFO 30) makes windows of exactly 1000 clock edges at
# RATE edges a second, the S/N input flipped after each edge, and pauses
# PAUSE_MS after each, printing the time of its 1000th edge; the program's
# standard output goes through a pipe to stamp (SCHED_FIFO 20, so that the neighbours
# do not delay the stamp), which prints the time each line arrives, on the
# same clock. A report's delay is its time less that of the last window end
# before it. The driver begins 2 s after the program has taken its lines, so
# that its first window is the first the program opens; a report that comes
# later than the pause is counted apart (its reset may fall within the next
# window, which is then not one of the driver's). The first report is left
# out all the same. One line "delay USER NEIGHBOURS MS"
# per report, and "delay-run USER NEIGHBOURS reports=R wrong=W
# beyond-pause=B" per run (W reports not exact, B later than the pause, whose
# windows may then not be the driver's).
pi_layout
gap=${DRIVER_GAP_US:-200}
line='% high: 73, BER: 6.0e-04, SN: 9.0'
for user in $USERS; do
    for neighbours in $NEIGHBOURS; do
        rm -f /tmp/stamped /tmp/driver.out /tmp/program.fifo
        mkfifo -m 666 /tmp/program.fifo
        # Opened by a shell of its own: an open of a pipe for reading waits
        # for its writer.
        spawn sh -c 'exec rt_prio 20 stamp </tmp/program.fifo >/tmp/stamped'
        if [ "$user" = root ]; then
            spawn "$PROGRAM" >/tmp/program.fifo
        else
            spawn as_user "$user" "$PROGRAM" >/tmp/program.fifo
        fi
        # The first window opens once the report cycle has begun: the
        # neighbours come after that, so that it opens before the first edge.
        check driver --sysfs "$PI_SYSFS" --clock 25 --sn 23 --edges 0 --wait-chip "$PI_CHIP" >/dev/null
        sleep 2
        n=0
        while [ "$n" -lt "$neighbours" ]; do
            spawn spin 100000
            n=$((n + 1))
        done
        check rt_prio 30 driver --sysfs "$PI_SYSFS" --clock 25 --sn 23 --high 737 --flip \
            --edges $(((WINDOWS + 1) * 1000)) --rate "$RATE" --steady --gap-us "$gap" --pause-every 1000 \
            --pause-ms "$PAUSE_MS" >/tmp/driver.out
        spawn_stop
        # Both in microseconds (each prints its milliseconds with three
        # decimals), in the order of time.
        {
            sed -n 's/^driver: edge [0-9]* at \([0-9]*\)\.\([0-9]*\) ms$/\1\2 end/p' /tmp/driver.out
            sed -n 's/^\([0-9]*\)\.\([0-9]*\) \(% high: .*\)$/\1\2 report \3/p' /tmp/stamped
        } | sort -n | awk -v who="$user $neighbours" -v line="$line" -v pause="$PAUSE_MS" '
            $2 == "end" { end = $1; next }
            {
                if (seen++ == 0) next
                text = $0
                sub(/^[0-9]+ report /, "", text)
                if (text != line) wrong++
                if ($1 - end > pause * 1000) beyond++
                printf "delay %s %.3f\n", who, ($1 - end) / 1000
            }
            END { printf "delay-run %s reports=%d wrong=%d beyond-pause=%d\n", who, seen - 1, wrong, beyond }'
    done
done
