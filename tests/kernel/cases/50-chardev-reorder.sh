# The kernel queues a request's events in the order the lines' interrupt
# threads run, not in the order the edges happened. Here the clock line's
# thread runs below the driver and the S/N line's above it, so that the S/N
# change right after each clock edge is queued before that edge. A raw
# reader shows the numbers stepping back; the program, as root (its edge
# thread reads before the clock's thread has queued the edge) and as a user
# in the chip's group, still reports every window exactly and tells no
# event lost.
# time limit: 60
# guests: amd64
# needs: driver edge_watch rt_prio realtime
# shellcheck shell=dash

# reorder CONSUMER: the clock's interrupt thread of CONSUMER's request at
# real-time priority 30, the S/N line's left at the kernel's 50; the driver
# then runs at 45, between them.
reorder() {
    local thread
    thread=$(irq_thread "$1" 25)
    check rt_prio 30 "$thread"
}

pi_layout
sim_pull "$PI_SYSFS" 25 up
spawn edge_watch --edges 1000 --high 737 --order 1 --timeout 20 >/tmp/watch.out 2>&1
wait_for_text /tmp/watch.out "chip $PI_CHIP"
reorder edge_watch
check drive --rt 45 --high 737 --flip --rate 500 --steady --edges 1200 --wait-chip "$PI_CHIP"
# Its status is not what this is about (the kernel merges some of the clock
# edges, so it may miss its count): the order it saw them in is.
reap "$SPAWNED_PID"
cat /tmp/watch.out
backward=$(sed -n 's/.* backward=\([0-9]*\)$/\1/p' /tmp/watch.out)
[ "${backward:-0}" -ge 500 ] || fail "the raw reader saw ${backward:-no} events out of order, not one in two edges"

for user in root "$USER_GPIO"; do
    program_start "$user"
    check drive --high 737 --flip --rate 500 --steady --edges 1 --wait-chip "$PI_CHIP"
    reorder sorvalen
    check drive --rt 45 --high 737 --flip --rate 500 --steady --windows 1
    program_stop
    expect_reports "report as $user, events out of order" '% high: 73, BER: 6.0e-04, SN: 9.0' 1
done
