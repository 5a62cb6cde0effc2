// Tells what the kernel's GPIO character device (uAPI v2) says of the chips
// and their lines, for the kernel leg's cases on a board's own GPIO chips:
//   line_info            one line per chip: "chip PATH LABEL: N lines, NAMES"
//                        (the lines' names, comma-separated; "-" for none)
//   line_info CONSUMER   one line per line that CONSUMER holds:
//                        "PATH LABEL OFFSET NAME input|output [EDGES]", EDGES
//                        being edge-rising, edge-falling or edge-both
// Exit 2 on errors.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "chip.h"

namespace {

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "line_info: %s\n", message.c_str());
    std::exit(2);
}

std::string direction(const gpio_v2_line_info& info) {
    std::string text = (info.flags & GPIO_V2_LINE_FLAG_OUTPUT) != 0 ? "output" : "input";
    const bool rising = (info.flags & GPIO_V2_LINE_FLAG_EDGE_RISING) != 0;
    const bool falling = (info.flags & GPIO_V2_LINE_FLAG_EDGE_FALLING) != 0;
    if (rising && falling) return text + " edge-both";
    if (rising) return text + " edge-rising";
    if (falling) return text + " edge-falling";
    return text;
}

std::string name(const gpio_v2_line_info& info) {
    return info.name[0] != '\0' ? info.name : "-";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2) die("usage: line_info [CONSUMER]");
    const char* consumer = argc == 2 ? argv[1] : nullptr;
    for (const auto& path : kernel_test::chip_paths()) {
        const kernel_test::Chip chip(path);
        if (!chip.ok()) die("cannot open " + path + ": " + std::strerror(errno));
        const std::string label = chip.label();
        const unsigned count = chip.lines();
        std::string names;
        for (unsigned offset = 0; offset < count; ++offset) {
            const auto info = chip.line_info(offset);
            if (!info) die("cannot read line " + std::to_string(offset) + " of " + path);
            if (consumer == nullptr) {
                names += (offset > 0 ? "," : "") + name(*info);
            } else if ((info->flags & GPIO_V2_LINE_FLAG_USED) != 0 &&
                       std::strcmp(info->consumer, consumer) == 0) {
                std::printf("%s %s %u %s %s\n", path.c_str(), label.c_str(), offset,
                            name(*info).c_str(), direction(*info).c_str());
            }
        }
        if (consumer == nullptr) {
            std::printf("chip %s %s: %u lines, %s\n", path.c_str(), label.c_str(), count,
                        names.c_str());
        }
    }
    return 0;
}
