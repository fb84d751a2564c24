// OpenParams and CanFrame as tests write them and compare them.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "quilvane_sdk.h"

inline OpenParams openParams(std::uint32_t type, const std::string& localIp = "", std::uint16_t localPort = 0,
                             const std::string& remoteIp = "", std::uint16_t remotePort = 0) {
    OpenParams p{};
    p.type = type;
    std::memcpy(p.localIp, localIp.data(), std::min(localIp.size(), sizeof p.localIp - 1));
    p.localPort = localPort;
    std::memcpy(p.remoteIp, remoteIp.data(), std::min(remoteIp.size(), sizeof p.remoteIp - 1));
    p.remotePort = remotePort;
    return p;
}

inline CanFrame makeFrame(std::uint32_t id, const std::vector<std::uint8_t>& data, std::uint8_t channel = 0,
                          std::uint16_t flags = 0) {
    CanFrame f{};
    f.id = id;
    f.flags = flags;
    f.channel = channel;
    f.dataLength = static_cast<std::uint8_t>(data.size());
    std::copy(data.begin(), data.end(), f.data);
    return f;
}

// Every field but the timestamp, for comparisons whose failures print readably.
inline auto fieldsOf(const CanFrame& f) {
    return std::tuple(f.id, f.flags, f.channel,
                      std::vector<std::uint8_t>(f.data, f.data + std::min(f.dataLength, std::uint8_t{64})));
}
