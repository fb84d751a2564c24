// Probes: is one device, known by its 6-byte identifier, answering? Each
// attempt broadcasts its family's request from one adapter and waits for one
// datagram. 1 answered, 0 no (acceptable) answer, -1 bad arguments, no
// adapter, or a socket failure in the last attempt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace quilvane {

inline constexpr std::uint16_t kPelixProbePort = 10551;
inline constexpr std::uint16_t kVciProbePort = 58121;

int probePelixDevice(const std::uint8_t* deviceId, const std::uint8_t* address, int timeoutMs);
int probeVciDevice(const std::uint8_t* deviceId, const std::uint8_t* address, int timeoutMs);

using ReplyCheck = bool (*)(const std::uint8_t* reply, int length, const std::uint8_t* deviceId);

// (address, mask) of every adapter address; false when there is none.
bool listAdapterSubnets(std::vector<std::pair<std::string, std::string>>& subnets);
// The adapters on the device's subnet, or all of them when none is.
bool chooseProbeAdapters(const std::uint8_t* address, std::vector<std::string>& adapters);
int probeExchange(const std::string& adapterAddress, const std::uint8_t* request, int count,
                  std::uint16_t port, int timeoutMs, ReplyCheck check, const std::uint8_t* deviceId);
bool checkVciReply(const std::uint8_t* reply, int length, const std::uint8_t* deviceId);
// A PELIX device answers with any datagram of at least one byte.
bool checkPelixReply(const std::uint8_t* reply, int length, const std::uint8_t* deviceId);
// Whether what one attempt read (`length` as the read returned it: below 1
// when nothing came) answers the probe; no check accepts any datagram.
bool acceptProbeReply(const std::uint8_t* reply, int length, ReplyCheck check, const std::uint8_t* deviceId);
std::uint8_t xorChecksum(const std::uint8_t* bytes, int count);
// CRC-8, polynomial 0x07, initial value 0, not reflected, final XOR 0x55.
std::uint8_t crc8(const std::uint8_t* bytes, std::size_t count);

std::vector<std::uint8_t> pelixProbeRequest(const std::uint8_t* deviceId);
std::vector<std::uint8_t> vciProbeRequest(const std::uint8_t* deviceId);

}  // namespace quilvane
