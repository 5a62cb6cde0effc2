// The edge-event stream: events taken into seqno order, gaps held and given
// up, repeated seqnos and the causes of losses accounted for (events.h says
// what the kernel guarantees and what follows from it).
#include "events.h"

#include <initializer_list>
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

// The cause kept for the event with `seqno` on `line`, or nullptr.
Cause* causeOf(Stream& stream, std::int64_t seqno, unsigned line) {
    for (std::size_t i = 0; i < stream.causeCount; ++i) {
        if (stream.causes[i].seqno == seqno && stream.causes[i].line == line) {
            return &stream.causes[i];
        }
    }
    return nullptr;
}

// Adds to the cause of the held event with `seqno` on `line`; false when
// there is no room for a new one, once those of events applied are cleared
// out (events.h).
bool addCause(Stream& stream, std::int64_t seqno, unsigned line, std::int64_t after,
              std::uint32_t drops, std::uint16_t repeats) {
    if (Cause* cause = causeOf(stream, seqno, line)) {
        cause->drops += drops;
        cause->repeats = static_cast<std::uint16_t>(cause->repeats + repeats);
        return true;
    }
    for (std::size_t i = stream.causeCount; stream.causeCount == causesMax && i-- > 0;) {
        if (stream.causes[i].seqno <= stream.seqno) {
            stream.causes[i] = stream.causes[--stream.causeCount];
        }
    }
    if (stream.causeCount == causesMax) {
        return false;
    }
    stream.causes[stream.causeCount++] = {seqno, after, drops, static_cast<std::uint16_t>(line),
                                          repeats};
    return true;
}

// Takes the seqnos of the gap between the last applied and `to` (the front
// event's) that the causes explain, at most `limit`: the seqnos repeats
// stand for (`repeats`), else the events the full queue dropped, those of
// the clock line counted in `clockEdges` if given. A gap lies between two
// events, and so does each cause: the gap lies within it or wholly outside
// it. Those ending at the gap are taken first: no later gap can take them.
std::uint64_t claim(Stream& stream, std::int64_t to, bool repeats, std::uint64_t limit,
                    std::uint64_t* clockEdges) {
    std::uint64_t taken = 0;
    for (const bool ending : {true, false}) {
        for (std::size_t i = 0; i < stream.causeCount && taken < limit; ++i) {
            Cause& cause = stream.causes[i];
            // Of an event applied, or not around the gap.
            if (cause.seqno <= stream.seqno || (cause.seqno == to) != ending ||
                cause.after > stream.seqno) {
                continue;
            }
            const std::uint64_t has = repeats ? cause.repeats : cause.drops;
            const std::uint64_t n = has < limit - taken ? has : limit - taken;
            if (repeats) {
                cause.repeats = static_cast<std::uint16_t>(has - n);
            } else {
                cause.drops = static_cast<std::uint32_t>(has - n);
            }
            taken += n;
            if (clockEdges != nullptr && cause.line == stream.clock) {
                *clockEdges += n;
            }
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
    stream.from[event.line] = levelOfEvent;
}

// A second event of a line with the seqno of its newest: the kernel's
// interrupt thread took the seqno of an edge that came while it ran for the
// one before, whose own seqno then never comes. The held event stands for
// both, at the later level; the missing seqno lies between the line's event
// before it and this one, and is not counted lost. When the first was
// applied already, this one sets the line's level from now on.
void takeRepeat(Stream& stream, const Held& event, std::uint32_t drops) {
    if (event.seqno <= stream.seqno) {
        stream.levels[event.line] = event.level;
        stream.from[event.line] = levelOfEvent;
        return;
    }
    for (std::size_t i = stream.count; i-- > 0;) {
        Held& earlier = stream.held[slot(stream, i)];
        if (earlier.line == event.line && earlier.seqno == event.seqno) {
            earlier.level = event.level;
            addCause(stream, event.seqno, event.line, stream.priorSeqnos[event.line], drops, 1);
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
    const std::uint64_t lost = gap - claim(stream, next, true, gap, nullptr);
    stream.droppedEvents += claim(stream, next, false, lost, &stream.lostClockEdges);
    stream.lostEvents += lost;
    stream.seqno = next - 1;
    for (unsigned i = 0; lost != 0 && i < stream.lines; ++i) {
        stream.from[i] = levelLost;
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
        stream.from[i] = levelRead;
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
        Held event{extend(stream, in.seqno), nowMs, static_cast<std::uint16_t>(line),
                   static_cast<std::uint8_t>(in.id == GPIO_V2_LINE_EVENT_RISING_EDGE ? 1 : 0)};
        const std::uint32_t drops = lineDrops(stream, line, in.line_seqno);
        if (stream.seen[line] && event.seqno == stream.seenSeqnos[line]) {
            takeRepeat(stream, event, drops);
            continue;
        }
        if (!stream.seen[line] || event.seqno > stream.seenSeqnos[line]) {
            stream.priorSeqnos[line] = stream.seen[line] ? stream.seenSeqnos[line] : never;
            stream.seenSeqnos[line] = event.seqno;
        }
        stream.seen[line] = true;
        if (event.seqno <= stream.seqno) {
            takeLate(stream, event);  // its drops lie in gaps given up already
            continue;
        }
        if (drops != 0) {
            addCause(stream, event.seqno, line, stream.priorSeqnos[line], drops, 0);
        }
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
    const bool clockEdge = event.line == stream.clock;
    // The clock watches falling edges only: its level always repeats. An
    // input's event with a cause kept stands for seqnos of its line that
    // went missing right before it, so its level may repeat.
    if (!clockEdge && event.level == stream.levels[event.line] &&
        stream.from[event.line] == levelOfEvent &&
        causeOf(stream, event.seqno, event.line) == nullptr) {
        ++stream.unseenEdges;
    }
    stream.levels[event.line] = event.level;
    stream.from[event.line] = levelOfEvent;
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
