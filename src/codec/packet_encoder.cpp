#include "codec/packet_encoder.h"

#include <array>
#include <cstring>

#include "codec/packet_format.h"

namespace quilvane {
namespace {

using namespace packet;

// 255 bytes of 0xFF, then 64 of 0x00: the bytes from kKeep + 255 - n keep the
// first n bytes of a data room and clear the rest, for any dataLength, so the
// mask needs no clamping.
constexpr std::size_t kMaxLength = 255;
constexpr std::array<std::uint8_t, kMaxLength + 64> kKeep = [] {
    std::array<std::uint8_t, kMaxLength + 64> keep{};
    for (std::size_t i = 0; i < kMaxLength; ++i)
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
    const Bytes16 fields =
        convertFields(load16(reinterpret_cast<const std::uint8_t*>(&frame)), kNoTimestamp, Room);
    const std::uint8_t* keep = kKeep.data() + kMaxLength - frame.dataLength;
    // The whole room is written, data then zeros, so the packet does not
    // depend on what the caller left in the buffer.
    Bytes16 sum = fields;
    std::uint8_t* room = out + kHeaderSize + kRecordDataOffset;
    if constexpr (Room % 16 == 0) {
        Bytes16 data[Room / 16];
#pragma GCC unroll 4
        for (std::size_t i = 0; i < Room / 16; ++i) {
            data[i] = load16(frame.data + 16 * i) & load16(keep + 16 * i);
            sum ^= data[i];
        }
        std::memcpy(room, data, sizeof data);
    } else {
        static_assert(Room == 8);
        const std::uint64_t data = loadWord(frame.data) & loadWord(keep);
        std::memcpy(room, &data, sizeof data);
        Bytes16 piece{};
        std::memcpy(&piece, &data, sizeof data);
        sum ^= piece;
    }
    std::memcpy(out, &kHeaderWord, sizeof kHeaderWord);
    store16(out + kHeaderSize, fields);
    out[kHeaderSize + kSize] = kHeaderSum ^ fold16(sum);
    return static_cast<std::int32_t>(kSize + kOverhead);
}

}  // namespace

std::int32_t encodePacket(std::uint8_t* out, const CanFrame& frame, int recordSize) {
    if (out == nullptr)
        return 0;
    // Every packet the library sends has the CAN FD record.
    if (recordSize == static_cast<int>(kFdRecordSize)) [[likely]]
        return encodeWithRoom<kFdRecordSize - kRecordDataOffset>(out, frame);
    if (recordSize == static_cast<int>(kClassicRecordSize))
        return encodeWithRoom<kClassicRecordSize - kRecordDataOffset>(out, frame);
    return 0;
}

}  // namespace quilvane
