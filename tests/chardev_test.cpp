// The character-device back end's logic that stands without a kernel: pin
// numbering, finding lines among chips, and following the edge-event stream.
// Its kernel calls are tested in the kernel leg, against gpio-sim.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "events.h"
#include "lookup.h"
#include "messages.h"
#include "pins.h"

namespace {

// The whole numbering against the README's statement of it, which users
// wire their boards by: every pin's GPIO, so that swapping any two fails.
TEST(ChardevPins, NumberingIsTheReadmesTable) {
    std::ifstream readme(README_FILE);
    ASSERT_TRUE(readme) << README_FILE;
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
// when poll() ran out of time.
struct Step {
    std::int64_t now;
    std::vector<gpio_v2_line_event> events;
};

struct StreamCase {
    const char* what;
    std::string start;  // each input's level when the request was made
    std::vector<Step> steps;
    std::vector<std::string> samples;  // the inputs' levels at each clock edge
    std::uint64_t lost = 0, dropped = 0, late = 0, clockEdges = 0;
    unsigned presentCalls = 0;         // present levels asked for, all "1"
    std::uint32_t startSeqno = 0;      // the request's numbers so far
    std::uint32_t startLineSeqno = 0;  // each line's
};

TEST(ChardevStream, AppliesEventsInTheOrderTheEdgesHappened) {
    const std::int64_t hold = chardev::holdMs;
    const std::vector<StreamCase> cases = {
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
    };
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
        for (unsigned i = 0; i < lines; ++i) {
            stream->lineSeqnos[i] = c.startLineSeqno;
        }
        std::vector<std::string> samples;
        unsigned presentCalls = 0;
        for (const Step& step : c.steps) {
            chardev::follow(
                *stream, step.events.data(), step.events.size(), step.now,
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
                    samples.push_back(sample);
                });
        }
        EXPECT_EQ(samples, c.samples) << c.what;
        EXPECT_EQ(stream->count, 0u) << c.what << ": events still held";
        EXPECT_EQ(stream->lostEvents, c.lost) << c.what;
        EXPECT_EQ(stream->droppedEvents, c.dropped) << c.what;
        EXPECT_EQ(stream->lateEvents, c.late) << c.what;
        EXPECT_EQ(stream->lostClockEdges, c.clockEdges) << c.what;
        EXPECT_EQ(presentCalls, c.presentCalls) << c.what;
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
    chardev::follow(*stream, waits, 1, 100, present, handler);
    EXPECT_EQ(chardev::holdLeft(*stream, 100), chardev::holdMs);
    EXPECT_EQ(chardev::holdLeft(*stream, 100 + chardev::holdMs - 1), 1);
    EXPECT_EQ(chardev::holdLeft(*stream, 100 + chardev::holdMs + 5), 0);
    chardev::advance(*stream, 100 + chardev::holdMs, present, handler);
    EXPECT_EQ(chardev::holdLeft(*stream, 200), -1);
}

// What the back end tells: access advice names a group only where joining
// it helps; the loss line counts as merged what the other counts leave,
// never below none (a late event may belong to a gap told before).
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
        {chardev::lossMessage(12, 3, 1, 2),
         "lost 12 edge events: 3 dropped from the kernel's full queue, 1 too late to be taken "
         "in order, 8 merged by the kernel into a later edge of their line; at least 2 were "
         "clock edges"},
        {chardev::lossMessage(1, 0, 2, 0), ", 0 merged"},
    };
    for (const Case& c : cases) {
        EXPECT_NE(c.message.find(c.part), std::string::npos) << c.message;
    }
}

}  // namespace
