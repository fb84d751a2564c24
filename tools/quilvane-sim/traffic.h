// The traffic of one link (a TCP connection, or the UDP socket): decodes
// what arrives, echoes it when asked, and sends the generated frames on time.
// The link itself (socket, loop, end of connection) belongs to the caller.
#pragma once

#include <cstdint>
#include <vector>

#include "frame_generator.h"
#include "frame_log.h"
#include "options.h"
#include "packet_codec.h"
#include "packet_writer.h"
#include "run_control.h"
#include "stats.h"

namespace sim {

class Traffic {
  public:
    Traffic(const Options& options, RunControl& control, Stats& stats, FrameLog& log,
            PacketWriter::Sink sink);

    // Bytes from the peer; on UDP, call endDatagram() after each datagram.
    PacketWriter::Outcome received(const uint8_t* bytes, size_t count);
    void endDatagram();

    // Sends the generated packets that are due, a bounded batch at a time so
    // that reading is not starved.
    PacketWriter::Outcome sendDue();

    // How long the caller may wait for input before sendDue() has work.
    int waitMs() const;
    // Generation is over and nothing else (echo, --expect, --idle-ms) asks to
    // keep the link open. A link that only receives is never done.
    bool done() const;

  private:
    void account();

    const Options& options_;
    RunControl& control_;
    Stats& stats_;
    FrameLog& log_;
    PacketWriter writer_;
    StreamDecoder decoder_;
    FrameGenerator generator_;
    uint64_t echoPackets_ = 0;
    uint64_t countedGood_ = 0;
    uint64_t countedBad_ = 0;
};

}  // namespace sim
