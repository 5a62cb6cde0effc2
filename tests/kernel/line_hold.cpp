// Requests the line with a given name as an output driving a given value
// through the GPIO character device (uAPI v2), prints "held CHIP OFFSET" and
// keeps the line until it is killed.
//   line_hold NAME 0|1
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "chip.h"

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[2], "0") != 0 && std::strcmp(argv[2], "1") != 0)) {
        std::fputs("usage: line_hold NAME 0|1\n", stderr);
        return 2;
    }
    for (const auto& path : kernel_test::chip_paths()) {
        kernel_test::Chip chip(path);
        if (!chip.ok()) {
            std::fprintf(stderr, "line_hold: cannot open %s: %s\n", path.c_str(),
                         std::strerror(errno));
            return 2;
        }
        auto offset = chip.find_line(argv[1]);
        if (!offset) continue;
        gpio_v2_line_request request{};
        request.offsets[0] = *offset;
        request.num_lines = 1;
        std::strncpy(request.consumer, "line_hold", sizeof request.consumer - 1);
        request.config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
        request.config.num_attrs = 1;
        request.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
        request.config.attrs[0].attr.values = argv[2][0] == '1' ? 1 : 0;
        request.config.attrs[0].mask = 1;
        if (ioctl(chip.fd(), GPIO_V2_GET_LINE_IOCTL, &request) != 0) {
            std::fprintf(stderr, "line_hold: cannot request %s on %s: %s\n", argv[1], path.c_str(),
                         std::strerror(errno));
            return 2;
        }
        std::printf("held %s %u\n", path.c_str(), *offset);
        std::fflush(stdout);
        for (;;) pause();
    }
    std::fprintf(stderr, "line_hold: no line named %s\n", argv[1]);
    return 2;
}
