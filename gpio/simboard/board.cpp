// Settings and signals of the simulated board.
#include "board.h"

#include <cstdlib>

namespace simboard {

namespace {

constexpr std::uint64_t rateLimit = 100000000;  // edges per second
constexpr std::uint64_t sweepStep = 1000;       // edges per step of the sweep

// A whole decimal number of at most 18 digits, nothing else.
std::optional<std::uint64_t> parseWhole(const std::string& text) {
    if (text.empty() || text.size() > 18) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

// A percentage 0..100 with at most one decimal, in tenths of a per cent.
std::optional<unsigned> parsePercent(const std::string& text) {
    const auto point = text.find('.');
    const std::string whole = text.substr(0, point);
    std::string tenth = point == std::string::npos ? "0" : text.substr(point + 1);
    if (tenth.size() != 1) {
        return std::nullopt;
    }
    const auto w = parseWhole(whole);
    const auto t = parseWhole(tenth);
    if (!w || !t || *w > 100) {
        return std::nullopt;
    }
    const std::uint64_t permille = *w * 10 + *t;
    if (permille > 1000) {
        return std::nullopt;
    }
    return static_cast<unsigned>(permille);
}

}  // namespace

std::optional<Config> parseConfig(const std::function<const char*(const char*)>& getenv,
                                  std::string& error) {
    Config config;
    const auto setting = [&getenv](const char* name) -> std::optional<std::string> {
        const char* value = getenv(name);
        if (value == nullptr) {
            return std::nullopt;
        }
        return std::string(value);
    };
    const auto bad = [&error](const char* name, const std::string& value, const char* expected) {
        error = std::string(name) + "='" + value + "' is not valid: expected " + expected;
        return std::nullopt;
    };

    if (const auto rate = setting("SIMBOARD_RATE")) {
        const auto value = parseWhole(*rate);
        if (*rate == "max") {
            config.rate = 0;
        } else if (value && *value >= 1 && *value <= rateLimit) {
            config.rate = *value;
        } else {
            return bad("SIMBOARD_RATE", *rate, "edges per second, 1 to 100000000, or 'max'");
        }
    }
    if (const auto high = setting("SIMBOARD_HIGH")) {
        if (*high != "sweep") {
            config.permille = parsePercent(*high);
            if (!config.permille) {
                return bad("SIMBOARD_HIGH", *high,
                           "a percentage 0 to 100 with at most one decimal, or 'sweep'");
            }
        }
    }
    if (const auto edges = setting("SIMBOARD_EDGES")) {
        config.edges = parseWhole(*edges);
        if (!config.edges) {
            return bad("SIMBOARD_EDGES", *edges, "a whole number of clock edges");
        }
    }
    if (const auto windows = setting("SIMBOARD_WINDOWS")) {
        config.windows = parseWhole(*windows);
        if (!config.windows) {
            return bad("SIMBOARD_WINDOWS", *windows, "a whole number of report windows");
        }
    }
    if (const auto fail = setting("SIMBOARD_FAIL")) {
        if (*fail == "setup") {
            config.fail = Fail::setup;
        } else if (*fail == "isr") {
            config.fail = Fail::isr;
        } else if (*fail != "none") {
            return bad("SIMBOARD_FAIL", *fail, "'setup', 'isr' or 'none'");
        }
    }
    if (const auto trace = setting("SIMBOARD_TRACE")) {
        if (*trace != "0" && *trace != "1") {
            return bad("SIMBOARD_TRACE", *trace, "0 or 1");
        }
        config.trace = *trace == "1";
    }
    return config;
}

unsigned sharePermille(const Config& config, std::uint64_t edge) {
    if (config.permille) {
        return *config.permille;
    }
    // Triangle: 0, 1, ..., 100, 99, ..., 1 per cent, then again.
    const auto step = static_cast<unsigned>((edge / sweepStep) % 200);
    return (step <= 100 ? step : 200 - step) * 10;
}

int levelAt(unsigned permille, std::uint64_t edge) {
    const std::uint64_t phase = edge % 1000;
    // High on the edges where the running share crosses a whole sample.
    return (phase + 1) * permille / 1000 != phase * permille / 1000 ? 1 : 0;
}

}  // namespace simboard
