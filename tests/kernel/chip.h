// Small helpers on the kernel's GPIO character device (uAPI v2) shared by
// the guest programs of the kernel test leg.
#pragma once

#include <linux/gpio.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kernel_test {

// An open /dev/gpiochipN; closes on destruction.
class Chip {
public:
    explicit Chip(const std::string& path);
    ~Chip();
    Chip(const Chip&) = delete;
    Chip& operator=(const Chip&) = delete;

    bool ok() const {
        return fd_ >= 0;
    }
    int fd() const {
        return fd_;
    }
    const std::string& path() const {
        return path_;
    }
    // Line count from GPIO_GET_CHIPINFO_IOCTL, 0 on error.
    unsigned lines() const;
    // The chip's label from GPIO_GET_CHIPINFO_IOCTL, empty on error.
    std::string label() const;
    std::optional<gpio_v2_line_info> line_info(unsigned offset) const;
    // Offset of the line with this name, if the chip has one.
    std::optional<unsigned> find_line(const std::string& name) const;

private:
    std::string path_;
    int fd_;
};

// /dev/gpiochip* in name order.
std::vector<std::string> chip_paths();

// A whole non-negative number from text, or nothing.
std::optional<std::uint64_t> parse_count(const std::string& text);

}  // namespace kernel_test
