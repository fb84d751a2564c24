// Dotted IPv4 addresses and port numbers as people type them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Four decimal numbers from 0 to 255 without leading zeros, the form the
// library's own address conversion accepts.
bool parseIpv4(const std::string& text, std::uint8_t out[4]);
bool isIpv4(const std::string& text);
std::string formatIpv4(const std::uint8_t address[4]);
// A decimal port from `min` to 65535.
std::optional<std::uint16_t> parsePort(const std::string& text, unsigned min);
