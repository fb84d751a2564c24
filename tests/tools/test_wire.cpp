#include "test_wire.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace {

uint64_t bigEndian(const uint8_t* bytes, size_t count) {
    uint64_t value = 0;
    for (size_t i = 0; i < count; ++i) {
        value = value << 8 | bytes[i];
    }
    return value;
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

uint16_t boundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

int boundSocket(int type, uint16_t& port) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in address = loopback(0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("bind failed");
    }
    timeval timeout{10, 0};  // no test read may hang
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    port = boundPort(fd);
    return fd;
}

}  // namespace

std::vector<WirePacket> splitPackets(const std::vector<uint8_t>& stream, std::vector<uint8_t>* rest) {
    std::vector<WirePacket> packets;
    size_t p = 0;
    while (stream.size() - p >= 7) {
        const size_t n = bigEndian(&stream[p + 4], 2);
        if (stream.size() - p < n + 7) {
            break;
        }
        WirePacket packet;
        packet.bytes.assign(stream.begin() + p, stream.begin() + p + n + 7);
        uint8_t sum = 0;
        for (size_t i = 0; i < n + 6; ++i) {
            sum ^= packet.bytes[i];
        }
        packet.checksumOk = sum == packet.bytes[n + 6];
        const size_t size = packet.bytes[1] == 0 ? 24 : 80;
        for (size_t at = 6; at + size <= n + 6; at += size) {
            const uint8_t* r = &packet.bytes[at];
            packet.frames.push_back({packet.bytes[1], bigEndian(r, 8),
                                     static_cast<uint32_t>(bigEndian(r + 8, 4)),
                                     static_cast<uint16_t>(bigEndian(r + 12, 2)), r[14],
                                     std::vector<uint8_t>(r + 16, r + 16 + std::min<size_t>(r[15], size - 16))});
        }
        packets.push_back(std::move(packet));
        p += n + 7;
    }
    if (rest != nullptr) {
        rest->assign(stream.begin() + p, stream.end());
    }
    return packets;
}

std::vector<uint8_t> buildPacket(uint8_t type, const std::vector<WireFrame>& frames) {
    const size_t size = type == 0 ? 24 : 80;
    std::vector<uint8_t> bytes(6 + size * frames.size() + 1, 0);
    bytes[0] = 0x55;
    bytes[1] = type;
    bytes[4] = static_cast<uint8_t>(size * frames.size() >> 8);
    bytes[5] = static_cast<uint8_t>(size * frames.size());
    for (size_t f = 0; f < frames.size(); ++f) {
        uint8_t* r = &bytes[6 + f * size];
        for (int i = 0; i < 8; ++i) {
            r[i] = static_cast<uint8_t>(frames[f].timestamp >> (56 - 8 * i));
        }
        for (int i = 0; i < 4; ++i) {
            r[8 + i] = static_cast<uint8_t>(frames[f].id >> (24 - 8 * i));
        }
        r[12] = static_cast<uint8_t>(frames[f].flags >> 8);
        r[13] = static_cast<uint8_t>(frames[f].flags);
        r[14] = frames[f].channel;
        r[15] = static_cast<uint8_t>(frames[f].data.size());
        std::copy(frames[f].data.begin(), frames[f].data.end(), r + 16);
    }
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        bytes.back() ^= bytes[i];
    }
    return bytes;
}

int tcpListen(uint16_t& port) {
    int fd = boundSocket(SOCK_STREAM, port);
    listen(fd, 8);
    return fd;
}

int tcpConnect(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("connect failed");
    }
    timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
}

int tcpAccept(int listener) {
    pollfd entry{listener, POLLIN, 0};
    if (poll(&entry, 1, 10000) != 1) {
        throw std::runtime_error("nobody connected");
    }
    int fd = accept(listener, nullptr, nullptr);
    timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
}

int udpSocket(uint16_t& port) {
    return boundSocket(SOCK_DGRAM, port);
}

void sendTo(int fd, uint16_t port, const std::vector<uint8_t>& bytes) {
    sockaddr_in address = loopback(port);
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
}

std::vector<uint8_t> receiveDatagram(int fd, int timeoutMs) {
    pollfd entry{fd, POLLIN, 0};
    std::vector<uint8_t> bytes(65536);
    if (poll(&entry, 1, timeoutMs) != 1) {
        return {};
    }
    ssize_t n = recv(fd, bytes.data(), bytes.size(), 0);
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
}

std::vector<uint8_t> readToEnd(int fd, int* error) {
    std::vector<uint8_t> stream;
    uint8_t chunk[65536];
    ssize_t n;
    while ((n = recv(fd, chunk, sizeof chunk, 0)) > 0) {
        stream.insert(stream.end(), chunk, chunk + n);
    }
    if (error != nullptr) {
        *error = n < 0 ? errno : 0;
    }
    return stream;
}

void readExactly(int fd, std::vector<uint8_t>& into, size_t count) {
    uint8_t chunk[4096];
    while (into.size() < count) {
        ssize_t n = recv(fd, chunk, std::min(sizeof chunk, count - into.size()), 0);
        if (n <= 0) {
            throw std::runtime_error("stream ended early");
        }
        into.insert(into.end(), chunk, chunk + n);
    }
}

uint8_t rotateRight2(uint8_t byte) {
    return static_cast<uint8_t>(byte >> 2 | byte << 6);
}

uint8_t crc8(const std::vector<uint8_t>& bytes, size_t count) {
    uint8_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint8_t>(crc & 0x80 ? crc << 1 ^ 0x07 : crc << 1);
        }
    }
    return crc ^ 0x55;
}
