// Hand-built packets and records for the codec tests, written without the
// encoder so the two can check each other.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "quilvane_sdk.h"

namespace quilvane::test {

using Bytes = std::vector<std::uint8_t>;

struct RawPacket {
    std::uint8_t sync = 0x55;
    std::uint8_t type = 1;
    std::uint8_t reserved2 = 0;
    std::uint8_t reserved3 = 0;
    Bytes payload;
    bool corruptChecksum = false;
};

inline Bytes build(const RawPacket& p) {
    const std::size_t n = p.payload.size();
    Bytes out(n + 7, 0);
    out[0] = p.sync;
    out[1] = p.type;
    out[2] = p.reserved2;
    out[3] = p.reserved3;
    out[4] = static_cast<std::uint8_t>(n >> 8);
    out[5] = static_cast<std::uint8_t>(n);
    std::copy(p.payload.begin(), p.payload.end(), out.begin() + 6);
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < n + 6; ++i)
        sum ^= out[i];
    out[n + 6] = p.corruptChecksum ? static_cast<std::uint8_t>(sum ^ 0x01) : sum;
    return out;
}

// One record of `size` bytes (24 or 80); dataLength is written as given.
inline Bytes record(std::size_t size, std::uint64_t timestamp, std::uint32_t id, std::uint16_t flags,
                    std::uint8_t channel, std::uint8_t dataLength,
                    std::initializer_list<std::uint8_t> data = {}) {
    Bytes r(size, 0);
    for (int i = 0; i < 8; ++i)
        r[i] = static_cast<std::uint8_t>(timestamp >> (56 - 8 * i));
    for (int i = 0; i < 4; ++i)
        r[8 + i] = static_cast<std::uint8_t>(id >> (24 - 8 * i));
    r[12] = static_cast<std::uint8_t>(flags >> 8);
    r[13] = static_cast<std::uint8_t>(flags);
    r[14] = channel;
    r[15] = dataLength;
    std::size_t at = 16;
    for (std::uint8_t b : data)
        r.at(at++) = b;
    return r;
}

// A type 1 packet with one record on `channel` whose id is `id`.
inline Bytes fdPacket(std::uint32_t id, std::uint8_t channel = 0) {
    return build({.payload = record(80, id, id, 0, channel, 1, {static_cast<std::uint8_t>(id)})});
}

// Valid packets that decode to nothing (wrong sync byte), `total` bytes in all (at least 7).
inline Bytes skippedPackets(std::size_t total) {
    Bytes out;
    while (total > 0) {
        std::size_t size = total > 65542 ? 65535 : total;  // never leave fewer than 7 behind
        Bytes p = build({.sync = 0x00, .payload = Bytes(size - 7, 0xAB)});
        out.insert(out.end(), p.begin(), p.end());
        total -= size;
    }
    return out;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace quilvane::test
