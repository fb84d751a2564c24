// The parts of the socket layer that are the same on every system.
#include <cstdio>

#include "net.h"

namespace sim {

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        close();
        device_ = other.device_;
        handle_ = other.release();
    }
    return *this;
}

Socket::Handle Socket::release() {
    const Handle handle = handle_;
    handle_ = kInvalid;
    return handle;
}

bool parseIpv4(const std::string& text, uint32_t& ip) {
    uint32_t value = 0;
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && (at >= text.size() || text[at++] != '.')) {
            return false;
        }
        const size_t start = at;
        unsigned number = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 3) {
            number = number * 10 + static_cast<unsigned>(text[at++] - '0');
        }
        const size_t digits = at - start;
        if (digits == 0 || number > 255 || (digits > 1 && text[start] == '0')) {
            return false;
        }
        value = value << 8 | number;
    }
    if (at != text.size()) {
        return false;
    }
    ip = value;
    return true;
}

Address toAddress(const Endpoint& endpoint) {
    Address address;
    parseIpv4(endpoint.host, address.ip);
    address.port = endpoint.port;
    return address;
}

std::string formatAddress(const Address& address) {
    const uint32_t ip = address.ip;
    char text[24];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", ip >> 24, ip >> 16 & 0xFF, ip >> 8 & 0xFF, ip & 0xFF,
                  static_cast<unsigned>(address.port));
    return text;
}

namespace {

// After kWouldWait: true when it is worth trying again.
bool waitForRoom(const Socket& socket, const GiveUp& giveUp) {
    if (giveUp()) {
        return false;
    }
    waitWritable(socket, 50);
    return true;
}

}  // namespace

bool sendAll(const Socket& socket, const uint8_t* bytes, size_t count, const GiveUp& giveUp) {
    while (count > 0) {
        const long sent = sendSome(socket, bytes, count);
        if (sent == kWouldWait && waitForRoom(socket, giveUp)) {
            continue;
        }
        if (sent < 0) {
            return false;
        }
        bytes += sent;
        count -= static_cast<size_t>(sent);
    }
    return true;
}

bool sendDatagram(const Socket& socket, const uint8_t* bytes, size_t count, const Address& to,
                  const GiveUp& giveUp, unsigned interfaceIndex) {
    long sent;
    while ((sent = sendDatagramOnce(socket, bytes, count, to, interfaceIndex)) == kWouldWait) {
        if (!waitForRoom(socket, giveUp)) {
            return false;
        }
    }
    return sent >= 0;
}

}  // namespace sim
