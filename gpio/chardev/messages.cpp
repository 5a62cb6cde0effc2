// The back end's texts on standard error: access advice, the loss line, the
// old-kernel message.
#include "messages.h"

namespace chardev {

std::string accessAdvice(unsigned mode, unsigned gid, const std::string& group) {
    constexpr unsigned groupReadWrite = 060;
    if (gid != 0 && (mode & groupReadWrite) == groupReadWrite) {
        return "permission denied: the user must be in the group '" + group +
               "' (sudo usermod -aG " + group + " $USER, then log in again)";
    }
    return "permission denied: only root may use the GPIO chips here; run as root, or give "
           "/dev/gpiochip* to a group with a udev rule (SUBSYSTEM==\"gpio\", GROUP=\"gpio\", "
           "MODE=\"0660\") and add the user to it";
}

std::uint64_t mergedEvents(std::uint64_t lost, std::uint64_t dropped, std::uint64_t late) {
    return lost > dropped + late ? lost - dropped - late : 0;
}

std::string lossMessage(std::uint64_t lost, std::uint64_t dropped, std::uint64_t late,
                        std::uint64_t clock, std::uint64_t unseen) {
    const std::uint64_t merged = mergedEvents(lost, dropped, late);
    return "lost " + std::to_string(lost + unseen) + " edge events: " + std::to_string(dropped) +
           " dropped from the kernel's full queue, " + std::to_string(late) +
           " too late to be taken in order, " + std::to_string(merged) +
           " merged by the kernel into a later edge of their line; at least " +
           std::to_string(clock) +
           " were clock edges; levels taken up again from the next events; " +
           std::to_string(unseen) + " unseen by the kernel (an input's event at the level it had)";
}

std::string oldKernelMessage(const std::string& path) {
    return path +
           ": the kernel lacks the GPIO character device's second interface (uAPI v2); "
           "Linux 5.10 or later is needed";
}

}  // namespace chardev
