// The character-device back end's logic that stands without a kernel: pin
// numbering, finding lines among chips, and following the edge-event stream.
// Its kernel calls are tested in the kernel leg, against gpio-sim.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "events.h"
#include "lookup.h"
#include "pins.h"

namespace {

TEST(ChardevPins, ProgramPinsAndTheWholeNumbering) {
    // The program's pins: S/N input 4, clock 6, outputs 2 and 3.
    EXPECT_EQ(chardev::bcmForPin(4), 23);
    EXPECT_EQ(chardev::bcmForPin(6), 25);
    EXPECT_EQ(chardev::bcmForPin(2), 27);
    EXPECT_EQ(chardev::bcmForPin(3), 22);
    std::set<int> seen;
    for (int pin = 0; pin < chardev::pinCount; ++pin) {
        seen.insert(chardev::bcmForPin(pin));
    }
    EXPECT_EQ(seen.size(), 32u) << "two pins on one GPIO";
    EXPECT_EQ(*seen.begin(), 0);
    EXPECT_EQ(*seen.rbegin(), 31);
    EXPECT_EQ(chardev::bcmForPin(-1), -1);
    EXPECT_EQ(chardev::bcmForPin(32), -1);
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
    };
    for (const Case& c : cases) {
        const chardev::LineLocation at = chardev::locateLine(c.chips, 25);
        EXPECT_EQ(at.chip, c.chip) << c.what;
        if (c.chip >= 0) {
            EXPECT_EQ(at.offset, c.offset) << c.what;
        }
    }
}

// Events of a request with the clock at offset 25 and the S/N input at
// offset 23, as the kernel numbers them.
constexpr unsigned clockOffset = 25;
constexpr unsigned inputOffset = 23;
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

TEST(ChardevStream, GivesEachClockEdgeTheInputLevelAtThatEdge) {
    struct Case {
        const char* what;
        int startLevel;  // the input's level when the request was made
        std::uint32_t startSeqno;
        std::vector<std::vector<gpio_v2_line_event>> batches;
        int present;  // the input's level now, should it be asked
        std::vector<int> samples;
        unsigned presentCalls;
        std::uint64_t lostEvents, lostClockEdges;
    };
    const auto C = [](std::uint32_t s, std::uint32_t l) { return event(clockOffset, fall, s, l); };
    const auto I = [](std::uint32_t id, std::uint32_t s, std::uint32_t l) {
        return event(inputOffset, id, s, l);
    };
    const std::vector<Case> cases = {
        // The input flips right after each clock edge; all of it is read
        // long after, in one batch.
        {"read late, in one batch",
         0,
         0,
         {{I(rise, 1, 1), C(2, 1), I(fall, 3, 2), C(4, 2), C(5, 3), I(rise, 6, 3)}},
         0,
         {1, 0, 0},
         0,
         0,
         0},
        {"level from the request until the first input event",
         1,
         0,
         {{C(1, 1), C(2, 2)}, {I(fall, 3, 1), C(4, 3)}},
         0,
         {1, 1, 0},
         0,
         0,
         0},
        // Events 3 to 6 dropped: the next input event says what the level
        // was before it.
        {"lost events, level from the next input event",
         0,
         0,
         {{I(rise, 1, 1), C(2, 1), C(7, 4), C(8, 5), I(fall, 9, 3)}},
         0,
         {1, 1, 1},
         0,
         4,
         2},
        {"lost events, no input event after: present level",
         0,
         0,
         {{C(1, 1), C(5, 3)}, {C(6, 4)}},
         1,
         {0, 1, 1},
         1,
         3,
         1},
        {"lost events at the very start", 0, 0, {{C(4, 2)}}, 1, {1}, 1, 3, 1},
        {"only input events lost",
         0,
         0,
         {{I(rise, 1, 1), C(2, 1), C(5, 2), I(rise, 6, 4)}},
         0,
         {1, 0},
         0,
         2,
         0},
        {"sequence numbers wrap",
         1,
         0xFFFFFFFEu,
         {{C(0xFFFFFFFFu, 1), I(fall, 0, 1), C(1, 2)}},
         0,
         {1, 0},
         0,
         0,
         0},
    };
    for (const Case& c : cases) {
        chardev::Stream stream;
        const unsigned offsets[] = {clockOffset, inputOffset};
        const int levels[] = {1, c.startLevel};
        chardev::startStream(stream, offsets, 2, 0, levels);
        stream.seqno = c.startSeqno;
        std::vector<int> samples;
        unsigned presentCalls = 0;
        for (const auto& batch : c.batches) {
            chardev::follow(
                stream, batch.data(), batch.size(),
                [&](unsigned offset) {
                    EXPECT_EQ(offset, inputOffset) << c.what;
                    ++presentCalls;
                    return c.present;
                },
                [&] {
                    EXPECT_EQ(stream.levels[0], 0) << c.what << ": the clock has just fallen";
                    samples.push_back(stream.levels[1]);
                });
        }
        EXPECT_EQ(samples, c.samples) << c.what;
        EXPECT_EQ(presentCalls, c.presentCalls) << c.what;
        EXPECT_EQ(stream.lostEvents, c.lostEvents) << c.what;
        EXPECT_EQ(stream.lostClockEdges, c.lostClockEdges) << c.what;
    }
}

}  // namespace
