// Checks the guest's instruction-counted clock: runs a loop of a known
// number of instructions and prints the thread's time on the processor over
// it (CLOCK_THREAD_CPUTIME_ID, the scheduler's count that schedstat gives).
// On qemu's -icount shift=0 with one CPU, one ns of it is one instruction,
// plus the kernel's own work while the loop runs (the timer tick).
//   insn_loop ITERATIONS
// prints "insns=N thread_ns=T ns_per_insn=R", N = 2 x ITERATIONS (each
// iteration is a decrement and a branch).
//   insn_loop --clock CALLS
// prints "clock_reads=CALLS thread_ns=T ns_per_read=R": the thread's time
// over CALLS reads of CLOCK_MONOTONIC, as the edge loop makes once a
// wake-up (a system call where the kernel gives no vDSO clock).
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

long long threadNs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

void loop(unsigned long iterations) {
#if defined(__x86_64__)
    asm volatile("1: dec %0\n\tjnz 1b" : "+r"(iterations) : : "cc");
#elif defined(__aarch64__)
    asm volatile("1: subs %0, %0, #1\n\tb.ne 1b" : "+r"(iterations) : : "cc");
#elif defined(__arm__)
    asm volatile("1: subs %0, %0, #1\n\tbne 1b" : "+r"(iterations) : : "cc");
#else
    (void)iterations;
#endif
}

// Whether loop() is a counted loop on this architecture.
#if defined(__x86_64__) || defined(__aarch64__) || defined(__arm__)
constexpr bool counted = true;
#else
constexpr bool counted = false;
#endif

}  // namespace

int clockReads(const char* count) {
    const unsigned long calls = std::strtoul(count, nullptr, 10);
    if (calls == 0) return 2;
    timespec now{};
    const long long start = threadNs();
    for (unsigned long i = 0; i < calls; ++i) clock_gettime(CLOCK_MONOTONIC, &now);
    const long long ns = threadNs() - start;
    std::printf("clock_reads=%lu thread_ns=%lld ns_per_read=%.1f\n", calls, ns,
                static_cast<double>(ns) / static_cast<double>(calls));
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 3 && std::string_view(argv[1]) == "--clock") return clockReads(argv[2]);
    if (argc != 2) {
        std::fputs("usage: insn_loop ITERATIONS | --clock CALLS\n", stderr);
        return 2;
    }
    const unsigned long iterations = std::strtoul(argv[1], nullptr, 10);
    if (iterations == 0) return 2;
    if (!counted) {
        std::fputs("insn_loop: no counted loop for this architecture\n", stderr);
        return 1;
    }
    const long long start = threadNs();
    loop(iterations);
    const long long ns = threadNs() - start;
    const double insns = 2.0 * static_cast<double>(iterations);
    std::printf("insns=%.0f thread_ns=%lld ns_per_insn=%.5f\n", insns, ns,
                static_cast<double>(ns) / insns);
    return 0;
}
