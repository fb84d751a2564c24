#include "codec/packet_encoder.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "codec/packet_format.h"

namespace quilvane {
namespace {

using namespace packet;

// 64 bytes of 0xFF, then 64 of 0x00: the 64 bytes from kKeep + 64 - n keep the
// first n bytes of a data room and clear the rest.
constexpr std::array<std::uint8_t, 128> kKeep = [] {
    std::array<std::uint8_t, 128> keep{};
    for (std::size_t i = 0; i < 64; ++i)
        keep[i] = 0xFF;
    return keep;
}();

template <std::size_t Room>
std::int32_t encodeWithRoom(std::uint8_t* out, const CanFrame& frame) {
    constexpr std::size_t kSize = kRecordDataOffset + Room;
    constexpr std::uint8_t kType = kSize == kFdRecordSize ? kTypeFd : kTypeClassic;
    constexpr std::uint8_t kHeaderSum = kSync ^ kType ^ (kSize >> 8) ^ (kSize & 0xFF);
    // Header and the first two timestamp bytes; the record's fields land on
    // top of the last two.
    constexpr std::uint64_t kHeaderWord = kSync | (std::uint64_t{kType} << 8) |
                                          (std::uint64_t{kSize >> 8} << 32) |
                                          (std::uint64_t{kSize & 0xFF} << 40);
    // The timestamp is not sent.
    constexpr Bytes16 kNoTimestamp = {0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0};

    // Everything is read before anything is written: `out` could overlap
    // `frame`.
    const Bytes16 head = load16(reinterpret_cast<const std::uint8_t*>(&frame));
    const Bytes16 fields = convertFields(head, kNoTimestamp, Room);
    const std::size_t length = std::min<std::size_t>(frame.dataLength, Room);
    const std::uint8_t* keep = kKeep.data() + 64 - length;
    // An XOR does not depend on byte order, so the checksum is summed from
    // the frame's own id, flags and channel bytes and the length, without
    // waiting for the conversion.
    constexpr Bytes16 kSummed = {0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
    Bytes16 sum = head & kSummed;
    // The whole room is written, data then zeros, so the packet does not
    // depend on what the caller left in the buffer.
    std::uint8_t* room = out + kHeaderSize + kRecordDataOffset;
    if constexpr (Room % 16 == 0) {
        Bytes16 data[Room / 16];
#pragma GCC unroll 4
        for (std::size_t i = 0; i < Room / 16; ++i) {
            data[i] = load16(frame.data + 16 * i) & load16(keep + 16 * i);
            sum ^= data[i];
        }
#pragma GCC unroll 4
        for (std::size_t i = 0; i < Room / 16; ++i)
            store16(room + 16 * i, data[i]);
    } else {
        static_assert(Room == 8);
        const Bytes16 data = load16(frame.data) & load16(keep);
        std::memcpy(room, &data, Room);
        sum ^= data;
    }
    std::memcpy(out, &kHeaderWord, sizeof kHeaderWord);
    store16(out + kHeaderSize, fields);
    out[kHeaderSize + kSize] = kHeaderSum ^ static_cast<std::uint8_t>(length) ^ fold16(sum);
    return static_cast<std::int32_t>(kSize + kOverhead);
}

}  // namespace

std::int32_t encodePacket(std::uint8_t* out, const CanFrame& frame, int recordSize) {
    if (out == nullptr)
        return 0;
    switch (recordSize) {
        case static_cast<int>(kFdRecordSize):
            return encodeWithRoom<kFdRecordSize - kRecordDataOffset>(out, frame);
        case static_cast<int>(kClassicRecordSize):
            return encodeWithRoom<kClassicRecordSize - kRecordDataOffset>(out, frame);
        default:
            return 0;
    }
}

}  // namespace quilvane
