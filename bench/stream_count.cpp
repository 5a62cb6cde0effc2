// Follows an in-order edge-event stream (a falling clock edge and an S/N
// change in turn, read 256 at a time) through the character-device back
// end's stream, for counting its instructions per event under callgrind:
// the usual path, which every clock edge takes. The events are made
// outside followBatch(), which is all that bench/run counts.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "events.h"

namespace {

long handled = 0;

// follow() on one batch, kept out of line so that callgrind can count it alone.
[[gnu::noinline]] void followBatch(chardev::Stream& stream, const gpio_v2_line_event* batch,
                                   std::size_t count) {
    chardev::follow(
        stream, batch, count, 0, false, [](unsigned) { return 0; }, [] { ++handled; });
}

}  // namespace

int main(int argc, char** argv) {
    const long events = argc > 1 ? std::atol(argv[1]) : 1 << 20;
    auto stream = std::make_unique<chardev::Stream>();
    const unsigned offsets[] = {25, 23};
    const int levels[] = {1, 0};
    chardev::startStream(*stream, offsets, 2, 0, levels);
    static gpio_v2_line_event batch[256];
    std::uint32_t seqno = 0, lineSeqnos[2] = {0, 0};
    for (long done = 0; done < events; done += 256) {
        for (auto& e : batch) {
            e = {};
            const unsigned line = ++seqno % 2 == 0 ? 1 : 0;
            e.offset = offsets[line];
            e.id = line == 0 || lineSeqnos[1] % 2 == 0 ? GPIO_V2_LINE_EVENT_FALLING_EDGE
                                                       : GPIO_V2_LINE_EVENT_RISING_EDGE;
            e.seqno = seqno;
            e.line_seqno = ++lineSeqnos[line];
        }
        followBatch(*stream, batch, 256);
    }
    const bool clean = stream->lostEvents == 0 && stream->unseenEdges == 0;
    return clean && handled == events / 2 ? EXIT_SUCCESS : EXIT_FAILURE;
}
