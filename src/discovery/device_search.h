// What a device search needs besides the UDP endpoint: where to listen and
// what to send.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace quilvane {

inline constexpr char kSearchBroadcastAddress[] = "255.255.255.255";
inline constexpr std::uint16_t kSearchPort = 10550;
inline constexpr std::array<std::uint8_t, 10> kSearchRequest = {0x86, 0x54, 0x08, 0x00, 0x00,
                                                                0xFF, 0x64, 0x9E, 0xD6, 0x33};

// Every adapter's IPv4 address text, in adapter order.
int listAdapterAddresses(std::vector<std::string>& addresses);
// One port from 30000 to 50000 for all discovery sockets of the process.
std::uint16_t randomDiscoveryPort();

}  // namespace quilvane
