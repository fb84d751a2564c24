// The test's own view of the wire: a strict packet reader, packet building,
// and blocking loopback sockets whose reads time out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <tuple>
#include <vector>

struct WireFrame {
    uint8_t type = 1;  // record type of the packet it came in
    uint64_t timestamp = 0;
    uint32_t id = 0;
    uint16_t flags = 0;
    uint8_t channel = 0;
    std::vector<uint8_t> data;
};

// Every field, for comparisons whose failures print readably.
inline auto fieldsOf(const WireFrame& f) {
    return std::tuple(f.type, f.timestamp, f.id, f.flags, f.channel, f.data);
}

struct WirePacket {
    std::vector<uint8_t> bytes;
    bool checksumOk = false;
    std::vector<WireFrame> frames;
};

// Splits by the length fields; a trailing partial packet is left in `rest`.
std::vector<WirePacket> splitPackets(const std::vector<uint8_t>& bytes, std::vector<uint8_t>* rest = nullptr);
std::vector<uint8_t> buildPacket(uint8_t type, const std::vector<WireFrame>& frames);

// On 127.0.0.1, with Winsock on Windows; tcpListen and udpSocket bind a port
// the system chooses.
int tcpListen(uint16_t& port, int backlog = 8);
int tcpConnect(uint16_t port, bool wait = true);  // without waiting the connection may still be under way
int tcpAccept(int listener);
int udpSocket(uint16_t& port);
uint16_t freePort(bool udp = false);  // free a moment ago
void sendTo(int fd, uint16_t port, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> receiveDatagram(int fd);  // empty after 5 s
void sendBytes(int fd, const std::vector<uint8_t>& bytes);
void closeSocket(int fd);
void resetAndClose(int fd);  // the peer sees a reset, not an orderly end
// Reads until the peer closes; `error` gets the errno (on Windows the Winsock
// code) of a failed read, else 0.
std::vector<uint8_t> readToEnd(int fd, int* error = nullptr);
void readExactly(int fd, std::vector<uint8_t>& into, size_t count);
