// The guest programs' helpers on the character device: the chips' paths,
// their lines, counts given on the command line.
#include "chip.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace kernel_test {

Chip::Chip(const std::string& path) : path_(path), fd_(::open(path.c_str(), O_RDWR | O_CLOEXEC)) {}

Chip::~Chip() {
    if (fd_ >= 0) ::close(fd_);
}

unsigned Chip::lines() const {
    gpiochip_info info{};
    if (ioctl(fd_, GPIO_GET_CHIPINFO_IOCTL, &info) != 0) return 0;
    return info.lines;
}

std::string Chip::label() const {
    gpiochip_info info{};
    if (ioctl(fd_, GPIO_GET_CHIPINFO_IOCTL, &info) != 0) return {};
    return info.label;
}

std::optional<gpio_v2_line_info> Chip::line_info(unsigned offset) const {
    gpio_v2_line_info info{};
    info.offset = offset;
    if (ioctl(fd_, GPIO_V2_GET_LINEINFO_IOCTL, &info) != 0) return std::nullopt;
    return info;
}

std::optional<unsigned> Chip::find_line(const std::string& name) const {
    const unsigned n = lines();
    for (unsigned offset = 0; offset < n; ++offset) {
        auto info = line_info(offset);
        if (info && name == info->name) return offset;
    }
    return std::nullopt;
}

std::vector<std::string> chip_paths() {
    std::vector<std::string> paths;
    if (DIR* dir = opendir("/dev")) {
        while (dirent* entry = readdir(dir)) {
            if (std::strncmp(entry->d_name, "gpiochip", 8) == 0)
                paths.push_back(std::string("/dev/") + entry->d_name);
        }
        closedir(dir);
    }
    // Numeric order, so that gpiochip10 comes after gpiochip9.
    std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return paths;
}

std::optional<std::uint64_t> parse_count(const std::string& text) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value;
}

}  // namespace kernel_test
