// The edge-event stream of one line request: the clock line and every other
// input line of the request, in the one order in which the kernel queued
// their edges. Following it gives, for each clock edge, the level each input
// had at that edge, however late the events are read. Kept apart from the
// kernel calls so that it can be tested with made-up streams.
#ifndef CHARDEV_EVENTS_H
#define CHARDEV_EVENTS_H

#include <linux/gpio.h>

#include <cstddef>
#include <cstdint>

namespace chardev {

constexpr unsigned maxLines = GPIO_V2_LINES_MAX;

struct Stream {
    unsigned clock = 0;                // index of the clock line in the request
    unsigned lines = 0;                // lines in the request
    unsigned offsets[maxLines]{};      // chip offset of each line
    int levels[maxLines]{};            // level of each line as of the last event
    bool known[maxLines]{};            // false after events were lost
    bool resync = false;               // some level is not known
    std::uint32_t seqno = 0;           // last request-wide sequence number seen
    std::uint32_t clockSeqno = 0;      // last sequence number of the clock line
    std::uint64_t lostEvents = 0;      // events the kernel dropped
    std::uint64_t lostClockEdges = 0;  // of which on the clock line
};

// Sets up a stream for a request whose lines are at `offsets` (the clock at
// index `clock`) and whose present levels are `levels`, before any event.
void startStream(Stream& stream, const unsigned* offsets, unsigned lines, unsigned clock,
                 const int* levels);

// Index of the line at chip offset `offset` in the request, or -1.
int lineIndex(const Stream& stream, unsigned offset);

// Follows `count` events read from the request, in order, and calls
// `handler()` once for each clock event, when `stream.levels` holds every
// line's level at that edge.
//
// The kernel numbers the request's events (seqno) and each line's events
// (line_seqno); a gap means that events were dropped: its queue was full, or
// a line's interrupts came faster than its handler thread ran, which merges
// them into one event (seqno counts interrupts, line_seqno events queued).
// The levels are then unknown until the line's next event; a clock edge
// before that takes a line's level from the next event of the line in this
// batch (the level before a rising edge was low, before a falling one high)
// or, failing that, from `present(offset)`, the line's present level.
template <class Present, class Handler>
void follow(Stream& stream, const gpio_v2_line_event* events, std::size_t count, Present&& present,
            Handler&& handler) {
    for (std::size_t e = 0; e < count; ++e) {
        const gpio_v2_line_event& event = events[e];
        const std::uint32_t lost = event.seqno - stream.seqno - 1u;  // wraps as the kernel's does
        stream.seqno = event.seqno;
        if (lost != 0) {
            stream.lostEvents += lost;
            for (unsigned i = 0; i < stream.lines; ++i) {
                stream.known[i] = false;
            }
            stream.resync = true;
        }
        const int index = lineIndex(stream, event.offset);
        if (index < 0) {
            continue;
        }
        const auto line = static_cast<unsigned>(index);
        stream.levels[line] = event.id == GPIO_V2_LINE_EVENT_RISING_EDGE ? 1 : 0;
        stream.known[line] = true;
        if (line != stream.clock) {
            continue;
        }
        stream.lostClockEdges += event.line_seqno - stream.clockSeqno - 1u;
        stream.clockSeqno = event.line_seqno;
        // Only after a loss: the edge path otherwise looks at no other line.
        for (unsigned i = 0; stream.resync && i < stream.lines; ++i) {
            if (stream.known[i]) {
                continue;
            }
            std::size_t next = e + 1;
            while (next < count && events[next].offset != stream.offsets[i]) {
                ++next;
            }
            stream.levels[i] = next < count
                                   ? (events[next].id == GPIO_V2_LINE_EVENT_RISING_EDGE ? 0 : 1)
                                   : present(stream.offsets[i]);
            stream.known[i] = true;
        }
        stream.resync = false;
        handler();
    }
}

}  // namespace chardev

#endif
