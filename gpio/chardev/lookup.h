// Finding a Broadcom GPIO among the system's GPIO chips. Kept apart from the
// kernel calls so that the choice can be tested with any layout of chips.
#ifndef CHARDEV_LOOKUP_H
#define CHARDEV_LOOKUP_H

#include <string>
#include <vector>

namespace chardev {

// What the kernel tells of one chip: its label and the names of its lines
// (empty where a line has no name), in offset order.
struct ChipLines {
    std::string label;
    std::vector<std::string> names;
};

struct LineLocation {
    int chip = -1;  // index into the list of chips; -1 when not found
    unsigned offset = 0;
};

// True for the labels of the Raspberry Pi's own GPIO controllers, whose
// line offsets are the Broadcom GPIO numbers.
bool isHeaderLabel(const std::string& label);

// Finds Broadcom GPIO `bcm` among `chips` (in /dev/gpiochipN order):
// 1. the line named "GPIO<bcm>", on a chip with a header label if several
//    chips name one so, else on the first chip that does;
// 2. where no chip names it, line `bcm` of the first chip with a header label
//    that has that many lines.
// Chip numbers are never assumed: they differ between models and kernels.
LineLocation locateLine(const std::vector<ChipLines>& chips, int bcm);

}  // namespace chardev

#endif
