// OpenParams as tests write them.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>

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
