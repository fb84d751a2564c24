#include "test_wire.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <numeric>
#include <stdexcept>

#include "../support/packet_builder.h"

namespace {

uint64_t bigEndian(const uint8_t* bytes, size_t count) {
    uint64_t value = 0;
    for (size_t i = 0; i < count; ++i)
        value = value << 8 | bytes[i];
    return value;
}

uint8_t xorOf(const uint8_t* bytes, size_t count) {
    return std::accumulate(bytes, bytes + count, uint8_t{0}, std::bit_xor<uint8_t>());
}

sockaddr_in loopback(uint16_t port) {
    return sockaddr_in{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
}

int withTimeout(int fd) {
    timeval timeout{10, 0};  // no test read may hang
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
}

int boundSocket(int type, uint16_t& port) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("bind failed");
    port = ntohs(address.sin_port);
    return withTimeout(fd);
}

}  // namespace

std::vector<WirePacket> splitPackets(const std::vector<uint8_t>& bytes, std::vector<uint8_t>* rest) {
    std::vector<WirePacket> packets;
    size_t p = 0;
    while (bytes.size() - p >= 7) {
        const size_t n = bigEndian(&bytes[p + 4], 2);
        if (bytes.size() - p < n + 7)
            break;
        WirePacket packet{{bytes.begin() + p, bytes.begin() + p + n + 7}, false, {}};
        const uint8_t* b = packet.bytes.data();
        packet.checksumOk = xorOf(b, n + 6) == b[n + 6];
        const size_t size = b[1] == 0 ? 24 : 80;
        for (size_t at = 6; at + size <= n + 6; at += size) {
            const uint8_t* r = b + at;
            packet.frames.push_back(
                {b[1], bigEndian(r, 8), static_cast<uint32_t>(bigEndian(r + 8, 4)),
                 static_cast<uint16_t>(bigEndian(r + 12, 2)), r[14],
                 std::vector<uint8_t>(r + 16, r + 16 + std::min<size_t>(r[15], size - 16))});
        }
        packets.push_back(std::move(packet));
        p += n + 7;
    }
    if (rest != nullptr)
        rest->assign(bytes.begin() + p, bytes.end());
    return packets;
}

std::vector<uint8_t> buildPacket(uint8_t type, const std::vector<WireFrame>& frames) {
    using namespace quilvane::test;
    Bytes payload;
    for (const WireFrame& f : frames) {
        payload = payload + record(type == 0 ? 24 : 80, f.timestamp, f.id, f.flags, f.channel,
                                   static_cast<uint8_t>(f.data.size()), f.data);
    }
    return packet({0x55, type, 0, 0}, payload);
}

int tcpListen(uint16_t& port) {
    const int fd = boundSocket(SOCK_STREAM, port);
    return listen(fd, 8) == 0 ? fd : throw std::runtime_error("listen failed");
}

int tcpConnect(uint16_t port, bool wait) {
    const int fd = socket(AF_INET, SOCK_STREAM | (wait ? 0 : SOCK_NONBLOCK), 0);
    const sockaddr_in address = loopback(port);
    const bool connected = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
                           (!wait && errno == EINPROGRESS);
    return connected ? withTimeout(fd) : throw std::runtime_error("connect failed");
}

int tcpAccept(int listener) {
    const int fd = accept(listener, nullptr, nullptr);  // the listener's read time-out bounds the wait
    return fd >= 0 ? withTimeout(fd) : throw std::runtime_error("nobody connected");
}

int udpSocket(uint16_t& port) {
    return boundSocket(SOCK_DGRAM, port);
}

uint16_t freePort(bool udp) {
    uint16_t port = 0;
    close(boundSocket(udp ? SOCK_DGRAM : SOCK_STREAM, port));
    return port;
}

void sendTo(int fd, uint16_t port, const std::vector<uint8_t>& bytes) {
    sockaddr_in address = loopback(port);
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
}

std::vector<uint8_t> receiveDatagram(int fd, int timeoutMs) {
    pollfd entry{fd, POLLIN, 0};
    std::vector<uint8_t> bytes(65536);
    ssize_t n = poll(&entry, 1, timeoutMs) == 1 ? recv(fd, bytes.data(), bytes.size(), 0) : 0;
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
}

std::vector<uint8_t> readToEnd(int fd, int* error) {
    std::vector<uint8_t> stream;
    uint8_t chunk[65536];
    ssize_t n;
    while ((n = recv(fd, chunk, sizeof chunk, 0)) > 0)
        stream.insert(stream.end(), chunk, chunk + n);
    if (error != nullptr)
        *error = n < 0 ? errno : 0;
    return stream;
}

void readExactly(int fd, std::vector<uint8_t>& into, size_t count) {
    uint8_t chunk[4096];
    while (into.size() < count) {
        ssize_t n = recv(fd, chunk, std::min(sizeof chunk, count - into.size()), 0);
        if (n <= 0)
            throw std::runtime_error("stream ended early");
        into.insert(into.end(), chunk, chunk + n);
    }
}

void sendBytes(int fd, const std::vector<uint8_t>& bytes) {
    if (send(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("send failed");
}

void closeSocket(int fd) {
    close(fd);
}

void resetAndClose(int fd) {
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
}
