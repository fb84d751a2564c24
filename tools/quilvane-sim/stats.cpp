#include "stats.h"

#include <cinttypes>
#include <cstdio>

namespace sim {

void printSummary(const Stats& stats) {
    std::printf("summary sent_frames=%" PRIu64 " sent_packets=%" PRIu64 " received_frames=%" PRIu64
                " received_packets=%" PRIu64 " bad_packets=%" PRIu64 " connections=%" PRIu64
                " replies=%" PRIu64 "\n",
                stats.sentFrames.load(), stats.sentPackets.load(), stats.receivedFrames.load(),
                stats.receivedPackets.load(), stats.badPackets.load(), stats.connections.load(),
                stats.replies.load());
    std::fflush(stdout);
}

}  // namespace sim
