#include "events.h"

namespace chardev {

void startStream(Stream& stream, const unsigned* offsets, unsigned lines, unsigned clock,
                 const int* levels) {
    stream = Stream{};
    stream.lines = lines < maxLines ? lines : maxLines;
    stream.clock = clock;
    for (unsigned i = 0; i < stream.lines; ++i) {
        stream.offsets[i] = offsets[i];
        stream.levels[i] = levels[i] != 0 ? 1 : 0;
        stream.known[i] = true;
    }
}

int lineIndex(const Stream& stream, unsigned offset) {
    for (unsigned i = 0; i < stream.lines; ++i) {
        if (stream.offsets[i] == offset) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

}  // namespace chardev
