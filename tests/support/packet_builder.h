// Packets built by hand for the tests, independent of the library's encoder.
#pragma once

#include <cstdint>
#include <vector>

namespace quilvane::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Header {sync, type, reserved, reserved}, payload, checksum (XOR 1 when corrupt).
inline Bytes packet(Bytes header, const Bytes& payload, bool corrupt = false) {
    Bytes p = header + Bytes{std::uint8_t(payload.size() >> 8), std::uint8_t(payload.size())} + payload;
    std::uint8_t sum = corrupt ? 1 : 0;
    for (std::uint8_t b : p)
        sum ^= b;
    return p + Bytes{sum};
}

// A record of `size` bytes; `data` goes to the start of its data room.
inline Bytes record(std::size_t size, std::uint64_t timestamp, std::uint32_t id, std::uint16_t flags,
                    std::uint8_t channel, std::uint8_t dataLength, const Bytes& data = {}) {
    Bytes r;
    for (int shift = 56; shift >= 0; shift -= 8)
        r.push_back(std::uint8_t(timestamp >> shift));
    for (int shift = 24; shift >= 0; shift -= 8)
        r.push_back(std::uint8_t(id >> shift));
    r = r + Bytes{std::uint8_t(flags >> 8), std::uint8_t(flags), channel, dataLength} + data;
    r.resize(size, 0);
    return r;
}

// An 87-byte packet whose frame is known by its id.
inline Bytes fdPacket(std::uint32_t id) {
    return packet({0x55, 1, 0, 0}, record(80, 0, id, 0, 0, 1, {7}));
}

}  // namespace quilvane::test
