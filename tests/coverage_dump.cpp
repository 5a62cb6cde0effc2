// Linked into the program only in coverage builds. The program never exits
// of its own accord once it runs, so without this the counts of every run
// that the tests end with SIGTERM would be lost. The handler writes them out,
// then lets the signal end the process as it would have.
#include <csignal>

extern "C" void __gcov_dump();

namespace {

void dumpAndDie(int signal) {
    __gcov_dump();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

__attribute__((constructor)) void installDump() {
    std::signal(SIGTERM, dumpAndDie);
}

}  // namespace
