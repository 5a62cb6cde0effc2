// The sampling window, the edge handler and the report cycle.
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <wiringPi.h>

#include "monitor.h"

std::atomic<std::uint32_t> rxsnWindow{0};

// The handler must never wait for a lock, so the word must be lock-free on
// every target. On ARMv6 (Pi 1, Zero) 32-bit atomics are ldrex/strex pairs,
// which GCC emits inline; and since every access below is relaxed, no
// barrier (the ARMv6 CP15 one) is emitted at all. A 16-bit atomic would need
// ldrexh/strexh, which plain ARMv6 lacks: another reason for one 32-bit word.
static_assert(std::atomic<std::uint32_t>::is_always_lock_free, "the window word must be lock-free");

namespace {

constexpr std::uint32_t countMax = 0xFFFFu;
constexpr std::uint32_t oneSample = 1u << 16;  // one high sample in the sum

}  // namespace

// Memory order: the count and the sum live in the one word, and the handler
// and the main loop exchange nothing else, so every access is relaxed. Atomic
// operations on a single object are totally ordered whatever the memory
// order, which is all the window logic relies on.
void rxINT() {
    std::uint32_t window = rxsnWindow.load(std::memory_order_relaxed);
    int level = -1;  // the S/N input is read at most once per edge
    std::uint32_t next;
    do {
        const std::uint32_t count = rxsnCount(window);
        if (count == countMax) {
            return;  // a long-unreported window stays complete
        }
        next = window + 1;
        if (count < rxsnWindowSize) {
            if (level < 0) {
                level = digitalRead(rxsnPinInput) != 0 ? 1 : 0;
            }
            next += static_cast<std::uint32_t>(level) * oneSample;
        }
        // Fails when the main loop reset the window since the load (or, with
        // ldrex/strex, spuriously); the edge then works on the value now
        // stored, so after a reset it goes into the new window.
    } while (!rxsnWindow.compare_exchange_weak(window, next, std::memory_order_relaxed,
                                               std::memory_order_relaxed));
}

void rxsnReset() {
    rxsnWindow.store(0, std::memory_order_relaxed);
}

namespace {

// Between two reads of the window the wait gives the processor this many
// pause hints. Every read pulls the window's cache line away from the core
// that runs the handler, so polling flat out makes each edge pay for a cache
// miss; pausing lets the handler run at close to its own speed. The wait
// stays a busy poll: on a 2-core x86 machine a pause takes about 25 ns, so
// completion is still seen within about 2 microseconds, while at a board's
// clock rates a window lasts tens of milliseconds. Edges that arrive
// meanwhile are counted and not sampled, so the report does not depend on
// how soon the wait notices.
constexpr int pollPauses = 64;

inline void pauseHint() {
    for (int i = 0; i < pollPauses; ++i) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__) || (defined(__ARM_ARCH) && __ARM_ARCH >= 7)
        __asm__ __volatile__("yield");
#endif
        // Plain ARMv6 has no hint: the wait reads the window back to back.
    }
}

}  // namespace

std::uint16_t rxsnAwait() {
    for (;;) {
        const std::uint32_t window = rxsnWindow.load(std::memory_order_relaxed);
        if (rxsnCount(window) >= rxsnWindowSize) {
            // The sum never changes while the count stands at the window size
            // or above, so this is the window's final sum.
            return rxsnSum(window);
        }
        pauseHint();
    }
}

// The wait polls the window without a pause in which the thread would give
// up the processor, so at normal priority it takes a whole core, and on a
// one-core board half of it from any other busy program. At the lowest
// priority of an ordinary thread (nice 19, weight 15 against a normal
// thread's 1024) it runs when nothing else is runnable and takes about 1.5 %
// from one that keeps busy; a thread at normal priority that wakes takes the
// processor from it at once. Edges are counted and sampled by the GPIO
// library's thread, which keeps its own priority, so on a busy board a report
// only comes later; edges between a window's end and the late reset are
// counted, not sampled, and no window mixes two.
//
// The idle scheduling class (weight 3) would take still less, but a report
// then waits five times as long for the processor: beside three busy
// programs, seconds after its window's end, where at nice 19 it came within
// a fifth of a second (docs/performance.md).
//
// The priority is set on this thread only (on Linux a thread's nice value is
// its own), and only once the handler is registered: a thread inherits its
// maker's nice value, and an unprivileged thread may lower its priority but
// never raise it again, so a library thread made after this would be stuck
// at it.
bool rxsnLowPriority() {
    return setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), rxsnNice) == 0;
}

void rxsnCycle() {
    // Refused, the wait runs on at the thread's present priority.
    rxsnLowPriority();
    rxsnReset();
    for (;;) {
        rxsnReport(rxsnAwait());
        rxsnReset();
    }
}
