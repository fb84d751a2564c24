// Deterministic frames for --generate, packed into packets and paced by --rate.
//
// Frame number s (counted from 0 on each connection) carries: timestamp s,
// id FIRST + s % (LAST - FIRST + 1), flags s & 0xFFFF, channel
// CHANNELS[s % count], dataLength L (at most 8 in classic records) and
// data[i] = (s + i) & 0xFF. A receiver can check every frame from its
// timestamp alone.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "options.h"
#include "sim_frame.h"

namespace sim {

using Clock = std::chrono::steady_clock;

SimFrame patternFrame(uint64_t sequence, const Options& options, bool classic);

// Record type of the n-th packet (from 0) for --record: mixed alternates.
uint8_t packetType(RecordKind kind, uint64_t packetIndex);

// Packs frames K per packet in the chosen record type; used for echo.
std::vector<Packet> packFrames(const std::vector<SimFrame>& frames, const Options& options,
                               uint64_t& packetIndex);

class FrameGenerator {
  public:
    FrameGenerator(const Options& options, Clock::time_point start);

    bool finished() const { return next_ >= total_; }
    // When the next packet is due; meaningless once finished.
    Clock::time_point nextDue() const;
    // The packets due at `now`, at most `maxPackets` of them.
    std::vector<Packet> takeDue(Clock::time_point now, size_t maxPackets);

  private:
    const Options& options_;
    Clock::time_point start_;
    uint64_t total_;
    uint64_t next_ = 0;  // sequence number of the next frame
    uint64_t packetIndex_ = 0;
};

}  // namespace sim
