// A device's 6-byte identifier as typed: 12 hex digits, optionally with ':'
// or '-' between the pairs (001A2B3C4D5E, 00:1A:2B:3C:4D:5E).
#pragma once

#include <cstdint>
#include <string>

bool parseDeviceId(const std::string& text, std::uint8_t out[6]);
std::string formatDeviceId(const std::uint8_t id[6]);
