// Finding a Broadcom GPIO among the system's chips, by line name or on the
// chip with a header label.
#include "lookup.h"

namespace chardev {

bool isHeaderLabel(const std::string& label) {
    return label == "pinctrl-bcm2835" || label == "pinctrl-bcm2711" || label == "pinctrl-rp1";
}

LineLocation locateLine(const std::vector<ChipLines>& chips, int bcm) {
    LineLocation byName;
    const std::string name = "GPIO" + std::to_string(bcm);
    for (std::size_t c = 0; c < chips.size(); ++c) {
        const auto& names = chips[c].names;
        for (std::size_t offset = 0; offset < names.size(); ++offset) {
            if (names[offset] != name) {
                continue;
            }
            if (isHeaderLabel(chips[c].label)) {
                return {static_cast<int>(c), static_cast<unsigned>(offset)};
            }
            if (byName.chip < 0) {
                byName = {static_cast<int>(c), static_cast<unsigned>(offset)};
            }
        }
    }
    if (byName.chip >= 0 || bcm < 0) {
        return byName;
    }
    for (std::size_t c = 0; c < chips.size(); ++c) {
        if (isHeaderLabel(chips[c].label) &&
            static_cast<std::size_t>(bcm) < chips[c].names.size()) {
            return {static_cast<int>(c), static_cast<unsigned>(bcm)};
        }
    }
    return {};
}

}  // namespace chardev
