// The character-device back end's logic that stands without a kernel: pin
// numbering, finding lines among chips, and following the edge-event stream.
// Its kernel calls are tested in the kernel leg, against gpio-sim.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "counters.h"
#include "edges.h"
#include "events.h"
#include "lookup.h"
#include "losses.h"
#include "messages.h"
#include "monitor/metrics.h"
#include "pins.h"

namespace {

// The whole numbering against the design document's table of it, which users
// wire their boards by: every pin's GPIO, so that swapping any two fails.
TEST(ChardevPins, NumberingIsTheDocumentedTable) {
    std::ifstream readme(PIN_TABLE_FILE);
    ASSERT_TRUE(readme) << PIN_TABLE_FILE;
    std::vector<int> pinRow;
    std::map<int, int> table;
    for (std::string line; std::getline(readme, line);) {
        std::istringstream cells(line);
        std::string cell;
        std::getline(cells, cell, '|');  // before the first bar
        std::getline(cells, cell, '|');
        const bool isPins = cell == " pin ";
        if (!isPins && cell != " GPIO ") {
            continue;
        }
        std::vector<int> values;
        while (std::getline(cells, cell, '|')) {
            if (cell.find_first_not_of(' ') != std::string::npos) {
                values.push_back(std::stoi(cell));
            }
        }
        if (isPins) {
            pinRow = values;
            continue;
        }
        ASSERT_EQ(values.size(), pinRow.size()) << line;
        for (std::size_t i = 0; i < values.size(); ++i) {
            table[pinRow[i]] = values[i];
        }
    }
    ASSERT_EQ(table.size(), static_cast<std::size_t>(chardev::pinCount));
    for (const auto& [pin, gpio] : table) {
        EXPECT_EQ(chardev::bcmForPin(pin), gpio) << "pin " << pin;
    }
    EXPECT_EQ(chardev::bcmForPin(-1), -1);
    EXPECT_EQ(chardev::bcmForPin(chardev::pinCount), -1);
}

chardev::ChipLines chip(const std::string& label, unsigned lines, bool named) {
    chardev::ChipLines c{label, std::vector<std::string>(lines)};
    for (unsigned i = 0; named && i < lines; ++i) {
        c.names[i] = "GPIO" + std::to_string(i);
    }
    return c;
}

TEST(ChardevLookup, FindsLinesByNameElseByLabel) {
    auto oddNames = chip("gpio-brcmstb@107d508500", 32, false);
    oddNames.names[7] = "GPIO25";  // a name the header chip also has
    oddNames.names[8] = "GPIO2";   // a prefix of GPIO25: no match for it
    auto partly = chip("pinctrl-rp1", 54, true);
    partly.names[25] = "PCIE_WAKE";  // named lines, but not this one
    struct Case {
        const char* what;
        std::vector<chardev::ChipLines> chips;
        int chip;
        unsigned offset;
    };
    const std::vector<Case> cases = {
        {"Pi 5 before 6.6.45: header chip 4",
         {chip("a", 8, false), chip("b", 4, false), chip("c", 2, false), chip("d", 9, false),
          chip("pinctrl-rp1", 54, true)},
         4,
         25},
        {"header chip after another chip",
         {chip("not-the-header", 8, false), chip("pinctrl-rp1", 54, true)},
         1,
         25},
        {"a header chip's name wins over an earlier chip's",
         {oddNames, chip("pinctrl-bcm2711", 58, true)},
         1,
         25},
        {"the first chip that names it, any label", {chip("x", 4, false), oddNames}, 1, 7},
        {"no names: the header label's offset",
         {chip("x", 30, false), chip("pinctrl-bcm2835", 54, false)},
         1,
         25},
        {"names without this one: the header label's offset", {partly}, 0, 25},
        {"no names, no header label", {chip("x", 54, false)}, -1, 0},
        {"header label with too few lines", {chip("pinctrl-bcm2835", 20, false)}, -1, 0},
        {"no chips", {}, -1, 0},
        {"of two chips that name it, neither a header chip, the first",
         {chip("x", 4, false), oddNames, chip("y", 30, true)},
         1,
         7},
        {"a longer name is not the line: GPIO250, GPIO25_1",
         {[] {
             auto c = chip("pinctrl-rp1", 54, false);
             c.names[3] = "GPIO250";
             c.names[4] = "GPIO25_1";
             c.names[5] = "GPIO25";
             return c;
         }()},
         0,
         5},
        {"header label with just enough lines (26 for GPIO25)",
         {chip("pinctrl-bcm2835", 26, false)},
         0,
         25},
    };
    for (const Case& c : cases) {
        const chardev::LineLocation at = chardev::locateLine(c.chips, 25);
        EXPECT_EQ(at.chip, c.chip) << c.what;
        if (c.chip >= 0) {
            EXPECT_EQ(at.offset, c.offset) << c.what;
        }
    }
}

// Events of a request with the clock at offset 25 and S/N inputs at offsets
// 23 and 24, as the kernel numbers them: seqno across the request, in the
// order the edges happened; line_seqno per line, in the order its events
// were queued.
constexpr unsigned clockOffset = 25;
constexpr unsigned inputOffset = 23;
constexpr unsigned secondOffset = 24;
constexpr std::uint32_t rise = GPIO_V2_LINE_EVENT_RISING_EDGE;
constexpr std::uint32_t fall = GPIO_V2_LINE_EVENT_FALLING_EDGE;

gpio_v2_line_event event(unsigned offset, std::uint32_t id, std::uint32_t seqno,
                         std::uint32_t lineSeqno) {
    gpio_v2_line_event e{};
    e.offset = offset;
    e.id = id;
    e.seqno = seqno;
    e.line_seqno = lineSeqno;
    return e;
}
gpio_v2_line_event C(std::uint32_t seqno, std::uint32_t lineSeqno) {
    return event(clockOffset, fall, seqno, lineSeqno);
}
gpio_v2_line_event I(std::uint32_t id, std::uint32_t seqno, std::uint32_t lineSeqno) {
    return event(inputOffset, id, seqno, lineSeqno);
}
gpio_v2_line_event J(std::uint32_t id, std::uint32_t seqno, std::uint32_t lineSeqno) {
    return event(secondOffset, id, seqno, lineSeqno);
}

// What the edge thread does: at `now` (ms), the events of one read, or none
// when poll() ran out of time; `more` when the read was cut short.
struct Step {
    std::int64_t now;
    std::vector<gpio_v2_line_event> events;
    bool more = false;
};

struct StreamCase {
    std::string what;
    std::string start;  // each input's level when the request was made
    std::vector<Step> steps;
    // The inputs' levels at each clock edge, and "@ms" when it was handled
    // where that matters.
    std::vector<std::string> samples;
    std::uint64_t lost = 0, dropped = 0, late = 0, clockEdges = 0;
    unsigned presentCalls = 0;         // present levels asked for, all "1"
    std::uint32_t startSeqno = 0;      // the request's numbers so far
    std::uint32_t startLineSeqno = 0;  // each line's
    std::uint64_t unseen = 0;          // edges the kernel never saw
};

TEST(ChardevStream, AppliesEventsInTheOrderTheEdgesHappened) {
    const std::int64_t hold = chardev::holdMs;
    std::vector<StreamCase> cases = {
        {"read late, in one batch: the input flips right after each clock edge",
         "0",
         {{0, {I(rise, 1, 1), C(2, 1), I(fall, 3, 2), C(4, 2), C(5, 3), I(rise, 6, 3)}}},
         {"1", "0", "0"}},
        {"reordered within a read: each clock edge queued after the input's next change",
         "0",
         {{0, {I(rise, 2, 1), C(1, 1), I(fall, 4, 2), C(3, 2), I(rise, 6, 3), C(5, 3)}}},
         {"0", "1", "0"}},
        {"reordered across two reads: the input's change waits for the clock edge",
         "0",
         {{0, {I(rise, 2, 1)}}, {1, {C(1, 1)}}, {2, {C(3, 2)}}},
         {"0", "1"}},
        {"two inputs, reordered",
         "00",
         {{0, {J(rise, 1, 1), I(rise, 2, 1), C(3, 1), J(fall, 5, 2), C(4, 2)}},
          {1, {I(fall, 6, 2), C(7, 3)}}},
         {"11", "11", "00"}},
        {"the input's two changes merged into its later one: the level before it",
         "0",
         {{0, {C(2, 1), I(fall, 3, 1)}}},
         {"1"},
         1},
        {"two clock edges merged: a gap, no clock edge known lost",
         "0",
         {{0, {C(2, 1), I(rise, 3, 1), C(4, 2)}}},
         {"0", "1"},
         1},
        {"a gap of one, awaited, then the present level",
         "0",
         {{0, {C(2, 1)}}, {hold - 1, {}}, {hold, {}}},
         {"1"},
         1,
         0,
         0,
         0,
         1},
        {"what was awaited came too late: its level, and no further loss",
         "0",
         {{0, {C(2, 1)}}, {hold, {}}, {hold + 1, {I(fall, 1, 1)}}, {hold + 2, {C(3, 2)}}},
         {"1", "0"},
         1,
         0,
         1,
         0,
         1},
        {"a clock edge too late is lost, and counted once",
         "1",
         {{0, {I(fall, 2, 1)}}, {hold, {}}, {hold + 1, {C(1, 1)}}, {hold + 2, {C(3, 2)}}},
         {"0"},
         1,
         0,
         1,
         1},
        {"the full queue dropped its oldest events",
         "0",
         {{0, {C(1, 1), I(rise, 2, 1)}}, {1, {I(rise, 6, 3), C(7, 4)}}},
         {"0", "1"},
         3,
         3,
         0,
         2},
        {"after a loss the level comes from the last event held",
         "1",
         {{0, {C(3, 1), C(4, 2), I(rise, 5, 2)}}},
         {"0", "0"},
         2,
         1},
        {"a gap at the very start", "0", {{0, {C(4, 2)}}, {hold, {}}}, {"1"}, 3, 1, 0, 1, 1},
        {"seqno and line_seqno wrap, a clock edge dropped across the wrap",
         "1",
         {{0, {C(0xFFFFFFFFu, 0xFFFFFFFFu), I(fall, 0, 0xFFFFFFFFu), C(2, 1), I(rise, 3, 0)}}},
         {"1", "0"},
         1,
         1,
         0,
         1,
         0,
         0xFFFFFFFEu,
         0xFFFFFFFEu},
        {"several gaps held at once: each ends a hold after its event was read",
         "0",
         {{0, {C(2, 1), C(4, 2), C(6, 3)}}, {hold - 1, {}}, {hold, {}}},
         {"1@50", "1@50", "1@50"},
         3,
         0,
         0,
         0,
         3},
        {"gaps read apart end apart",
         "0",
         {{0, {C(2, 1)}}, {30, {C(4, 2)}}, {hold, {}}, {hold + 29, {}}, {hold + 30, {}}},
         {"1@50", "1@80"},
         2,
         0,
         0,
         0,
         2},
        {"a gap before events read earlier ends with their hold",
         "00",
         {{0, {C(4, 1)}}, {30, {I(rise, 2, 1)}}, {hold - 1, {}}, {hold, {}}},
         {"11@50"},
         2,
         0,
         0,
         0,
         2},
        {"no hold given up after a read cut short: the event may be next in the queue",
         "0",
         {{0, {C(2, 1)}}, {hold, {C(3, 2)}, true}, {hold, {I(rise, 1, 1)}}},
         {"1@50", "1@50"}},
        {"a repeated seqno: the line's later level, no loss",
         "0",
         {{0, {I(rise, 2, 1), I(fall, 2, 2), C(3, 1)}}},
         {"0@0"}},
        {"a repeated clock seqno: handled once",
         "0",
         {{0, {C(1, 1), C(1, 2), I(rise, 2, 1)}}, {hold, {}}},
         {"0"}},
        {"a repeated seqno after its first was applied: the line's level from then on",
         "0",
         {{0, {I(rise, 1, 1), C(2, 1)}}, {1, {I(fall, 1, 2)}}, {2, {C(3, 2)}}},
         {"1", "0"}},
        {"a repeated seqno stands for one missing seqno, not two",
         "0",
         {{0, {I(rise, 3, 1), I(fall, 3, 2), C(4, 1)}}},
         {"0"},
         1},
        {"a gap a repeated seqno explains: no loss, no level asked for",
         "00",
         {{0, {I(rise, 2, 1), I(fall, 2, 2), C(3, 1)}}, {hold, {}}},
         {"00@50"}},
        {"a repeated seqno explains the gap before it, not an earlier one",
         "00",
         {{0, {C(1, 1), I(rise, 3, 1), C(4, 2), I(fall, 6, 2), I(rise, 6, 3), C(7, 3)}},
          {hold, {}}},
         {"00", "11", "11"},
         1,
         0,
         0,
         0,
         1},
        {"two repeated seqnos of a line: each explains one gap",
         "00",
         {{0, {C(1, 1), I(rise, 3, 1), I(fall, 3, 2), I(rise, 5, 3), I(fall, 5, 4), C(6, 2)}},
          {hold, {}}},
         {"00", "00"}},
        {"repeats of a line in one hold: each explains only the gap it can lie in",
         "0",
         {{0, {C(1, 1), C(3, 2), C(3, 3), C(5, 4), C(7, 5), C(7, 6), I(fall, 8, 1)}}},
         {"0", "0", "1", "1"},
         1},
        {"a repeat read after its gap was given up explains no later gap",
         "0",
         {{0, {C(1, 1), I(rise, 3, 1), C(5, 2)}},
          {1, {C(5, 3), C(8, 4), C(8, 5), I(fall, 4, 2), I(fall, 9, 3)}}},
         {"0", "0", "1"},
         2},
        {"a repeat of the event just applied: the line's level from then on",
         "0",
         {{0, {C(1, 1), I(rise, 2, 1)}}, {1, {I(fall, 2, 2)}}, {2, {C(3, 2)}}},
         {"0", "0"}},
        {"an explained gap after a lost one: the levels are still taken up again",
         "00",
         {{0, {C(1, 1), J(rise, 3, 1), J(rise, 5, 2), J(rise, 5, 3), C(6, 2), I(fall, 7, 1)}}},
         {"00", "11"},
         1},
        {"an input's level repeated with nothing missing: an edge unseen, but not after "
         "a level read from the line after a loss",
         "0",
         {{0, {C(2, 1)}}, {hold, {}}, {hold + 1, {I(rise, 3, 1), C(4, 2), I(rise, 5, 2), C(6, 3)}}},
         {"1", "1", "1"},
         1,
         0,
         0,
         0,
         1,
         0,
         0,
         1},
        {"two lines with one seqno (never from the kernel): no loss",
         "0",
         {{0, {C(1, 1), I(rise, 1, 1)}}, {1, {C(2, 2)}}},
         {"0", "1"}},
        {"drops in two gaps: those that can lie only in the first taken there first",
         "0",
         {{0, {C(1, 1), I(rise, 4, 2), C(6, 4)}}, {hold, {}}},
         {"0", "1"},
         3,
         3,
         0,
         2,
         1},
        {"a drop seen after its gap passed does not add to a later one",
         "0",
         {{0, {I(rise, 1, 1), C(2, 1)}},
          {1, {C(4, 2)}},
          {1 + hold, {}},
          {2 + hold, {I(rise, 5, 3)}},
          {3 + hold, {C(8, 3), I(rise, 9, 5)}}},
         {"1", "1", "0"},
         3,
         1,
         0,
         0,
         1},
        {"a line silent for 2^31 seqnos: its change still awaited",
         "0",
         {{0, {I(rise, 1, 1), C(2, 1)}},
          {1, {C(0x40000002u, 2)}},
          {hold + 1, {C(0x80000003u, 3)}},
          {2 * hold + 1, {}},
          {2 * hold + 2, {C(0x80000005u, 4)}},
          {2 * hold + 3, {I(fall, 0x80000004u, 2)}}},
         {"1", "1", "1", "0"},
         0x7FFFFFFFu,
         0,
         0,
         0,
         2},
    };
    // More events than the ring holds, read while a seqno is missing and no
    // line can prove it gone: the ring, already wrapped, fills, gives the gap
    // up for room, and every sample after is right.
    {
        StreamCase full{"a hold given up for room", "01", {{0, {}}, {1, {}}, {2, {}}}, {}, 1};
        full.presentCalls = 1;  // the silent second input
        std::uint32_t inputSeqno = 0;
        std::uint32_t clockSeqno = 0;
        int input = 0;
        for (std::uint32_t seqno = 1; seqno <= 6000; ++seqno) {
            const bool clockEdge = seqno % 2 == 0;
            if (clockEdge) {
                full.samples.push_back(std::string(1, static_cast<char>('0' + input)) + "1");
            } else {
                input = 1 - input;
            }
            if (seqno == 101) {
                continue;  // merged: the input's level is its next event's
            }
            // The held events come in two reads, the second cut short by the room.
            full.steps[seqno < 101   ? 0
                       : seqno < 300 ? 1
                                     : 2]
                .events.push_back(clockEdge ? C(seqno, ++clockSeqno)
                                            : I(input != 0 ? rise : fall, seqno, ++inputSeqno));
        }
        cases.push_back(full);
    }
    for (const StreamCase& c : cases) {
        auto stream = std::make_unique<chardev::Stream>();
        const unsigned offsets[] = {clockOffset, inputOffset, secondOffset};
        std::vector<int> levels = {1};
        for (const char level : c.start) {
            levels.push_back(level - '0');
        }
        const auto lines = static_cast<unsigned>(levels.size());
        chardev::startStream(*stream, offsets, lines, 0, levels.data());
        stream->seqno = c.startSeqno;
        stream->newest = c.startSeqno;
        for (unsigned i = 0; i < lines; ++i) {
            stream->lineSeqnos[i] = c.startLineSeqno;
        }
        std::vector<std::string> samples;
        unsigned presentCalls = 0;
        for (const Step& step : c.steps) {
            // As the edge thread reads: no more than there is room for.
            std::size_t done = 0;
            do {
                const std::size_t n = std::min(step.events.size() - done, chardev::room(*stream));
                chardev::follow(
                    *stream, step.events.data() + done, n, step.now,
                    step.more || done + n < step.events.size(),
                    [&](unsigned) {
                        ++presentCalls;
                        return 1;
                    },
                    [&] {
                        EXPECT_EQ(stream->levels[0], 0) << c.what << ": the clock has just fallen";
                        std::string sample;
                        for (unsigned i = 1; i < lines; ++i) {
                            sample += static_cast<char>('0' + stream->levels[i]);
                        }
                        samples.push_back(sample + "@" + std::to_string(step.now));
                    });
                done += n;
            } while (done < step.events.size() && chardev::room(*stream) > 0);
            EXPECT_EQ(done, step.events.size()) << c.what << ": no room left to read";
        }
        // Times only where the case gives them.
        for (std::size_t i = 0; i < samples.size() && i < c.samples.size(); ++i) {
            if (c.samples[i].find('@') == std::string::npos) {
                samples[i].erase(samples[i].find('@'));
            }
        }
        EXPECT_EQ(samples, c.samples) << c.what;
        EXPECT_EQ(stream->count, 0u) << c.what << ": events still held";
        EXPECT_EQ(stream->lostEvents, c.lost) << c.what;
        EXPECT_EQ(stream->droppedEvents, c.dropped) << c.what;
        EXPECT_EQ(stream->lateEvents, c.late) << c.what;
        EXPECT_EQ(stream->lostClockEdges, c.clockEdges) << c.what;
        EXPECT_EQ(presentCalls, c.presentCalls) << c.what;
        EXPECT_EQ(stream->unseenEdges, c.unseen) << c.what;
    }
}

// How long the edge thread may sleep in poll() while an event waits: the
// rest of its hold; no limit when none waits. (When the hold ends is in the
// stream cases above.)
TEST(ChardevStream, HoldLeftIsTheRestOfTheHold) {
    auto stream = std::make_unique<chardev::Stream>();
    const unsigned offsets[] = {clockOffset, inputOffset};
    const int levels[] = {1, 0};
    chardev::startStream(*stream, offsets, 2, 0, levels);
    const auto present = [](unsigned) { return 0; };
    const auto handler = [] {};
    EXPECT_EQ(chardev::holdLeft(*stream, 0), -1);
    const gpio_v2_line_event waits[] = {C(2, 1)};
    chardev::follow(*stream, waits, 1, 100, false, present, handler);
    EXPECT_EQ(chardev::holdLeft(*stream, 100), chardev::holdMs);
    EXPECT_EQ(chardev::holdLeft(*stream, 100 + chardev::holdMs - 1), 1);
    chardev::take(*stream, nullptr, 0, 120, true);  // a read cut short: read on at once
    EXPECT_EQ(chardev::holdLeft(*stream, 120), 0);
    chardev::take(*stream, nullptr, 0, 120, false);
    EXPECT_EQ(chardev::holdLeft(*stream, 100 + chardev::holdMs + 5), 0);
    chardev::advance(*stream, 100 + chardev::holdMs, present, handler);
    EXPECT_EQ(chardev::holdLeft(*stream, 200), -1);
}

// Sustained merging, as on a single-core board whose interrupt thread runs
// at its 4 ms tick: 1000 clock edges a second, four to each event queued
// (three seqnos missing before each), the S/N line steady so that no gap
// can be proven gone; the reader wakes as the edge loop does. Every event
// is handled within one hold of its read, however many gaps stand before
// it, and the handler keeps up with the edges.
TEST(ChardevStream, SustainedMergingKeepsUp) {
    constexpr std::int64_t edgesMs = 20000;
    constexpr std::int64_t tickMs = 4;
    auto stream = std::make_unique<chardev::Stream>();
    const unsigned offsets[] = {clockOffset, inputOffset};
    const int levels[] = {1, 0};
    chardev::startStream(*stream, offsets, 2, 0, levels);
    std::deque<gpio_v2_line_event> queue;  // the kernel's, 1024 events at most
    std::vector<std::int64_t> readAt(edgesMs + 1);
    std::vector<gpio_v2_line_event> batch(chardev::eventBatch);
    std::uint32_t clockSeqno = 0;
    std::uint64_t handled = 0;
    std::int64_t wake = 0;
    std::int64_t afterRead = 0;  // most ms from an event's read to its handling
    std::int64_t behind = 0;     // and from its edge
    std::int64_t last = 0;       // when the last was handled
    std::size_t held = 0;
    for (std::int64_t t = 1; t <= edgesMs || !queue.empty() || stream->count > 0; ++t) {
        if (t <= edgesMs && t % tickMs == 0) {  // edge t has seqno t
            queue.push_back(C(static_cast<std::uint32_t>(t), ++clockSeqno));
            if (queue.size() > 1024) {
                queue.pop_front();
            }
        }
        if (queue.empty() && t < wake) {
            continue;
        }
        const std::size_t want = std::min(chardev::room(*stream), chardev::eventBatch);
        std::size_t got = 0;
        for (; got < want && !queue.empty(); ++got, queue.pop_front()) {
            batch[got] = queue.front();
            readAt[batch[got].seqno] = t;
        }
        chardev::follow(
            *stream, batch.data(), got, t, got == want, [](unsigned) { return 0; },
            [&] {
                ++handled;
                afterRead = std::max(afterRead, t - readAt[stream->seqno]);
                behind = std::max(behind, t - stream->seqno);
                last = t;
            });
        held = std::max(held, stream->count);
        const std::int64_t left = chardev::holdLeft(*stream, t);
        wake = t + (left < 0 ? chardev::aliveMs : left);
    }
    std::printf(
        "sustained merging, 1000 edges/s for %lld s: %llu events handled, at most %lld ms "
        "after their read and %lld ms after their edge; at most %zu held; the last "
        "handled %lld ms after the edges stopped\n",
        static_cast<long long>(edgesMs / 1000), static_cast<unsigned long long>(handled),
        static_cast<long long>(afterRead), static_cast<long long>(behind), held,
        static_cast<long long>(last - edgesMs));
    EXPECT_EQ(handled, static_cast<std::uint64_t>(edgesMs / tickMs));
    EXPECT_LE(afterRead, chardev::holdMs);
    EXPECT_EQ(stream->lostEvents, static_cast<std::uint64_t>(edgesMs - edgesMs / tickMs));
}

// The edge loop on a socket standing in for the request's file. What each
// poll() of the loop meets, in order; after the last, poll() fails with
// ECANCELED and the loop ends.
struct Poll {
    std::int64_t wait = -1;                  // ms until it returns; -1: its whole time limit
    std::vector<gpio_v2_line_event> events;  // queued before it returns
    int pollError = 0;                       // it fails with this
    int readError = 0;                       // the read after it fails with this
    // 1: the other end is shut for writing (a read gets 0); 2: a hang-up as
    // the kernel tells a chip gone (POLLHUP and POLLERR, nothing to read)
    int end = 0;
    bool spurious = false;  // it says there is something to read, and there is not
};

struct LoopRun {
    const std::vector<Poll>* polls = nullptr;
    std::size_t next = 0;
    const Poll* current = nullptr;
    int writer = -1;
    std::int64_t clock = 0;
    chardev::Stream* stream = nullptr;
    std::vector<int> timeouts;
    std::vector<std::string> samples, said;
    std::vector<std::size_t> batches;
};
LoopRun* loopRun = nullptr;

int scriptedPoll(pollfd* fds, nfds_t count, int timeoutMs) {
    LoopRun& run = *loopRun;
    run.timeouts.push_back(timeoutMs);
    if (run.next == run.polls->size()) {
        errno = ECANCELED;
        return -1;
    }
    const Poll& p = (*run.polls)[run.next++];
    run.current = &p;
    const auto bytes = static_cast<ssize_t>(p.events.size() * sizeof(gpio_v2_line_event));
    EXPECT_EQ(write(run.writer, p.events.data(), static_cast<std::size_t>(bytes)), bytes);
    if (p.end == 1) {
        shutdown(run.writer, SHUT_WR);
    }
    run.clock += p.wait >= 0 ? p.wait : timeoutMs;
    if (p.pollError != 0) {
        errno = p.pollError;
        return -1;
    }
    if (p.spurious || p.end == 2) {
        fds->revents = p.spurious ? POLLIN : POLLHUP | POLLERR;
        return 1;
    }
    return poll(fds, count, 0);
}

ssize_t scriptedRead(int fd, void* into, std::size_t bytes) {
    if (loopRun->current->readError != 0) {
        errno = loopRun->current->readError;
        return -1;
    }
    return read(fd, into, bytes);
}

struct LoopCase {
    std::string what;
    std::vector<Poll> polls;
    std::string result;                  // why the loop ended
    std::vector<int> timeouts;           // poll()'s time limits
    std::vector<std::string> samples{};  // the inputs' levels at each clock edge, "@ms"
    std::vector<std::string> said{};     // "ms: message"
    std::vector<std::size_t> batches{};
};

TEST(ChardevEdgeLoop, FollowsTheFileUntilItFails) {
    const std::string canceled =
        "waiting for edge events: " + std::string(std::strerror(ECANCELED));
    const std::string gone = "the GPIO chip went away";
    const auto told = [](int ms, std::uint64_t lost, std::uint64_t dropped, std::uint64_t late,
                         std::uint64_t clock, std::uint64_t unseen = 0) {
        return std::to_string(ms) + ": " + chardev::lossMessage(lost, dropped, late, clock, unseen);
    };
    std::vector<LoopCase> cases = {
        {"events, then a hang-up",
         {{0, {I(rise, 1, 1), C(2, 1), C(3, 2)}}, {0, {}, 0, 0, 2}},
         gone,
         {500, 500},
         {"10@0", "10@0"},
         {},
         {3}},
        {"the other end shut: a read gets nothing", {{5, {}, 0, 0, 1}}, gone, {500}},
        {"the chip gone under a read", {{0, {C(1, 1)}, 0, ENODEV}}, gone, {500}},
        {"a read fails",
         {{0, {C(1, 1)}, 0, EIO}},
         "reading edge events: " + std::string(std::strerror(EIO)),
         {500}},
        {"interrupted, or woken for nothing: tried again",
         {{0, {}, EINTR}, {0, {C(1, 1)}, 0, EINTR}, {0, {}}, {0, {}, 0, 0, 0, true}},
         canceled,
         {500, 500, 500, 500, 500},
         {"00@0"}},
        {"interrupted as the hold ends: the queue read before the hold is given up",
         {{0, {C(2, 1)}}, {-1, {I(rise, 1, 1)}, EINTR}, {0, {}}},
         canceled,
         {500, 50, 0, 500},
         {"10@50"}},
        {"a gap: poll() sleeps out the rest of the hold, the loss told a hold later",
         {{10, {C(2, 1)}}, {}, {}},
         canceled,
         {500, 50, 50, 500},
         {"11@60"},
         {told(110, 1, 0, 0, 0)}},
        {"losses told at most once a second, each line with its own",
         {{0, {C(2, 1)}}, {}, {}, {100, {C(4, 2)}}, {}, {}, {}},
         canceled,
         {500, 50, 50, 500, 50, 500, 350, 500},
         {"11@50", "11@250"},
         {told(100, 1, 0, 0, 0), told(1100, 1, 0, 0, 0)}},
        {"late within a hold of its loss: told with it; after its loss was told: not again",
         {{0, {C(3, 1)}},
          {},
          {10, {I(rise, 1, 1)}},
          {},
          {50, {J(rise, 2, 1)}},
          {0, {C(5, 2)}},
          {},
          {},
          {}},
         canceled,
         {500, 50, 50, 40, 500, 500, 50, 500, 400, 500},
         {"11@50", "11@200"},
         {told(100, 2, 0, 1, 0), told(1100, 1, 0, 0, 0)}},
        {"drops told with their own gap, not with a later report",
         {{0, {I(rise, 1, 1), C(2, 1)}},
          {10, {C(6, 3)}},
          {},
          {},
          {10, {I(rise, 7, 4), C(8, 4)}},
          {0, {C(10, 5)}},
          {},
          {},
          {}},
         canceled,
         {500, 500, 50, 50, 500, 500, 50, 500, 440, 500},
         {"10@0", "11@60", "11@120", "11@170"},
         {told(110, 3, 1, 0, 1), told(1110, 1, 0, 0, 0)}},
        {"an edge unseen, with nothing lost: told too",
         {{0, {I(rise, 1, 1), C(2, 1), I(rise, 3, 2), C(4, 2)}}, {}, {}},
         canceled,
         {500, 50, 500, 500},
         {"10@0", "10@0"},
         {told(50, 0, 0, 0, 0, 1)}},
    };
    {
        // The awaited event behind a full batch: read before the hold is given up.
        LoopCase full{"a read cut short: the rest of the queue read before the hold ends",
                      {{0, {C(2, 1)}}, {50, {}}, {0, {}}},
                      canceled,
                      {500, 50, 0, 500},
                      {"10@50"},
                      {},
                      {1, 256, 1}};
        for (std::uint32_t seqno = 3; seqno < 3 + chardev::eventBatch; ++seqno) {
            full.polls[1].events.push_back(C(seqno, seqno - 1));
            full.samples.emplace_back("10@50");
        }
        full.polls[1].events.push_back(I(rise, 1, 1));
        cases.push_back(full);
        // The ring fills behind a gap that no line can prove gone: the read
        // that fills it takes only the room left.
        LoopCase room{"reads no more than the room left", {{0, {C(2, 1)}}}, canceled, {}, {"01@0"}};
        int input = 0;
        std::uint32_t lineSeqnos[2] = {1, 0};
        for (std::uint32_t seqno = 3; seqno <= 5002; ++seqno) {
            if (seqno % 1000 == 3) {
                room.polls.push_back({0, {}});
            }
            if (seqno % 2 == 0) {
                room.polls.back().events.push_back(C(seqno, ++lineSeqnos[0]));
                room.samples.push_back(std::string{static_cast<char>('0' + input)} + "1@0");
            } else {
                input = 1 - input;
                room.polls.back().events.push_back(
                    I(input != 0 ? rise : fall, seqno, ++lineSeqnos[1]));
            }
        }
        room.polls.resize(room.polls.size() + 30);
        for (std::size_t i = room.polls.size() - 30; i < room.polls.size(); ++i) {
            room.polls[i].wait = 0;
        }
        cases.push_back(room);
    }
    for (const LoopCase& c : cases) {
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK);
        auto stream = std::make_unique<chardev::Stream>();
        const unsigned offsets[] = {clockOffset, inputOffset, secondOffset};
        const int levels[] = {1, 0, 0};
        chardev::startStream(*stream, offsets, 3, 0, levels);
        LoopRun run;
        run.polls = &c.polls;
        run.writer = ends[1];
        run.stream = stream.get();
        loopRun = &run;
        chardev::EdgeIo io;
        io.fd = ends[0];
        io.poll = scriptedPoll;
        io.read = scriptedRead;
        io.now = [] { return loopRun->clock; };
        io.present = [](unsigned) { return 1; };
        io.handler = [] {
            const chardev::Stream& s = *loopRun->stream;
            loopRun->samples.push_back(std::string{static_cast<char>('0' + s.levels[1]),
                                                   static_cast<char>('0' + s.levels[2])} +
                                       "@" + std::to_string(loopRun->clock));
        };
        io.say = [](const std::string& message) {
            loopRun->said.push_back(std::to_string(loopRun->clock) + ": " + message);
        };
        io.batchRead = [](std::size_t events) { loopRun->batches.push_back(events); };
        io.lossTold = chardev::addLosses;
        std::uint64_t before[4];
        rxsnEdgeLosses(&before[0], &before[1], &before[2], &before[3]);
        EXPECT_EQ(chardev::followEdges(*stream, io), c.result) << c.what;
        // The totals grow by what the loss lines said, cause by cause, and
        // the causes add up to the lost.
        std::vector<std::uint64_t> toldTotals(before, before + 4);
        for (const std::string& line : run.said) {
            unsigned long long lost = 0;
            unsigned long long part[4] = {};
            ASSERT_EQ(std::sscanf(line.c_str(),
                                  "%*d: lost %llu edge events: %llu dropped from the kernel's full "
                                  "queue, %llu too late to be taken in order, %llu merged %*[^;]; "
                                  "at least %*u were clock edges; levels taken up again from the "
                                  "next events; %llu unseen",
                                  &lost, &part[0], &part[1], &part[2], &part[3]),
                      5)
                << line;
            EXPECT_EQ(lost, part[0] + part[1] + part[2] + part[3]) << line;
            for (int i = 0; i < 4; ++i) {
                toldTotals[i] += part[i];
            }
        }
        std::uint64_t after[4];
        rxsnEdgeLosses(&after[0], &after[1], &after[2], &after[3]);
        EXPECT_EQ(std::vector<std::uint64_t>(after, after + 4), toldTotals) << c.what;
        if (!c.timeouts.empty()) {
            EXPECT_EQ(run.timeouts, c.timeouts) << c.what;
        }
        EXPECT_EQ(run.samples, c.samples) << c.what;
        EXPECT_EQ(run.said, c.said) << c.what;
        if (!c.batches.empty()) {
            EXPECT_EQ(run.batches, c.batches) << c.what;
        }
        loopRun = nullptr;
        close(ends[0]);
        close(ends[1]);
    }
}

// The loop's clock is CLOCK_MONOTONIC in milliseconds.
TEST(ChardevEdgeLoop, ClockIsMonotonicMilliseconds) {
    timespec before{};
    timespec after{};
    clock_gettime(CLOCK_MONOTONIC, &before);
    const std::int64_t ms = chardev::msNow();
    clock_gettime(CLOCK_MONOTONIC, &after);
    EXPECT_GE(ms, static_cast<std::int64_t>(before.tv_sec) * 1000 + before.tv_nsec / 1000000);
    EXPECT_LE(ms, static_cast<std::int64_t>(after.tv_sec) * 1000 + after.tv_nsec / 1000000);
}

// The benchmark's counters: batch sizes by powers of two, and the line a
// signal prints (SIGTERM then ends the process with status 0).
TEST(ChardevCounters, CountAndPrint) {
    static chardev::Counters counters;
    static std::uint64_t lostClock = 5;
    for (const std::size_t events : {1, 2, 3, 4, 7, 8, 255, 256, 256}) {
        chardev::countBatch(counters, events);
    }
    chardev::bump(counters.handlerCalls, 12);
    chardev::bump(counters.handlerCalls);
    chardev::setEventThreadId(4321);
    chardev::printCountersOnSignal(&counters, &lostClock);
    const std::string line =
        "gpio-counters: tid=4321 handler=13 batches=9 events=792 lost_clock=5 "
        "batch_hist=1,2,2,1,0,0,0,1,2\n";
    testing::internal::CaptureStderr();
    raise(SIGUSR1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), line);
    EXPECT_EXIT(raise(SIGTERM), testing::ExitedWithCode(0), "^gpio-counters: tid=4321 handler=13 ");
    signal(SIGUSR1, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

// What the back end tells: access advice names a group only where joining
// it helps; the loss line counts as merged what the other counts leave,
// never below none (a gap's drops are told by count, and a late event may
// have come for a seqno that its gap's count took as dropped).
TEST(ChardevMessages, SayWhatHelps) {
    struct Case {
        std::string message;
        const char* part;
    };
    const Case cases[] = {
        {chardev::accessAdvice(0020660, 997, "gpio"),
         "must be in the group 'gpio' (sudo usermod -aG gpio $USER"},
        {chardev::accessAdvice(0020600, 0, "root"), "only root may use the GPIO chips here"},
        {chardev::accessAdvice(0020660, 0, "root"), "only root may use the GPIO chips here"},
        {chardev::accessAdvice(0020640, 997, "gpio"), "only root may use the GPIO chips here"},
        {chardev::accessAdvice(0020620, 997, "gpio"), "only root may use the GPIO chips here"},
        {chardev::lossMessage(12, 3, 1, 2, 4),
         "lost 16 edge events: 3 dropped from the kernel's full queue, 1 too late to be taken "
         "in order, 8 merged by the kernel into a later edge of their line; at least 2 were "
         "clock edges; levels taken up again from the next events; 4 unseen by the kernel (an "
         "input's event at the level it had)"},
        {chardev::lossMessage(1, 0, 2, 0, 0), ", 0 merged"},
    };
    for (const Case& c : cases) {
        EXPECT_NE(c.message.find(c.part), std::string::npos) << c.message;
    }
}

}  // namespace

namespace {

// The loss totals read while the edge thread adds to them: always one set
// as of one loss line, its four totals in step, never a torn 64-bit half.
// The writer adds long enough for a reader on another core, or one that
// preempts it mid-write on the same core, to meet many writes.
TEST(ChardevLosses, ReadWhileAddedToInOneSet) {
    constexpr std::uint64_t step = (std::uint64_t{1} << 31) + 1;  // the high halves change often
    constexpr int adds = 300000;
    std::uint64_t base[4];
    rxsnEdgeLosses(&base[0], &base[1], &base[2], &base[3]);
    std::atomic<bool> done{false};
    std::thread writer([&done] {
        for (int i = 0; i < adds; ++i) {
            chardev::addLosses(step, 2 * step, 3 * step, 4 * step);
        }
        done = true;
    });
    std::uint64_t torn = 0;
    std::uint64_t seen[4] = {};
    while (!done) {
        rxsnEdgeLosses(&seen[0], &seen[1], &seen[2], &seen[3]);
        const std::uint64_t n = seen[0] - base[0];
        if (n % step != 0 || seen[1] - base[1] != 2 * n || seen[2] - base[2] != 3 * n ||
            seen[3] - base[3] != 4 * n) {
            ++torn;
        }
    }
    writer.join();
    rxsnEdgeLosses(&seen[0], &seen[1], &seen[2], &seen[3]);
    EXPECT_EQ(torn, 0u);
    EXPECT_EQ(seen[2] - base[2], 3 * step * adds);
}

// The monitor's metrics file takes the back end's totals, each cause as its own.
TEST(ChardevLosses, TheMetricsFileTakesThemCauseByCause) {
    const RxsnLosses before = rxsnLosses();
    chardev::addLosses(3, 2, 1, 4);
    const RxsnLosses after = rxsnLosses();
    EXPECT_EQ(after.dropped - before.dropped, 3u);
    EXPECT_EQ(after.late - before.late, 2u);
    EXPECT_EQ(after.merged - before.merged, 1u);
    EXPECT_EQ(after.unseen - before.unseen, 4u);
}

}  // namespace
