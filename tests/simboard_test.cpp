// The simulated board's settings and the receiver signal it produces.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "board.h"

namespace {

std::optional<simboard::Config> parse(const std::map<std::string, std::string>& env,
                                      std::string& error) {
    return simboard::parseConfig(
        [&env](const char* name) -> const char* {
            const auto it = env.find(name);
            return it == env.end() ? nullptr : it->second.c_str();
        },
        error);
}

TEST(SimboardConfig, DefaultsAndGoodValues) {
    std::string error;
    const auto defaults = parse({}, error);
    ASSERT_TRUE(defaults);
    EXPECT_EQ(defaults->rate, 3000u);
    EXPECT_FALSE(defaults->permille);
    EXPECT_FALSE(defaults->edges || defaults->windows);
    EXPECT_EQ(defaults->fail, simboard::Fail::none);

    const auto set = parse({{"SIMBOARD_RATE", "max"},
                            {"SIMBOARD_HIGH", "57.5"},
                            {"SIMBOARD_EDGES", "12000"},
                            {"SIMBOARD_WINDOWS", "3"},
                            {"SIMBOARD_FAIL", "isr"},
                            {"SIMBOARD_TRACE", "1"}},
                           error);
    ASSERT_TRUE(set);
    EXPECT_EQ(set->rate, 0u);
    EXPECT_EQ(set->permille, 575u);
    EXPECT_EQ(set->edges, 12000u);
    EXPECT_EQ(set->windows, 3u);
    EXPECT_EQ(set->fail, simboard::Fail::isr);
    EXPECT_TRUE(set->trace);

    EXPECT_EQ(parse({{"SIMBOARD_HIGH", "100"}}, error)->permille, 1000u);
    EXPECT_EQ(parse({{"SIMBOARD_HIGH", "0"}}, error)->permille, 0u);
    EXPECT_FALSE(parse({{"SIMBOARD_HIGH", "sweep"}}, error)->permille);
    EXPECT_EQ(parse({{"SIMBOARD_RATE", "1"}}, error)->rate, 1u);
}

TEST(SimboardConfig, BadValuesAreRefusedWithTheirName) {
    const std::map<std::string, std::string> bad[] = {
        {{"SIMBOARD_RATE", ""}},    {{"SIMBOARD_RATE", "0"}},         {{"SIMBOARD_RATE", "fast"}},
        {{"SIMBOARD_RATE", "-5"}},  {{"SIMBOARD_RATE", "100000001"}}, {{"SIMBOARD_HIGH", "100.1"}},
        {{"SIMBOARD_HIGH", "101"}}, {{"SIMBOARD_HIGH", "57.25"}},     {{"SIMBOARD_HIGH", "57."}},
        {{"SIMBOARD_HIGH", ".5"}},  {{"SIMBOARD_HIGH", "5 7"}},       {{"SIMBOARD_EDGES", "1e6"}},
        {{"SIMBOARD_FAIL", "yes"}}, {{"SIMBOARD_TRACE", "on"}},       {{"SIMBOARD_WINDOWS", "-1"}},
    };
    for (const auto& env : bad) {
        std::string error;
        EXPECT_FALSE(parse(env, error)) << env.begin()->second;
        EXPECT_EQ(error.rfind(env.begin()->first + "='" + env.begin()->second + "'", 0), 0u)
            << error;
    }
}

// Any 1000 consecutive edges at a fixed share hold exactly that many high
// samples, wherever the window starts.
TEST(SimboardSignal, FixedShareIsExactInEveryWindow) {
    for (const unsigned permille : {0u, 1u, 399u, 575u, 999u, 1000u}) {
        for (const std::uint64_t start : {0ull, 1ull, 499ull, 123457ull}) {
            unsigned highs = 0;
            for (std::uint64_t e = start; e < start + 1000; ++e) {
                highs += static_cast<unsigned>(simboard::levelAt(permille, e));
            }
            EXPECT_EQ(highs, permille) << "from edge " << start;
        }
    }
}

TEST(SimboardSignal, SweepCoversTheTableUpAndDown) {
    const simboard::Config sweep;
    EXPECT_EQ(simboard::sharePermille(sweep, 0), 0u);
    EXPECT_EQ(simboard::sharePermille(sweep, 999), 0u);
    EXPECT_EQ(simboard::sharePermille(sweep, 1000), 10u);
    EXPECT_EQ(simboard::sharePermille(sweep, 100000), 1000u);
    EXPECT_EQ(simboard::sharePermille(sweep, 101000), 990u);
    EXPECT_EQ(simboard::sharePermille(sweep, 200000), 0u);
    simboard::Config fixed;
    fixed.permille = 420;
    EXPECT_EQ(simboard::sharePermille(fixed, 100000), 420u);
}

}  // namespace
