// The traffic of one link (a TCP connection, or the UDP socket): what
// arrives is decoded, counted, logged with --verbose and echoed when asked;
// generated frames are sent on time; --fault spoils what is written. The link
// itself (socket, loop, end of connection) belongs to the caller.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <vector>

#include "options.h"
#include "packet_codec.h"
#include "run.h"

namespace sim {

// --verbose: every received frame on stderr in candump log form,
// "(SECONDS.MICROS) canCHANNEL ID#DATA", with "ID##0DATA" for frames of more
// than 8 bytes. The time is counted from the start of the run.

class FrameLog {
  public:
    FrameLog(bool enabled, std::chrono::steady_clock::time_point start) : enabled_(enabled), start_(start) {}

    void write(const std::vector<SimFrame>& frames);

  private:
    bool enabled_;
    std::chrono::steady_clock::time_point start_;
    std::mutex mutex_;  // keeps lines of concurrent connections whole
};

// Deterministic frames for --generate, packed into packets and paced by --rate.
//
// Frame number s (counted from 0 on each connection) carries: timestamp s,
// id FIRST + s % (LAST - FIRST + 1), flags s & 0xFFFF, channel
// CHANNELS[s % count], dataLength L (at most 8 in classic records) and
// data[i] = (s + i) & 0xFF. A receiver can check every frame from its
// timestamp alone.

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

// Writes packets to a connection or as datagrams, applying --fault:
//   cut             each packet in 2 to 4 writes cut at random points (--seed)
//   byte-at-a-time  each byte its own write
//   bad-checksum    packet number --fault-at gets a wrong checksum
//   bad-sync        packet number --fault-at gets sync byte 0xAA and a checksum that matches
//   reset           half of packet number --fault-at, then a reset
//   close           a plain close after packet number --fault-at
//   flood           before packet number --fault-at, 1 MiB + 1 bytes that never decode
// Frames of a packet broken on purpose are not counted as sent.

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

// One link's traffic, made of the parts above.
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
