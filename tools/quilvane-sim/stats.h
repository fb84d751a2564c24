// Counters shared by every connection, and the summary line that tests and
// benchmarks parse.
#pragma once

#include <atomic>
#include <cstdint>

namespace sim {

struct Stats {
    std::atomic<uint64_t> sentFrames{0};  // frames in packets sent intact
    std::atomic<uint64_t> sentPackets{0};
    std::atomic<uint64_t> receivedFrames{0};
    std::atomic<uint64_t> receivedPackets{0};
    std::atomic<uint64_t> badPackets{0};
    std::atomic<uint64_t> connections{0};
    std::atomic<uint64_t> replies{0};
};

// "summary sent_frames=... replies=..." on stdout, flushed.
void printSummary(const Stats& stats);

}  // namespace sim
