// The system's GPIO chips and their lines: opened once at set-up, in
// /dev/gpiochipN order, with the label and line names that lookup.h goes by.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "backend.h"
#include "messages.h"

namespace chardev {

std::vector<Chip> chips;
int chipsDenied = 0;

void say(const std::string& message) {
    std::fprintf(stderr, "gpio: %s\n", message.c_str());
}

std::string describe(int pin) {
    const Pin& p = pins[pin];
    std::string text = "pin " + std::to_string(pin) + " (GPIO" + std::to_string(bcmForPin(pin));
    if (p.where.chip >= 0) {
        text += ", " + chips[static_cast<std::size_t>(p.where.chip)].path + " line " +
                std::to_string(p.where.offset);
    }
    return text + ")";
}

namespace {

std::string accessAdviceFor(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return accessAdvice(0, 0, "");
    }
    const struct group* g = getgrgid(st.st_gid);
    return accessAdvice(st.st_mode, st.st_gid,
                        g != nullptr ? g->gr_name : std::to_string(st.st_gid));
}

bool chipNumber(const char* name, unsigned& number) {
    if (std::strncmp(name, "gpiochip", 8) != 0 || name[8] == '\0') {
        return false;
    }
    number = 0;
    for (const char* c = name + 8; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') {
            return false;
        }
        number = number * 10 + static_cast<unsigned>(*c - '0');
    }
    return true;
}

std::vector<unsigned> chipNumbers() {
    std::vector<unsigned> numbers;
    if (DIR* dev = opendir("/dev")) {
        while (const dirent* entry = readdir(dev)) {
            unsigned number = 0;
            if (chipNumber(entry->d_name, number)) {
                numbers.push_back(number);
            }
        }
        closedir(dev);
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

// Reads the line names of the open chip `chip` into `lines`. Returns the
// errno of a kernel that does not know the call (before uAPI v2), else 0.
int readLineNames(const Chip& chip, ChipLines& lines) {
    for (unsigned offset = 0; offset < lines.names.size(); ++offset) {
        gpio_v2_line_info line{};
        line.offset = offset;
        if (ioctl(chip.fd, GPIO_V2_GET_LINEINFO_IOCTL, &line) == 0) {
            lines.names[offset] = line.name;
        } else if (errno == EINVAL || errno == ENOTTY) {
            return errno;
        }
    }
    return 0;
}

}  // namespace

bool openChips(std::vector<ChipLines>& chipLines) {
    const std::vector<unsigned> numbers = chipNumbers();
    if (numbers.empty()) {
        say("no GPIO chip: /dev has no gpiochip device (is this a board with GPIO, and is the "
            "kernel's GPIO character device enabled?)");
        return false;
    }
    std::string firstError;
    for (const unsigned number : numbers) {
        Chip chip;
        chip.path = "/dev/gpiochip" + std::to_string(number);
        chip.fd = open(chip.path.c_str(), O_RDWR | O_CLOEXEC);
        gpiochip_info info{};
        std::string error;
        if (chip.fd < 0 || ioctl(chip.fd, GPIO_GET_CHIPINFO_IOCTL, &info) != 0) {
            const int cause = errno;
            error = chip.path + ": " +
                    (cause == EACCES || cause == EPERM ? accessAdviceFor(chip.path)
                                                       : std::string(std::strerror(cause)));
        }
        ChipLines lines{info.label, std::vector<std::string>(info.lines)};
        if (error.empty() && readLineNames(chip, lines) != 0) {
            error = oldKernelMessage(chip.path);
        }
        if (!error.empty()) {
            if (firstError.empty()) {
                firstError = error;
            }
            if (chip.fd >= 0) {
                close(chip.fd);
            }
            ++chipsDenied;
            continue;
        }
        chip.label = info.label;
        chips.push_back(std::move(chip));
        chipLines.push_back(std::move(lines));
    }
    if (chips.empty()) {
        say(firstError);
        return false;
    }
    return true;
}

std::string requestError(int pin, int error) {
    const Pin& p = pins[pin];
    const Chip& chip = chips[static_cast<std::size_t>(p.where.chip)];
    if (error == EBUSY) {
        gpio_v2_line_info info{};
        info.offset = p.where.offset;
        if (ioctl(chip.fd, GPIO_V2_GET_LINEINFO_IOCTL, &info) == 0 && info.consumer[0] != '\0') {
            return "in use by '" + std::string(info.consumer) + "'";
        }
        return "in use by another program";
    }
    if (error == EACCES || error == EPERM) {
        return accessAdviceFor(chip.path);
    }
    return std::strerror(error);
}

}  // namespace chardev
