// Writes packets to a connection or as datagrams, applying --fault:
//   cut             each packet in 2 to 4 writes cut at random points (--seed)
//   byte-at-a-time  each byte its own write
//   bad-checksum    packet number --fault-at gets a wrong checksum
//   bad-sync        packet number --fault-at gets sync byte 0xAA and a checksum that matches
//   reset           half of packet number --fault-at, then a reset
//   close           a plain close after packet number --fault-at
//   flood           before packet number --fault-at, 1 MiB + 1 bytes that never decode
// Frames of a packet broken on purpose are not counted as sent.
#pragma once

#include <cstdint>
#include <functional>
#include <random>

#include "options.h"
#include "sim_frame.h"
#include "stats.h"

namespace sim {

class PacketWriter {
  public:
    // One call is one socket write, or one datagram.
    using Sink = std::function<bool(const uint8_t* bytes, size_t count)>;
    enum class Outcome { Sent, Failed, Reset, Close };

    PacketWriter(const Options& options, Stats& stats, Sink sink);

    Outcome write(Packet packet);

  private:
    bool writeCut(const std::vector<uint8_t>& bytes);
    bool writeFlood();

    const Options& options_;
    Stats& stats_;
    Sink sink_;
    std::mt19937 random_;
    uint64_t index_ = 0;  // packets handed in so far
};

}  // namespace sim
