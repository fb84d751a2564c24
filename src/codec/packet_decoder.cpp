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

// Packets of one 80-byte record are the common case; a constant length lets
// the checksum unroll.
bool checksumMatches(const std::uint8_t* packet, std::size_t payload) {
    const std::uint8_t sum = payload == kFdRecordSize ? xorChecksumFixed<kHeaderSize + kFdRecordSize>(packet)
                                                      : xorChecksum(packet, kHeaderSize + payload);
    return sum == packet[kHeaderSize + payload];
}

// Fills one frame from a record with a data room of Room bytes; fixed sizes
// keep every copy a few plain moves.
template <std::size_t Room>
void decodeRecord(const std::uint8_t* record, CanFrame& frame) {
    frame.timestamp = loadBe64(record);
    frame.id = loadBe32(record + kRecordIdOffset) & kIdMask;
    frame.flags = loadBe16(record + kRecordFlagsOffset);
    frame.channel = record[kRecordChannelOffset];
    const std::uint8_t length = record[kRecordDataLengthOffset];
    frame.dataLength = length > Room ? static_cast<std::uint8_t>(Room) : length;
    // The whole room is copied: a fixed-size copy is cheaper than one of
    // dataLength bytes, and the bytes past dataLength carry no meaning. The
    // rest of a classic frame's data stays zero.
    std::memcpy(frame.data, record + kRecordDataOffset, Room);
}

template <std::size_t Room>
CanFrame* decodeRecords(const std::uint8_t* record, std::size_t count, CanFrame* out) {
    for (; count > 0; --count, record += Room + kRecordDataOffset)
        decodeRecord<Room>(record, *out++);
    return out;
}

}  // namespace

std::vector<CanFrame> decodePackets(const std::uint8_t* bytes, std::int32_t length, std::int32_t* consumed) {
    std::vector<CanFrame> frames;
    if (bytes == nullptr)
        return frames;

    // First pass: where scanning stops and how many records the accepted
    // packets hold, so the result is allocated once at its exact size.
    const std::size_t end = length > 0 ? static_cast<std::size_t>(length) : 0;
    std::size_t stop = 0;
    std::size_t count = 0;
    while (stop < end) {
        const std::size_t remaining = end - stop;
        if (remaining < kOverhead)
            break;
        const std::uint8_t* packet = bytes + stop;
        const std::size_t payload = loadBe16(packet + kLengthOffset);
        if (payload + kOverhead > remaining || !checksumMatches(packet, payload))
            break;
        if (const std::size_t size = recordSizeOf(packet))
            count += payload / size;
        stop += payload + kOverhead;
    }
    if (consumed != nullptr)
        *consumed = stop == end ? -1 : static_cast<std::int32_t>(stop);
    if (count == 0)
        return frames;

    // Second pass over the packets already checked, straight into the result.
    frames.resize(count);
    CanFrame* out = frames.data();
    for (std::size_t at = 0; at < stop;) {
        const std::uint8_t* packet = bytes + at;
        const std::size_t payload = loadBe16(packet + kLengthOffset);
        const std::uint8_t* records = packet + kHeaderSize;
        switch (recordSizeOf(packet)) {
            case kFdRecordSize:
                out = decodeRecords<kFdRecordSize - kRecordDataOffset>(records, payload / kFdRecordSize, out);
                break;
            case kClassicRecordSize:
                out = decodeRecords<kClassicRecordSize - kRecordDataOffset>(
                    records, payload / kClassicRecordSize, out);
                break;
            default:
                break;
        }
        at += payload + kOverhead;
    }
    return frames;
}

}  // namespace quilvane
