#include "codec/packet_decoder.h"

#include <cstring>

#include "codec/packet_format.h"

namespace quilvane {
namespace {

using namespace packet;

// Record size of an accepted packet, 0 for one that is skipped.
std::size_t recordSizeOf(const std::uint8_t* packet) {
    if (packet[0] != kSync || packet[kReservedOffset] != 0)
        return 0;
    switch (packet[kTypeOffset]) {
        case kTypeClassic:
            return kClassicRecordSize;
        case kTypeFd:
            return kFdRecordSize;
        default:
            return 0;
    }
}

bool checksumMatches(const std::uint8_t* packet, std::size_t payload) {
    return xorChecksum(packet, kHeaderSize + payload) == packet[kHeaderSize + payload];
}

// Record bytes 0 to 15 hold the frame's first 16 bytes, big-endian; the id
// is cut to 29 bits and dataLength to the room.
template <std::size_t Room>
Bytes16 fieldsFromRecord(Bytes16 record) {
    // The id's top byte sits at byte 11 once in host order.
    constexpr Bytes16 kIdBits = {0xFF, 0xFF, 0xFF, 0xFF,          0xFF, 0xFF, 0xFF, 0xFF,
                                 0xFF, 0xFF, 0xFF, kIdMask >> 24, 0xFF, 0xFF, 0,    0};
    return convertFields(record, kIdBits, Room);
}

std::uint8_t* bytesOf(CanFrame& frame) {
    return reinterpret_cast<std::uint8_t*>(&frame);
}

// The whole data room is copied: a fixed-size copy is cheaper than one of
// dataLength bytes, and the bytes past dataLength carry no meaning.
template <std::size_t Room>
void decodeRecord(const std::uint8_t* record, CanFrame& frame) {
    store16(bytesOf(frame), fieldsFromRecord<Room>(load16(record)));
    std::memcpy(frame.data, record + kRecordDataOffset, Room);
    if constexpr (Room < sizeof frame.data)
        std::memset(frame.data + Room, 0, sizeof frame.data - Room);
}

template <std::size_t Room>
CanFrame* decodeRecords(const std::uint8_t* record, std::size_t count, CanFrame* out) {
    for (; count > 0; --count, record += Room + kRecordDataOffset)
        decodeRecord<Room>(record, *out++);
    return out;
}

constexpr std::size_t kFdRoom = kFdRecordSize - kRecordDataOffset;
constexpr std::size_t kClassicRoom = kClassicRecordSize - kRecordDataOffset;
static_assert(kFdRecordSize == 5 * 16 && kRecordDataOffset == 16 && sizeof(CanFrame) == kFdRecordSize);

// Devices send one CAN FD record per packet, so this case gets its own path:
// the record is read once, in five 16-byte pieces that feed both the checksum
// and the frame. The frame is written before the checksum is known; the
// caller counts it only when this returns true.
bool decodeSingleFdPacket(const std::uint8_t* packet, CanFrame& frame) {
    const std::uint8_t* record = packet + kHeaderSize;
    Bytes16 sum{};
#pragma GCC unroll 5
    for (std::size_t at = 0; at < kFdRecordSize; at += 16) {
        const Bytes16 piece = load16(record + at);
        store16(bytesOf(frame) + at, at == 0 ? fieldsFromRecord<kFdRoom>(piece) : piece);
        sum ^= piece;
    }
    constexpr std::uint8_t kHeaderSum = kSync ^ kTypeFd ^ (kFdRecordSize >> 8) ^ (kFdRecordSize & 0xFF);
    return (kHeaderSum ^ packet[kReservedOffset + 1] ^ fold16(sum)) == packet[kHeaderSize + kFdRecordSize];
}

// Decodes the run of such packets that starts at `at`, the usual traffic, in
// a short loop whose header check is one masked 8-byte compare. Returns
// where the run ends: at another kind of packet, at too few bytes, or at a
// packet whose checksum fails, which the general path then stops at.
std::size_t decodeFdRun(const std::uint8_t* bytes, std::size_t at, std::size_t end, CanFrame*& out) {
    constexpr std::size_t kPacketSize = kFdRecordSize + kOverhead;
    // Sync, type 1, reserved byte 0 and a one-record length; byte 3 and the
    // record's first two bytes are not looked at.
    constexpr std::uint64_t kHeaderMask = 0x0000FFFF00FFFFFF;
    constexpr std::uint64_t kHeader =
        kSync | (std::uint64_t{kTypeFd} << 8) | (std::uint64_t{kFdRecordSize} << 40);
    while (end - at >= kPacketSize && (loadWord(bytes + at) & kHeaderMask) == kHeader &&
           decodeSingleFdPacket(bytes + at, *out)) {
        ++out;
        at += kPacketSize;
    }
    return at;
}

}  // namespace

FrameList decodePackets(const std::uint8_t* bytes, std::int32_t length, std::int32_t* consumed) {
    FrameList frames;
    if (bytes == nullptr)
        return frames;

    const std::size_t end = length > 0 ? static_cast<std::size_t>(length) : 0;
    CanFrame* out = nullptr;
    std::size_t at = 0;
    while (true) {
        if (out != nullptr)
            at = decodeFdRun(bytes, at, end, out);
        const std::size_t remaining = end - at;
        if (remaining < kOverhead)
            break;
        const std::uint8_t* packet = bytes + at;
        const std::size_t payload = loadBe16(packet + kLengthOffset);
        if (payload + kOverhead > remaining || !checksumMatches(packet, payload))
            break;
        if (out == nullptr) {
            // Room for the most frames the bytes could hold (24-byte
            // records), so the frames are written in one pass without
            // growing; the elements are not initialised, and the unused ones
            // are cut off at the end. Nothing is allocated before a packet
            // passes: a stream stuck at a bad packet is scanned again for
            // every chunk that arrives.
            frames.resize(end / kClassicRecordSize);
            out = frames.data();
        }
        const std::uint8_t* records = packet + kHeaderSize;
        switch (recordSizeOf(packet)) {
            case kFdRecordSize:
                out = decodeRecords<kFdRoom>(records, payload / kFdRecordSize, out);
                break;
            case kClassicRecordSize:
                out = decodeRecords<kClassicRoom>(records, payload / kClassicRecordSize, out);
                break;
            default:
                break;
        }
        at += payload + kOverhead;
    }
    if (consumed != nullptr)
        *consumed = at == end ? -1 : static_cast<std::int32_t>(at);
    frames.resize(static_cast<std::size_t>(out - frames.data()));
    return frames;
}

}  // namespace quilvane
