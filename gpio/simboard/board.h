// The simulated board's settings and the receiver signals it produces. Kept
// apart from the library's entry points so that both can be tested without
// starting the board.
#ifndef SIMBOARD_BOARD_H
#define SIMBOARD_BOARD_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace simboard {

enum class Fail { none, setup, isr };

struct Config {
    // Clock edges per second; 0 means as fast as the board can.
    std::uint64_t rate = 3000;
    // Share of high samples on the S/N input in tenths of a per cent
    // (0..1000), or nothing for the slow sweep over the whole table.
    std::optional<unsigned> permille;
    // Clock edges to give before the clock stops; nothing for no end.
    std::optional<std::uint64_t> edges;
    // Windows of 1000 sampled handler calls to give the program before the
    // clock stops; nothing for no end.
    std::optional<std::uint64_t> windows;
    Fail fail = Fail::none;
    bool trace = false;
};

// Reads the settings from the environment through `getenv`. On a bad value
// returns nothing and puts a message for the user in `error`.
std::optional<Config> parseConfig(const std::function<const char*(const char*)>& getenv,
                                  std::string& error);

// Share of high samples, in tenths of a per cent, in force at clock edge
// `edge` (counted from 0). The sweep climbs from 0 to 100 per cent and back
// one per cent every 1000 edges.
unsigned sharePermille(const Config& config, std::uint64_t edge);

// Level of the S/N input at clock edge `edge` for a share of `permille`
// tenths of a per cent. High samples are spread evenly over a period of 1000
// edges, so any 1000 consecutive edges at a fixed share hold exactly
// `permille` high samples, wherever they start.
int levelAt(unsigned permille, std::uint64_t edge);

}  // namespace simboard

#endif
