#include "events.h"

namespace chardev {

namespace {

// Signed distance from seqno `from` to seqno `to`, as the kernel's 32-bit
// numbers wrap.
std::int32_t distance(std::uint32_t from, std::uint32_t to) {
    return static_cast<std::int32_t>(to - from);
}

// Where the i-th held event is in the ring.
std::size_t slot(const Stream& stream, std::size_t i) {
    return (stream.first + i) % heldMax;
}

const Held& at(const Stream& stream, std::size_t i) {
    return stream.held[slot(stream, i)];
}

// Counts the events of `line` that the full queue dropped before the one
// numbered `lineSeqno`, and takes that number as the line's last.
void countDropped(Stream& stream, unsigned line, std::uint32_t lineSeqno) {
    const std::int32_t gap = distance(stream.lineSeqnos[line], lineSeqno);
    if (gap <= 0) {
        return;
    }
    stream.lineSeqnos[line] = lineSeqno;
    stream.droppedEvents += static_cast<std::uint32_t>(gap) - 1u;
    if (line == stream.clock) {
        stream.lostClockEdges += static_cast<std::uint32_t>(gap) - 1u;
    }
}

// An event whose seqno was counted lost before it came: its line has no
// later event applied or held (a line's events come in seqno order), so its
// level is the line's level from now on. A clock edge that late is not
// handled: the edges after it were.
void takeLate(Stream& stream, const Held& event) {
    ++stream.lateEvents;
    countDropped(stream, event.line, event.lineSeqno);
    if (event.line == stream.clock) {
        ++stream.lostClockEdges;
        return;
    }
    stream.levels[event.line] = event.level;
    stream.known[event.line] = true;
}

// True when the seqno after the last applied can never come: every line
// has had an event past it read, and a line's events come in seqno order.
bool missingForGood(const Stream& stream) {
    const std::uint32_t missing = stream.seqno + 1u;
    for (unsigned i = 0; i < stream.lines; ++i) {
        if (!stream.seen[i] || distance(missing, stream.seenSeqnos[i]) <= 0) {
            return false;
        }
    }
    return true;
}

// Counts the seqnos missing before the front event lost; every line's
// level is then taken up again from its next event.
void skipGap(Stream& stream) {
    const std::uint32_t next = at(stream, 0).seqno;
    stream.lostEvents += next - stream.seqno - 1u;
    stream.seqno = next - 1u;
    for (unsigned i = 0; i < stream.lines; ++i) {
        stream.known[i] = false;
    }
    stream.resync = true;
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

void take(Stream& stream, const gpio_v2_line_event* events, std::size_t count) {
    for (std::size_t e = 0; e < count && stream.count < heldMax; ++e) {
        const gpio_v2_line_event& in = events[e];
        const int index = lineIndex(stream, in.offset);
        if (index < 0) {
            continue;
        }
        const Held event{
            in.seqno, in.line_seqno, static_cast<std::uint16_t>(index),
            static_cast<std::uint8_t>(in.id == GPIO_V2_LINE_EVENT_RISING_EDGE ? 1 : 0)};
        const auto line = static_cast<unsigned>(index);
        if (!stream.seen[line] || distance(stream.seenSeqnos[line], event.seqno) > 0) {
            stream.seenSeqnos[line] = event.seqno;
        }
        stream.seen[line] = true;
        if (distance(stream.seqno, event.seqno) <= 0) {
            takeLate(stream, event);
            continue;
        }
        // Insertion from the back: events mostly come in order.
        std::size_t i = stream.count;
        while (i > 0 && distance(at(stream, i - 1).seqno, event.seqno) < 0) {
            stream.held[slot(stream, i)] = at(stream, i - 1);
            --i;
        }
        stream.held[slot(stream, i)] = event;
        ++stream.count;
    }
}

bool frontReady(Stream& stream, std::int64_t nowMs) {
    if (stream.count == 0) {
        return false;
    }
    if (at(stream, 0).seqno == stream.seqno + 1u) {
        return true;  // nothing missing before it: the usual case
    }
    if (stream.holdSince < 0) {
        stream.holdSince = nowMs;
    }
    if (nowMs - stream.holdSince < holdMs && stream.count < heldMax && !missingForGood(stream)) {
        return false;
    }
    skipGap(stream);
    return true;
}

std::int64_t holdLeft(const Stream& stream, std::int64_t nowMs) {
    if (stream.count == 0 || stream.holdSince < 0) {
        return -1;
    }
    const std::int64_t left = stream.holdSince + holdMs - nowMs;
    return left > 0 ? left : 0;
}

bool popFront(Stream& stream) {
    const Held event = at(stream, 0);
    stream.first = (stream.first + 1) % heldMax;
    --stream.count;
    stream.holdSince = -1;
    stream.seqno = event.seqno;
    countDropped(stream, event.line, event.lineSeqno);
    stream.levels[event.line] = event.level;
    stream.known[event.line] = true;
    return event.line == stream.clock;
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
