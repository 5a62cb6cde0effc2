// The edge-event stream: events taken into seqno order, gaps held and given
// up, repeated seqnos and the causes of losses accounted for (events.h says
// what the kernel guarantees and what follows from it).
#include "events.h"

#include <limits>

namespace chardev {

namespace {

// Before a line's first event: below every seqno.
constexpr std::int64_t never = std::numeric_limits<std::int64_t>::min() / 2;

// The kernel's 32-bit `seqno` as a 64-bit one: the nearest to the newest
// seqno read. An event is read within 2^31 seqnos of that unless the reader
// stopped while the kernel's full queue dropped 2^31 events.
std::int64_t extend(Stream& stream, std::uint32_t seqno) {
    const std::int64_t extended =
        stream.newest +
        static_cast<std::int32_t>(seqno - static_cast<std::uint32_t>(stream.newest));
    stream.newest = extended > stream.newest ? extended : stream.newest;
    return extended;
}

// Where the i-th held event is in the ring.
std::size_t slot(const Stream& stream, std::size_t i) {
    return (stream.first + i) % heldMax;
}

const Held& at(const Stream& stream, std::size_t i) {
    return stream.held[slot(stream, i)];
}

// Takes the seqnos of the gap before the front event that the held events'
// `cause` (drops or repeats) explain, at most `limit`, counting those of the
// clock line in `clockEdges` if given. A cause lies between its event's line's
// event before it and that event, and so does the gap, or wholly outside it:
// only a line's first held event can explain a gap. Those ending at the gap
// are taken first, then in seqno order: the nearer can lie in fewer gaps.
template <class Cause>
std::uint64_t claim(Stream& stream, Cause Held::*cause, std::uint64_t limit,
                    std::uint64_t* clockEdges) {
    std::uint64_t taken = 0;
    std::size_t left = stream.causes;  // events with a cause not yet passed
    for (std::size_t i = 0; left > 0 && taken < limit && i < stream.count; ++i) {
        Held& event = stream.held[slot(stream, i)];
        if (!event.explained) {
            continue;
        }
        --left;
        if (event.after > stream.seqno) {
            continue;
        }
        const std::uint64_t room = limit - taken;
        const std::uint64_t n = event.*cause < room ? event.*cause : room;
        event.*cause = static_cast<Cause>(event.*cause - n);
        taken += n;
        if (clockEdges != nullptr && event.line == stream.clock) {
            *clockEdges += n;
        }
    }
    return taken;
}

// Drops of an event's line since its line's event before it: a gap in the
// line's numbers is events the full queue dropped, counted when their seqnos
// are given up (so that a report tells them with their own gap).
std::uint32_t lineDrops(Stream& stream, unsigned line, std::uint32_t lineSeqno) {
    const auto gap = static_cast<std::int32_t>(lineSeqno - stream.lineSeqnos[line]);
    if (gap <= 0) {
        return 0;
    }
    stream.lineSeqnos[line] = lineSeqno;
    return static_cast<std::uint32_t>(gap - 1);
}

// An event whose seqno was counted lost before it came: its line has no
// later event applied or held (a line's events come in seqno order), so its
// level is the line's level from now on. A clock edge that late is not
// handled: the edges after it were. It is counted with the losses not yet
// told; one whose loss was told already is not told again.
void takeLate(Stream& stream, const Held& event) {
    if (event.seqno > stream.toldSeqno) {
        ++stream.lateEvents;
        if (event.line == stream.clock) {
            ++stream.lostClockEdges;
        }
    }
    if (event.line == stream.clock) {
        return;
    }
    stream.levels[event.line] = event.level;
    stream.known[event.line] = true;
    stream.firm[event.line] = true;
}

// A second event of a line with the seqno of its newest: the kernel's
// interrupt thread took the seqno of an edge that came while it ran for the
// one before, whose own seqno then never comes. The held event stands for
// both, at the later level; the missing seqno lies between the line's event
// before it and this one, and is not counted lost. When the first was
// applied already, this one sets the line's level from now on.
void takeRepeat(Stream& stream, const Held& event) {
    if (event.seqno <= stream.seqno) {
        stream.levels[event.line] = event.level;
        stream.known[event.line] = true;
        stream.firm[event.line] = true;
        return;
    }
    for (std::size_t i = stream.count; i-- > 0;) {
        Held& earlier = stream.held[slot(stream, i)];
        if (earlier.line == event.line && earlier.seqno == event.seqno) {
            stream.causes += earlier.explained ? 0 : 1;
            earlier.explained = true;
            earlier.level = event.level;
            earlier.drops += event.drops;
            earlier.repeats = static_cast<std::uint8_t>(earlier.repeats + (earlier.repeats < 255));
            break;
        }
    }
}

// True when the seqno after the last applied can never come: every line
// has had an event past it read, and a line's events come in seqno order.
bool missingForGood(const Stream& stream) {
    const std::int64_t missing = stream.seqno + 1;
    for (unsigned i = 0; i < stream.lines; ++i) {
        if (!stream.seen[i] || stream.seenSeqnos[i] <= missing) {
            return false;
        }
    }
    return true;
}

// Gives up the seqnos missing before the front event: those a repeated
// seqno stands for are not lost; of the others, those the full queue
// dropped are told so. After a loss every line's level is taken up again
// from its next event.
void skipGap(Stream& stream) {
    const std::int64_t next = at(stream, 0).seqno;
    const auto gap = static_cast<std::uint64_t>(next - stream.seqno - 1);
    const std::uint64_t lost = gap - claim(stream, &Held::repeats, gap, nullptr);
    stream.droppedEvents += claim(stream, &Held::drops, lost, &stream.lostClockEdges);
    stream.lostEvents += lost;
    stream.seqno = next - 1;
    for (unsigned i = 0; lost != 0 && i < stream.lines; ++i) {
        stream.known[i] = false;
    }
    stream.resync = stream.resync || lost != 0;
}

// Index of the line at chip offset `offset` in the request, or -1.
int lineIndex(const Stream& stream, unsigned offset) {
    for (unsigned i = 0; i < stream.lines; ++i) {
        if (stream.offsets[i] == offset) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

}  // namespace

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

std::size_t room(const Stream& stream) {
    return heldMax - stream.count;
}

void take(Stream& stream, const gpio_v2_line_event* events, std::size_t count, std::int64_t nowMs,
          bool more) {
    stream.more = more;
    for (std::size_t e = 0; e < count && stream.count < heldMax; ++e) {
        const gpio_v2_line_event& in = events[e];
        const int index = lineIndex(stream, in.offset);
        if (index < 0) {
            continue;
        }
        const auto line = static_cast<unsigned>(index);
        Held event{extend(stream, in.seqno),
                   nowMs,
                   stream.seen[line] ? stream.seenSeqnos[line] : never,
                   lineDrops(stream, line, in.line_seqno),
                   static_cast<std::uint8_t>(line),
                   static_cast<std::uint8_t>(in.id == GPIO_V2_LINE_EVENT_RISING_EDGE ? 1 : 0),
                   0,
                   false};
        event.explained = event.drops != 0;
        if (stream.seen[line] && event.seqno == stream.seenSeqnos[line]) {
            takeRepeat(stream, event);
            continue;
        }
        if (!stream.seen[line] || event.seqno > stream.seenSeqnos[line]) {
            stream.seenSeqnos[line] = event.seqno;
        }
        stream.seen[line] = true;
        if (event.seqno <= stream.seqno) {
            takeLate(stream, event);  // its causes lie in gaps given up already
            continue;
        }
        stream.causes += event.explained ? 1 : 0;
        // Insertion from the back: events mostly come in order. The events
        // after it were read no later, so its `since` is theirs.
        std::size_t i = stream.count;
        while (i > 0 && at(stream, i - 1).seqno > event.seqno) {
            stream.held[slot(stream, i)] = at(stream, i - 1);
            --i;
        }
        if (i < stream.count && at(stream, i + 1).since < event.since) {
            event.since = at(stream, i + 1).since;
        }
        stream.held[slot(stream, i)] = event;
        ++stream.count;
    }
}

bool frontReady(Stream& stream, std::int64_t nowMs) {
    if (stream.count == 0) {
        return false;
    }
    const Held& front = at(stream, 0);
    if (front.seqno <= stream.seqno + 1) {
        return true;  // nothing missing before it: the usual case
    }
    if (stream.count < heldMax && !missingForGood(stream) &&
        (stream.more || nowMs - front.since < holdMs)) {
        return false;
    }
    skipGap(stream);
    return true;
}

std::int64_t holdLeft(const Stream& stream, std::int64_t nowMs) {
    if (stream.count == 0) {
        return -1;
    }
    const std::int64_t left = at(stream, 0).since + holdMs - nowMs;
    return left > 0 && !stream.more ? left : 0;
}

bool popFront(Stream& stream) {
    const Held event = at(stream, 0);
    stream.first = (stream.first + 1) % heldMax;
    --stream.count;
    if (event.seqno > stream.seqno) {
        stream.seqno = event.seqno;
    }
    stream.causes -= event.explained ? 1 : 0;
    const bool clockEdge = event.line == stream.clock;
    // The clock watches falling edges only: its level always repeats.
    if (!clockEdge && event.level == stream.levels[event.line]) {
        const bool sure = stream.known[event.line] && stream.firm[event.line];
        stream.unseenEdges += sure && !event.explained ? 1 : 0;
    }
    stream.levels[event.line] = event.level;
    stream.known[event.line] = true;
    stream.firm[event.line] = true;
    return clockEdge;
}

const Held* nextOfLine(const Stream& stream, unsigned line) {
    for (std::size_t i = 0; i < stream.count; ++i) {
        if (at(stream, i).line == line) {
            return &at(stream, i);
        }
    }
    return nullptr;
}

}  // namespace chardev
