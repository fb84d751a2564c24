#include "discovery/device_probe.h"

#include <cstdio>
#include <cstring>

#include "platform/net.h"

namespace quilvane {
namespace {

constexpr int kProbePasses = 3;
constexpr std::uint32_t kAddressNone = 0xFFFFFFFFu;

std::uint8_t rotateLeft2(std::uint8_t b) {
    return static_cast<std::uint8_t>((b << 2) | (b >> 6));
}

// Closes the probe's socket on every way out.
class ProbeSocket {
  public:
    ProbeSocket() : s(net::openUdp()) {}
    ~ProbeSocket() { net::closeSocket(s); }
    ProbeSocket(const ProbeSocket&) = delete;
    ProbeSocket& operator=(const ProbeSocket&) = delete;
    net::Socket s;
};

int runProbe(const std::uint8_t* deviceId, const std::uint8_t* address, int timeoutMs,
             const std::vector<std::uint8_t>& request, std::uint16_t port, ReplyCheck check) {
    if (deviceId == nullptr || address == nullptr || timeoutMs <= 0)
        return -1;
    std::vector<std::string> adapters;
    if (!chooseProbeAdapters(address, adapters) || adapters.empty())
        return -1;
    int outcome = -1;
    for (int pass = 0; pass < kProbePasses; ++pass) {
        for (const auto& adapter : adapters) {
            if (adapter.empty()) {
                outcome = -1;
                continue;
            }
            outcome = probeExchange(adapter, request.data(), static_cast<int>(request.size()), port,
                                    timeoutMs, check, deviceId);
            if (outcome == 1)
                return 1;
        }
    }
    return outcome;
}

}  // namespace

std::vector<std::uint8_t> pelixProbeRequest(const std::uint8_t* deviceId) {
    std::vector<std::uint8_t> request = {0x00, 0x02, 0x00, 0x02, 0,    0,    0,    0,    0,    0,   0xA1,
                                         0x14, 0x00, 0x02, 0x00, 0x00, 0xFF, 0x19, 0xA7, 0xB5, 0xCC};
    std::memcpy(request.data() + 4, deviceId, 6);
    for (auto& b : request)
        b = rotateLeft2(b);
    return request;
}

std::vector<std::uint8_t> vciProbeRequest(const std::uint8_t* deviceId) {
    std::vector<std::uint8_t> request = {0xAA, 0x04, 0,    0,    0,    0,    0,    0,    0xAA, 0xFE,
                                         0x06, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00, 0x10, 0,    0};
    std::memcpy(request.data() + 2, deviceId, 6);
    request[18] = xorChecksum(request.data() + 8, 10);
    request[19] = crc8(request.data(), 19);
    return request;
}

int probePelixDevice(const std::uint8_t* deviceId, const std::uint8_t* address, int timeoutMs) {
    if (deviceId == nullptr)
        return -1;
    return runProbe(deviceId, address, timeoutMs, pelixProbeRequest(deviceId), kPelixProbePort,
                    checkPelixReply);
}

int probeVciDevice(const std::uint8_t* deviceId, const std::uint8_t* address, int timeoutMs) {
    if (deviceId == nullptr)
        return -1;
    return runProbe(deviceId, address, timeoutMs, vciProbeRequest(deviceId), kVciProbePort, checkVciReply);
}

bool listAdapterSubnets(std::vector<std::pair<std::string, std::string>>& subnets) {
    subnets.clear();
    for (auto& adapter : net::listAdapters())
        subnets.emplace_back(std::move(adapter.address), std::move(adapter.mask));
    return !subnets.empty();
}

bool chooseProbeAdapters(const std::uint8_t* address, std::vector<std::string>& adapters) {
    char device[16];
    std::snprintf(device, sizeof device, "%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
    std::vector<std::pair<std::string, std::string>> subnets;
    if (!listAdapterSubnets(subnets))
        return false;

    std::vector<std::string> onSubnet, others;
    const std::uint32_t deviceAddress = net::addressOrNone(device);
    for (const auto& [adapter, mask] : subnets) {
        const std::uint32_t a = net::addressOrNone(adapter);
        const std::uint32_t m = net::addressOrNone(mask);
        // A mask of 255.255.255.255 reads as "no address": such an adapter is never on the subnet.
        bool same = a != kAddressNone && m != kAddressNone && deviceAddress != kAddressNone &&
                    (a & m) == (deviceAddress & m);
        (same ? onSubnet : others).push_back(adapter);
    }
    adapters = onSubnet.empty() ? others : onSubnet;
    return !adapters.empty();
}

int probeExchange(const std::string& adapterAddress, const std::uint8_t* request, int count,
                  std::uint16_t port, int timeoutMs, ReplyCheck check, const std::uint8_t* deviceId) {
    if (adapterAddress.empty() || request == nullptr || count < 1 || timeoutMs < 1)
        return -1;
    ProbeSocket socket;
    if (socket.s == net::kInvalidSocket)
        return -1;
    net::setBroadcast(socket.s);
    net::Endpoint local{0, 0};
    net::parseAddress(adapterAddress, &local.address);
    if (!net::bindTo(socket.s, local))
        return -1;
    const net::Endpoint broadcast{net::addressOrNone("255.255.255.255"), port};
    if (net::sendTo(socket.s, request, count, broadcast) == -1)
        return -1;

    std::uint8_t reply[2048] = {};
    const int n = net::receiveFromWithin(socket.s, reply, sizeof reply, nullptr, timeoutMs);
    return acceptProbeReply(reply, n, check, deviceId) ? 1 : 0;
}

bool acceptProbeReply(const std::uint8_t* reply, int length, ReplyCheck check, const std::uint8_t* deviceId) {
    if (length < 1)
        return false;
    return check == nullptr || check(reply, length, deviceId);
}

bool checkPelixReply(const std::uint8_t*, int length, const std::uint8_t*) {
    return length >= 1;
}

bool checkVciReply(const std::uint8_t* reply, int n, const std::uint8_t* deviceId) {
    if (n < 20)
        return false;
    if (reply[0] != 0xAA || reply[1] != 0x84)
        return false;
    if (std::memcmp(reply + 2, deviceId, 6) != 0)
        return false;
    if (reply[n - 1] != crc8(reply, static_cast<std::size_t>(n - 1)))
        return false;
    if (reply[8] != 0xAA || reply[9] != 0xFE)
        return false;
    if (reply[n - 2] != xorChecksum(reply + 8, n - 10))
        return false;
    return reply[12] == 0x01 && reply[13] == 0x00;
}

std::uint8_t xorChecksum(const std::uint8_t* bytes, int count) {
    std::uint8_t sum = bytes[0];
    for (int i = 1; i < count; ++i)
        sum ^= bytes[i];
    return sum;
}

std::uint8_t crc8(const std::uint8_t* bytes, std::size_t count) {
    std::uint8_t crc = 0;
    for (std::size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc ^ 0x55;
}

}  // namespace quilvane
