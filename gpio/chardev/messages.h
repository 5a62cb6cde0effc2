// Texts the character-device back end tells on standard error, kept apart
// from the kernel calls so that what they say can be tested.
#ifndef CHARDEV_MESSAGES_H
#define CHARDEV_MESSAGES_H

#include <cstdint>
#include <string>

namespace chardev {

// What a user refused access to a chip can do, from the chip's mode bits
// and group (its id and name): join the group only where that group may read
// and write the chip and is not root's; else run as root, or give the chips
// to a group with a udev rule.
std::string accessAdvice(unsigned mode, unsigned gid, const std::string& group);

// Of `lost` events, those neither `dropped` nor `late`: merged by the
// kernel, never below none (a late event may have come for a seqno that its
// gap's count took as dropped).
std::uint64_t mergedEvents(std::uint64_t lost, std::uint64_t dropped, std::uint64_t late);

// Events lost since the last report, from the stream's counters' growth:
// `lost` seqnos that never came in time, of which `dropped` by the full
// queue and `late` that came after their turn; at least `clock` of them
// clock edges. Merged edges leave no trace of their line, so any of them may
// have been clock edges too. Then `unseen` edges of an input that the kernel
// never saw (no seqno), counted among the lost in front.
std::string lossMessage(std::uint64_t lost, std::uint64_t dropped, std::uint64_t late,
                        std::uint64_t clock, std::uint64_t unseen);

// Said when a chip has no uAPI v2 (Linux before 5.10).
std::string oldKernelMessage(const std::string& path);

}  // namespace chardev

#endif
