// The edge events lost since the program started, as the loss lines on
// standard error told them, kept for the report cycle's metrics file. The
// edge thread adds each line's figures; the report cycle reads the totals
// through rxsnEdgeLosses(), which the monitor finds only where this back end
// is linked.
#ifndef CHARDEV_LOSSES_H
#define CHARDEV_LOSSES_H

#include <cstdint>

namespace chardev {

// Adds one loss line's figures to the totals. Called by one thread only (the
// edge thread); it never waits and takes no lock.
void addLosses(std::uint64_t dropped, std::uint64_t late, std::uint64_t merged,
               std::uint64_t unseen);

}  // namespace chardev

// The totals, read from any thread: each a consistent set, as of one loss line.
extern "C" void rxsnEdgeLosses(std::uint64_t* dropped, std::uint64_t* late, std::uint64_t* merged,
                               std::uint64_t* unseen);

#endif
