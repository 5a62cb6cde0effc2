// Runs the edge handler over a given number of whole windows, for counting
// its instructions per edge under callgrind (which, unlike a time, repeats
// exactly from run to run). The S/N input is always high.
#include <cstdlib>

#include "monitor/monitor.h"

int main(int argc, char** argv) {
    const long windows = argc > 1 ? std::atol(argv[1]) : 1000;
    for (long w = 0; w < windows; ++w) {
        for (int i = 0; i < rxsnWindowSize; ++i) {
            rxINT();
        }
        rxsnReset();
    }
    return rxsnCount(rxsnWindow.load()) == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
