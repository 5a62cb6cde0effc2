// The edge-event stream of one line request: the clock line and every other
// input line of the request. Following it gives, for each clock edge, the
// level each input had at that edge, however late the events are read and
// in whatever order the kernel queued them. Kept apart from the kernel calls
// so that it can be tested with made-up streams.
//
// What the kernel guarantees (drivers/gpio/gpiolib-cdev.c): an edge's hard
// interrupt handler takes the request-wide sequence number (seqno), in the
// order the edges happened; the line's interrupt thread, when it runs, reads
// the line's level (the event's id, for a line watching both edges), counts
// the line's own sequence number (line_seqno) and queues the event. So:
// - events are queued in the order the lines' threads ran, not in seqno
//   order: an event may come after one with a higher seqno, in the same
//   read or a later one;
// - one line's events are queued in seqno order, and their line_seqno has a
//   gap only where the full queue dropped its oldest events;
// - a line's interrupts that come before its thread runs merge into one
//   event with the last seqno: the earlier seqnos never come;
// - an interrupt that lands while the line's thread runs, after it cleared
//   the line's timestamp and before it read the seqno the hard handler left,
//   gives the event being queued the new edge's seqno, and the thread's next
//   run queues the new edge with that seqno again: two events of the line
//   with one seqno, and the first edge's own seqno never comes.
// Events are therefore applied in seqno order, extended to 64 bits so that
// a line may stay silent for any length of time. A missing seqno holds the
// events after it until it comes, until every line has shown an event past
// it (it can then never come), or until the earliest read of an event behind
// it is holdMs ago, once a read came back short (the kernel's queue may hold
// it otherwise); then it is counted lost and every line's level is taken up
// again from its next event. Gaps in a row are thus given up together: no
// event waits more than holdMs after it was read, however many gaps stand
// before it, unless reads keep coming back full or more than heldMax events
// come within one hold. A second event of a line with the same seqno stands
// for both, at its level, and the seqno that went missing with it is not
// counted lost.
//
// What the kernel never queued at all: on some boards two edges of a line
// that come close together give one interrupt (the BCM283x's edge detection
// loses one; a kernel that takes the interrupt only at its timer tick sees
// the second level only). For a line watching both edges that shows as an
// event at the level the line already had, with no seqno of the line
// missing before it: an edge the kernel never saw, counted `unseen`. The
// clock edges between the two events were sampled at the level held; which
// of them the line was at the other level for cannot be known.
#ifndef CHARDEV_EVENTS_H
#define CHARDEV_EVENTS_H

#include <linux/gpio.h>

#include <cstddef>
#include <cstdint>

namespace chardev {

constexpr unsigned maxLines = GPIO_V2_LINES_MAX;

// How long a missing event may hold the events read after it. An event is
// queued by its line's interrupt thread, which runs at real-time priority
// within microseconds of the edge on a sound system, and at the next timer
// tick (4 ms) at worst on the boards seen; 50 ms is ten times that, and
// still short against a report window (1000 edges take a second at 1 kHz).
constexpr std::int64_t holdMs = 50;

// Events held while an earlier one is missing: more than the kernel's
// largest queue (1024). A hold gives up for room only when more than this
// many events are read before it ends: above 81,920 events a second (some
// five times the most the kernel leg's benchmark saw delivered without a
// loss, docs/performance.md), or while reads keep coming back full. The
// seqno is then counted lost like any other.
constexpr std::size_t heldMax = 4096;

// One event as the stream keeps it.
struct Held {
    std::int64_t seqno;  // the kernel's seqno, extended to 64 bits
    std::int64_t since;  // ms: the earliest read of this event and of every one after it
    std::uint16_t line;  // index in the request
    std::uint8_t level;  // the line's level after the edge
};

// Seqnos missing for a known cause, kept with the event they came with, so
// that a cause explains only a gap it can lie in: that event's line's events
// the full queue dropped right before it (a gap in its line_seqno), and the
// seqnos that repeats of its seqno stand for. Both lie between its line's
// event before it and it.
struct Cause {
    std::int64_t seqno;     // of the event
    std::int64_t after;     // of its line's event before it
    std::uint32_t drops;    // not yet met in a gap
    std::uint16_t line;     // the event's
    std::uint16_t repeats;  // not yet met in a gap
};

// Causes kept at once: a cause matters only while its event is held (those
// of events applied are cleared out when room is needed), and comes only
// with a repeated seqno or a queue that overflowed. One that finds no room
// is not kept: its seqnos are then counted lost, and the levels taken up
// again, as for any other loss.
constexpr std::size_t causesMax = 256;

// Where a line's level in Stream::levels came from: not known after a loss,
// read from the line (at the start, or after a loss where no event of it was
// held), or from its own event, so that its next event must change it.
enum LevelFrom : std::uint8_t { levelLost, levelRead, levelOfEvent };

struct Stream {
    unsigned clock = 0;            // index of the clock line in the request
    unsigned lines = 0;            // lines in the request
    unsigned offsets[maxLines]{};  // chip offset of each line
    int levels[maxLines]{};        // level of each line as of the last event applied
    LevelFrom from[maxLines]{};    // where each line's level came from
    bool resync = false;           // some level is not known
    bool more = false;             // the last read was cut short: the kernel may hold more

    std::int64_t seqno = 0;                // last seqno applied or counted lost
    std::int64_t newest = 0;               // newest seqno read
    std::uint32_t lineSeqnos[maxLines]{};  // newest line_seqno read, per line
    bool seen[maxLines]{};                 // a line has had an event read
    std::int64_t seenSeqnos[maxLines]{};   // seqno of each line's newest event read
    std::int64_t priorSeqnos[maxLines]{};  // and of the one before it

    Held held[heldMax]{};       // events read and not yet applied, a ring in seqno order
    std::size_t first = 0;      // index of the oldest in the ring
    std::size_t count = 0;      // events in the ring
    Cause causes[causesMax]{};  // of held events (and some applied), in no order
    std::size_t causeCount = 0;

    std::uint64_t lostEvents = 0;      // seqnos that never came in time
    std::uint64_t droppedEvents = 0;   // of which dropped from the full queue
    std::uint64_t lostClockEdges = 0;  // of which on the clock line, and clock edges too late
    std::uint64_t lateEvents = 0;      // events that came after their seqno was counted lost
    std::uint64_t unseenEdges = 0;     // edges the kernel never saw (an input's level repeated)
    std::int64_t toldSeqno = -1;       // losses up to this seqno were told: late events
                                       // of them are not counted again
};

// Sets up a stream for a request whose lines are at `offsets` (the clock at
// index `clock`) and whose present levels are `levels`, before any event.
void startStream(Stream& stream, const unsigned* offsets, unsigned lines, unsigned clock,
                 const int* levels);

// Room for this many more events: read no more than that at a time.
std::size_t room(const Stream& stream);

// Takes `count` (at most room()) events read from the request at `nowMs`
// (a monotonic clock in ms) into the stream, in seqno order among those
// held. `more` says that the read was cut short (by room() or the batch),
// so that the kernel's queue may hold more: no hold is then given up for
// time, as the event awaited may be among them. An event of a line outside
// the request is ignored; one whose seqno was already counted lost (it came
// too late), or that repeats its line's last seqno once that was applied,
// only sets its line's level.
void take(Stream& stream, const gpio_v2_line_event* events, std::size_t count, std::int64_t nowMs,
          bool more);

// True when the front event can be applied at `nowMs`. A missing seqno
// before it that cannot come any more, or that holds an event read holdMs
// ago (once a read came back short), or whose wait would need more room
// than there is, is counted lost here, and every line's level is then taken
// up again from its next event.
bool frontReady(Stream& stream, std::int64_t nowMs);

// Milliseconds until the event in front stops waiting (0 when it waits only
// for the rest of the kernel's queue to be read), or -1 when none waits.
std::int64_t holdLeft(const Stream& stream, std::int64_t nowMs);

// Takes the front event off and sets its line's level; true for a clock edge.
// An input's event that leaves its level as it was, with nothing missing
// before it that could be its line's, is counted as an edge unseen.
bool popFront(Stream& stream);

// The next held event of line `line`, or nullptr.
const Held* nextOfLine(const Stream& stream, unsigned line);

// Applies the front event, which frontReady() found ready. Returns true for a
// clock edge, when `stream.levels` holds every line's level at that edge; a
// line whose level is not known gets it from its next held event (the level
// before a rising edge was low, before a falling one high) or, when it has
// none, from `present(line)`, its present level. A line has none only
// when no event of it came in the hold: it has not changed since.
template <class Present>
bool applyFront(Stream& stream, Present&& present) {
    if (!popFront(stream)) {
        return false;
    }
    // Only after a loss: the edge path otherwise looks at no other line.
    for (unsigned i = 0; stream.resync && i < stream.lines; ++i) {
        if (stream.from[i] == levelLost) {
            const Held* next = nextOfLine(stream, i);
            stream.levels[i] = next != nullptr ? 1 - next->level : present(i);
            // A present level may be that of an edge whose event is yet to come.
            stream.from[i] = levelRead;
        }
    }
    stream.resync = false;
    return true;
}

// Applies, in seqno order, every held event whose turn has come at `nowMs`,
// and calls `handler()` once for each clock edge, when `stream.levels` holds
// every line's level at that edge.
template <class Present, class Handler>
void advance(Stream& stream, std::int64_t nowMs, Present&& present, Handler&& handler) {
    while (frontReady(stream, nowMs)) {
        if (applyFront(stream, present)) {
            handler();
        }
    }
}

// take() and advance() together, for events just read.
template <class Present, class Handler>
void follow(Stream& stream, const gpio_v2_line_event* events, std::size_t count, std::int64_t nowMs,
            bool more, Present&& present, Handler&& handler) {
    take(stream, events, count, nowMs, more);
    advance(stream, nowMs, present, handler);
}

}  // namespace chardev

#endif
