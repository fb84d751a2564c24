#include "test_wire.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

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

// The few calls in which Winsock differs. A socket fits in an int: Windows
// handles carry 32 significant bits.
#if defined(_WIN32)
#define lastError WSAGetLastError
constexpr int kConnectUnderWay = WSAEWOULDBLOCK;
const DWORD kReadTimeout = 10000;  // ms
#define poll WSAPoll
#else
#define lastError() errno
constexpr int kConnectUnderWay = EINPROGRESS;
const timeval kReadTimeout{10, 0};
#define closesocket close
#endif

int openSocket(int type, bool nonBlocking = false) {
#if defined(_WIN32)
    // Started once per process; the library starts its own use apart.
    [[maybe_unused]] static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    const int fd = static_cast<int>(socket(AF_INET, type, 0));
    u_long on = 1;
    if (fd >= 0 && nonBlocking)
        ioctlsocket(fd, FIONBIO, &on);
    return fd;
#else
    return socket(AF_INET, type | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
#endif
}

bool readable(int fd, int timeoutMs) {
    pollfd entry{static_cast<decltype(pollfd::fd)>(fd), POLLIN, 0};
    return poll(&entry, 1, timeoutMs) == 1;
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int withTimeout(int fd) {
    // No test read may hang.
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&kReadTimeout),
               sizeof kReadTimeout);
    return fd;
}

int boundSocket(int type, uint16_t& port) {
    int fd = openSocket(type);
#if defined(_WIN32)
    // Windows lets a socket with SO_REUSEADDR take over a port in use unless
    // its holder forbids it; Linux never does.
    const int exclusive = 1;
    setsockopt(fd, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
#endif
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
        packet.checksumOk = std::accumulate(b, b + n + 6, uint8_t{0}, std::bit_xor<uint8_t>()) == b[n + 6];
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

int tcpListen(uint16_t& port, int backlog) {
    const int fd = boundSocket(SOCK_STREAM, port);
    return listen(fd, backlog) == 0 ? fd : throw std::runtime_error("listen failed");
}

int tcpConnect(uint16_t port, bool wait) {
    const int fd = openSocket(SOCK_STREAM, !wait);
    const sockaddr_in address = loopback(port);
    const bool connected = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
                           (!wait && lastError() == kConnectUnderWay);
    return connected ? withTimeout(fd) : throw std::runtime_error("connect failed");
}

int tcpAccept(int listener) {
    // A poll bounds the wait: Winsock's read time-out does not cover accept.
    const int fd = readable(listener, 10000) ? static_cast<int>(accept(listener, nullptr, nullptr)) : -1;
    return fd >= 0 ? withTimeout(fd) : throw std::runtime_error("nobody connected");
}

int udpSocket(uint16_t& port) {
    return boundSocket(SOCK_DGRAM, port);
}

uint16_t freePort(bool udp) {
    uint16_t port = 0;
    closesocket(boundSocket(udp ? SOCK_DGRAM : SOCK_STREAM, port));
    return port;
}

void sendTo(int fd, uint16_t port, const std::vector<uint8_t>& bytes) {
    sockaddr_in address = loopback(port);
    sendto(fd, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0,
           reinterpret_cast<sockaddr*>(&address), sizeof address);
}

std::vector<uint8_t> receiveDatagram(int fd) {
    std::vector<uint8_t> bytes(65536);
    const int n =
        readable(fd, 5000) ? static_cast<int>(recv(fd, reinterpret_cast<char*>(bytes.data()), 65536, 0)) : 0;
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
}

std::vector<uint8_t> readToEnd(int fd, int* error) {
    std::vector<uint8_t> stream;
    uint8_t chunk[65536];
    int n;
    while ((n = static_cast<int>(recv(fd, reinterpret_cast<char*>(chunk), sizeof chunk, 0))) > 0)
        stream.insert(stream.end(), chunk, chunk + n);
    if (error != nullptr)
        *error = n < 0 ? lastError() : 0;
    return stream;
}

void readExactly(int fd, std::vector<uint8_t>& into, size_t count) {
    uint8_t chunk[4096];
    while (into.size() < count) {
        const int n =
            static_cast<int>(recv(fd, reinterpret_cast<char*>(chunk),
                                  static_cast<int>(std::min(sizeof chunk, count - into.size())), 0));
        if (n <= 0)
            throw std::runtime_error("stream ended early");
        into.insert(into.end(), chunk, chunk + n);
    }
}

void sendBytes(int fd, const std::vector<uint8_t>& bytes) {
    const int size = static_cast<int>(bytes.size());
    if (send(fd, reinterpret_cast<const char*>(bytes.data()), size, 0) != size)
        throw std::runtime_error("send failed");
}

void closeSocket(int fd) {
    closesocket(fd);
}

void resetAndClose(int fd) {
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
    closesocket(fd);
}
