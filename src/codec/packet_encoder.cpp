#include "codec/packet_encoder.h"

#include <array>
#include <bit>
#include <cstring>
#include <utility>

#include "codec/packet_format.h"

namespace quilvane {
namespace {

using namespace packet;

// 64 bytes of 0xFF, then 64 of 0x00: the 64 bytes from kKeep + 64 - n keep the
// first n bytes of a data room and clear the rest, a word at a time.
constexpr std::array<std::uint8_t, 128> kKeep = [] {
    std::array<std::uint8_t, 128> keep{};
    for (std::size_t i = 0; i < 64; ++i)
        keep[i] = 0xFF;
    return keep;
}();

// Record bytes 8 to 15: id and flags big-endian, channel, dataLength. One
// store where the byte order allows it.
void storeFields(std::uint8_t* p, std::uint32_t id, std::uint16_t flags, std::uint8_t channel,
                 std::uint8_t length) {
    if constexpr (std::endian::native == std::endian::little) {
        const std::uint64_t word = std::uint64_t{__builtin_bswap32(id)} |
                                   (std::uint64_t{__builtin_bswap16(flags)} << 32) |
                                   (std::uint64_t{channel} << 48) | (std::uint64_t{length} << 56);
        std::memcpy(p, &word, sizeof word);
    } else {
        storeBe32(p, id);
        storeBe16(p + 4, flags);
        p[6] = channel;
        p[7] = length;
    }
}

template <std::size_t Room>
std::int32_t encodeWithRoom(std::uint8_t* out, const CanFrame& frame) {
    constexpr std::size_t kSize = kRecordDataOffset + Room;
    constexpr std::uint8_t kType = kSize == kFdRecordSize ? kTypeFd : kTypeClassic;
    constexpr std::uint8_t kHeaderSum = kSync ^ kType ^ (kSize >> 8) ^ (kSize & 0xFF);
    // Fields are read before anything is written: `out` could overlap
    // `frame`, and reading first spares the compiler reloading after stores.
    const std::uint32_t id = frame.id;
    const std::uint16_t flags = frame.flags;
    const std::uint8_t channel = frame.channel;
    const std::uint8_t length = frame.dataLength > Room ? static_cast<std::uint8_t>(Room) : frame.dataLength;

    out[0] = kSync;
    out[kTypeOffset] = kType;
    out[kReservedOffset] = 0;
    out[kReservedOffset + 1] = 0;
    storeBe16(out + kLengthOffset, kSize);
    std::uint8_t* record = out + kHeaderSize;
    std::memset(record, 0, kRecordIdOffset);  // the timestamp is not sent
    storeFields(record + kRecordIdOffset, id, flags, channel, length);

    // The whole room is written, data then zeros, so the packet does not
    // depend on what the caller left in the buffer. The checksum is summed
    // from the values as they are written; the byte order inside the
    // accumulator does not matter to an XOR of all bytes.
    std::uint64_t sum = std::uint64_t{id} ^ flags ^ channel ^ length;
    const std::uint8_t* keep = kKeep.data() + 64 - length;
    std::uint8_t* room = record + kRecordDataOffset;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((sum ^=
          [&](std::size_t at) {
              const std::uint64_t word = loadWord(frame.data + at) & loadWord(keep + at);
              std::memcpy(room + at, &word, sizeof word);
              return word;
          }(8 * I)),
         ...);
    }
    (std::make_index_sequence<Room / 8>{});

    out[kHeaderSize + kSize] = kHeaderSum ^ foldBytes(sum);
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
