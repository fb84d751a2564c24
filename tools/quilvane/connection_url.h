// CONNECTION arguments: tcp://ADDRESS:PORT (the library connects to a
// device), tcp-listen://[ADDRESS]:PORT (devices connect to the library) and
// udp://REMOTE:PORT[?local=[ADDRESS]:PORT], turned into the library's
// OpenParams.
#pragma once

#include <cstdint>
#include <string>

#include "quilvane_sdk.h"

struct ConnectionUrl {
    std::uint32_t type = 0;  // QUILVANE_TCP_CLIENT, QUILVANE_TCP_SERVER or QUILVANE_UDP
    std::string localIp;     // empty: any local address
    std::uint16_t localPort = 0;
    std::string remoteIp;
    std::uint16_t remotePort = 0;
    // tcp-listen's address: checked, then unused, as the library listens on
    // every local address.
    std::string listenAddress;
};

// Throws UsageError naming the part that is wrong.
ConnectionUrl parseConnectionUrl(const std::string& text);
OpenParams toOpenParams(const ConnectionUrl& url);
