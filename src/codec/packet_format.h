// Layout of the packets exchanged with devices, shared by the encoder and the
// decoder; nothing else in the library knows it. Multi-byte fields are
// big-endian on the wire.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

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

// Frame record: 16 bytes of fields, then the data room.
inline constexpr std::size_t kClassicRecordSize = 24;
inline constexpr std::size_t kFdRecordSize = 80;
inline constexpr std::size_t kRecordIdOffset = 8;
inline constexpr std::size_t kRecordFlagsOffset = 12;
inline constexpr std::size_t kRecordChannelOffset = 14;
inline constexpr std::size_t kRecordDataLengthOffset = 15;
inline constexpr std::size_t kRecordDataOffset = 16;

// Received ids are 29-bit.
inline constexpr std::uint32_t kIdMask = 0x1FFFFFFF;

inline std::uint16_t loadBe16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

inline std::uint32_t loadBe32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

inline std::uint64_t loadBe64(const std::uint8_t* p) {
    return (std::uint64_t{loadBe32(p)} << 32) | loadBe32(p + 4);
}

inline void storeBe16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

inline void storeBe32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
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

// XOR of n bytes. Every received byte goes through here, so it takes sixteen
// bytes per step and ends with one overlapping load instead of a byte loop.
inline std::uint8_t xorChecksum(const std::uint8_t* p, std::size_t n) {
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        a ^= loadWord(p + i);
        b ^= loadWord(p + i + 8);
    }
    if (i + 8 <= n) {
        a ^= loadWord(p + i);
        i += 8;
    }
    const std::size_t rest = n - i;
    if (rest > 0) {
        if constexpr (std::endian::native == std::endian::little) {
            if (n >= 8) {
                // The last eight bytes, minus the leading ones already counted.
                b ^= loadWord(p + n - 8) >> (8 * (8 - rest));
                return foldBytes(a ^ b);
            }
        }
        for (; i < n; ++i)
            b ^= p[i];
    }
    return foldBytes(a ^ b);
}

// The same for a length known at compile time, fully unrolled.
template <std::size_t N>
inline std::uint8_t xorChecksumFixed(const std::uint8_t* p) {
    static_assert(N >= 8);
    constexpr std::size_t kWords = N / 8;
    constexpr std::size_t kRest = N % 8;
    std::uint64_t word = [p]<std::size_t... I>(std::index_sequence<I...>) {
        return (loadWord(p + 8 * I) ^ ...);
    }
    (std::make_index_sequence<kWords>{});
    if constexpr (kRest > 0) {
        if constexpr (std::endian::native == std::endian::little) {
            word ^= loadWord(p + N - 8) >> (8 * (8 - kRest));
        } else {
            return static_cast<std::uint8_t>(foldBytes(word) ^ xorChecksum(p + 8 * kWords, kRest));
        }
    }
    return foldBytes(word);
}

}  // namespace quilvane::packet
