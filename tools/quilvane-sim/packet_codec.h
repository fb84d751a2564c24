// The simulator's own packet codec, written apart from the library's so that
// each checks the other. Packet layout on the wire: 55 TYPE 00 00 LEN_HI
// LEN_LO, LEN bytes of records (24 bytes for type 0, 80 for type 1), then the
// XOR of everything before it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace sim {

struct SimFrame {
    uint64_t timestamp = 0;
    uint32_t id = 0;
    uint16_t flags = 0;
    uint8_t channel = 0;
    uint8_t dataLength = 0;  // bytes, 0 to 64
    std::array<uint8_t, 64> data{};
};

// One encoded packet and how many frames it carries.
struct Packet {
    std::vector<uint8_t> bytes;
    unsigned frames = 0;
};

constexpr uint8_t kSync = 0x55;
constexpr size_t kHeaderSize = 6;
constexpr size_t kClassicRecordSize = 24;
constexpr size_t kFdRecordSize = 80;

// Encodes the frames as records of one type (0 classic, 1 FD). Data beyond
// the record's data room is cut off.
Packet encodePacket(std::span<const SimFrame> frames, uint8_t type);

uint8_t xorOf(const uint8_t* bytes, size_t count);

// Reassembles a byte stream into frames. Unlike a strict decoder it resyncs
// after garbage (skipping to the next sync byte), so that one bad packet is
// counted once and the rest of the stream is still checked.
class StreamDecoder {
  public:
    // Appends the frames of every whole packet to `frames`.
    void feed(const uint8_t* bytes, size_t count, std::vector<SimFrame>& frames);
    // A datagram carries whole packets: anything left over counts as bad.
    void finishDatagram();

    uint64_t goodPackets() const { return goodPackets_; }
    uint64_t badPackets() const { return badPackets_; }

  private:
    void decodeRecords(const uint8_t* packet, size_t payload, std::vector<SimFrame>& frames) const;

    std::vector<uint8_t> pending_;
    bool resyncing_ = false;  // garbage already counted, still skipping
    uint64_t goodPackets_ = 0;
    uint64_t badPackets_ = 0;
};

}  // namespace sim
