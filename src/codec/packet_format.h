// Layout of the packets exchanged with devices, shared by the encoder and the
// decoder; nothing else in the library knows it. Multi-byte fields are
// big-endian on the wire.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quilvane::packet {

inline constexpr std::uint8_t kSync = 0x55;
inline constexpr std::uint8_t kTypeClassic = 0;
inline constexpr std::uint8_t kTypeFd = 1;

// Header: sync, type, two reserved bytes, 16-bit payload length. The payload
// follows, then one checksum byte.
inline constexpr std::size_t kTypeOffset = 1;
inline constexpr std::size_t kReservedOffset = 2;
inline constexpr std::size_t kLengthOffset = 4;
inline constexpr std::size_t kHeaderSize = 6;
inline constexpr std::size_t kOverhead = kHeaderSize + 1;

// Frame record: 16 bytes of fields (8-byte timestamp, 4-byte id, 2-byte
// flags, channel, dataLength; converted as a whole by convertFields), then
// the data room.
inline constexpr std::size_t kClassicRecordSize = 24;
inline constexpr std::size_t kFdRecordSize = 80;
inline constexpr std::size_t kRecordDataLengthOffset = 15;
inline constexpr std::size_t kRecordDataOffset = 16;

// Received ids are 29-bit.
inline constexpr std::uint32_t kIdMask = 0x1FFFFFFF;

inline std::uint16_t loadBe16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

inline std::uint64_t loadWord(const std::uint8_t* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

inline std::uint8_t foldBytes(std::uint64_t word) {
    word ^= word >> 32;
    word ^= word >> 16;
    word ^= word >> 8;
    return static_cast<std::uint8_t>(word);
}

// Sixteen bytes as one value: one SSE2 register on x86-64, plain words where
// the target has no vector unit. Every byte of a packet passes through these.
using Bytes16 = std::uint8_t __attribute__((vector_size(16)));

inline Bytes16 load16(const std::uint8_t* p) {
    Bytes16 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store16(std::uint8_t* p, Bytes16 v) {
    std::memcpy(p, &v, sizeof v);
}

// XOR of the sixteen bytes: halved twice inside the register by swapping
// its 32-bit quarters, then finished in an ordinary one.
inline std::uint8_t fold16(Bytes16 v) {
    using Quarters = std::uint32_t __attribute__((vector_size(16)));
    Quarters q = reinterpret_cast<Quarters>(v);
    q ^= __builtin_shufflevector(q, q, 2, 3, 0, 1);
    q ^= __builtin_shufflevector(q, q, 1, 0, 3, 2);
    const std::uint32_t word = q[0] ^ (q[0] >> 16);
    return static_cast<std::uint8_t>(word ^ (word >> 8));
}

// A frame's first 16 bytes (timestamp, id, flags, channel, dataLength) are a
// record's first 16 in host order; the frame record is copied in whole
// registers, so only little-endian hosts are supported, like every target
// the library is built for.
static_assert(std::endian::native == std::endian::little);

// Converts those 16 bytes between frame and record order in one register:
// bytes swapped inside each 16-bit word and the words reordered, then ANDed
// with `keep`, whose last two bytes must be 0; the channel and dataLength
// bytes stay in place, dataLength limited to `room`.
inline Bytes16 convertFields(Bytes16 v, Bytes16 keep, std::uint8_t room) {
    using Words8 = std::uint16_t __attribute__((vector_size(16)));
    const Words8 words = reinterpret_cast<Words8>(v);
    const Words8 bytesSwapped = (words << 8) | (words >> 8);
    const Words8 swapped = __builtin_shufflevector(bytesSwapped, bytesSwapped, 3, 2, 1, 0, 5, 4, 6, 7);
    constexpr Bytes16 kInPlace = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    Bytes16 limit = ~Bytes16{};
    limit[kRecordDataLengthOffset] = room;
    const Bytes16 fields = (reinterpret_cast<Bytes16>(swapped) & keep) | (v & kInPlace);
    return fields < limit ? fields : limit;
}

// XOR of n bytes, sixteen at a time.
inline std::uint8_t xorChecksum(const std::uint8_t* p, std::size_t n) {
    Bytes16 sum{};
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16)
        sum ^= load16(p + i);
    std::uint8_t rest = fold16(sum);
    if (i + 8 <= n) {
        rest ^= foldBytes(loadWord(p + i));
        i += 8;
    }
    for (; i < n; ++i)
        rest ^= p[i];
    return rest;
}

}  // namespace quilvane::packet
