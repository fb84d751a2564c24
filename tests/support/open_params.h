// OpenParams as tests write them.
#pragma once

#include <cstring>
#include <string>

#include "quilvane_sdk.h"

inline OpenParams openParams(std::uint32_t type, const std::string& localIp = "", std::uint16_t localPort = 0,
                             const std::string& remoteIp = "", std::uint16_t remotePort = 0) {
    OpenParams p{};
    p.type = type;
    std::strncpy(p.localIp, localIp.c_str(), sizeof p.localIp - 1);
    p.localPort = localPort;
    std::strncpy(p.remoteIp, remoteIp.c_str(), sizeof p.remoteIp - 1);
    p.remotePort = remotePort;
    return p;
}
