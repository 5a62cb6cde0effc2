// Real-time priorities for the kernel leg's cases (the guest's busybox has
// no chrt):
//   rt_prio PRIO PID          sets thread PID to SCHED_FIFO at PRIO
//   rt_prio PRIO COMMAND...   runs COMMAND at SCHED_FIFO PRIO
// Exit 2 when the priority cannot be set or the command cannot be run.
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "chip.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: rt_prio PRIO PID | rt_prio PRIO COMMAND...\n", stderr);
        return 2;
    }
    const auto priority = kernel_test::parse_count(argv[1]);
    const auto pid = kernel_test::parse_count(argv[2]);
    if (!priority || *priority < 1 || *priority > 99) {
        std::fprintf(stderr, "rt_prio: '%s' is not a priority from 1 to 99\n", argv[1]);
        return 2;
    }
    sched_param param{};
    param.sched_priority = static_cast<int>(*priority);
    const pid_t target = pid && argc == 3 ? static_cast<pid_t>(*pid) : 0;
    if (sched_setscheduler(target, SCHED_FIFO, &param) != 0) {
        std::fprintf(stderr, "rt_prio: cannot set priority %s for %s: %s\n", argv[1],
                     target != 0 ? argv[2] : "this process", std::strerror(errno));
        return 2;
    }
    if (target != 0) {
        return 0;
    }
    execvp(argv[2], argv + 2);
    std::fprintf(stderr, "rt_prio: cannot run %s: %s\n", argv[2], std::strerror(errno));
    return 2;
}
