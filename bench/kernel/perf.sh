# shellcheck shell=dash
# Where the CPU goes while the program, as root, takes edges at a rate the
# guest's driver can barely hold: perf (Debian's linux-perf, on the host) in
# the kernel leg's guest, sampling every task on the one CPU. Not part of any
# leg; run it as a case of its own:
#   echo /usr/bin/perf >build-kernel/guest-programs/perf
#   mkdir -p /tmp/perf-case && cp bench/kernel/perf.sh /tmp/perf-case/10-perf.sh
#   tests/kernel/run --timeout 400 --cases /tmp/perf-case build-kernel
#   rm build-kernel/guest-programs/perf
# time limit: 300
# guests: amd64
# needs: perf driver rt_prio realtime
pi_layout
spawn "$PROGRAM" >"$PROGRAM_OUT" 2>"$PROGRAM_ERR"
PROGRAM_PID=$SPAWNED_PID
# shellcheck disable=SC2317 # called through wait_until
has_edge_thread() { [ "$(find "/proc/$PROGRAM_PID/task" -mindepth 1 -maxdepth 1 | wc -l)" -ge 2 ]; }
wait_until 10 "an edge thread in the program" has_edge_thread
switches=$(awk '$1 == "ctxt" { print $2 }' /proc/stat)
perf record -e cpu-clock -F 4000 -a -g -o /tmp/perf.data -- \
    rt_prio 30 driver --sysfs "$PI_SYSFS" --clock 25 --sn 23 --high 737 --edges 20000 --rate 6000 --steady 2>&1 |
    tail -n 3
echo "context switches: $(($(awk '$1 == "ctxt" { print $2 }' /proc/stat) - switches)) for 20000 clock edges"
perf report -i /tmp/perf.data --stdio --no-children --sort comm -g none 2>/dev/null | grep -v '^#' | grep -v '^$' | head -n 8
perf report -i /tmp/perf.data --stdio --no-children --sort comm,sym -g none 2>/dev/null | grep -v '^#' | grep -v '^$' |
    head -n 25
program_stop
exit 0
