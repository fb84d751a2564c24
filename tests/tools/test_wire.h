// The test's own view of the wire: a strict packet reader, packet building,
// and blocking loopback sockets with time-outs.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

struct WireFrame {
    uint8_t type = 1;  // record type of the packet it came in
    uint64_t timestamp = 0;
    uint32_t id = 0;
    uint16_t flags = 0;
    uint8_t channel = 0;
    std::vector<uint8_t> data;
};

struct WirePacket {
    std::vector<uint8_t> bytes;
    bool checksumOk = false;
    std::vector<WireFrame> frames;
};

// Splits a stream into packets by their length fields; a trailing partial
// packet is left in `rest`.
std::vector<WirePacket> splitPackets(const std::vector<uint8_t>& stream,
                                     std::vector<uint8_t>* rest = nullptr);
std::vector<uint8_t> buildPacket(uint8_t type, const std::vector<WireFrame>& frames);

int tcpListen(uint16_t& port);  // on 127.0.0.1, port chosen by the system
int tcpConnect(uint16_t port);
int tcpAccept(int listener);
int udpSocket(uint16_t& port);  // bound to 127.0.0.1, port chosen by the system
void sendTo(int fd, uint16_t port, const std::vector<uint8_t>& bytes);
// One datagram, or empty after timeoutMs.
std::vector<uint8_t> receiveDatagram(int fd, int timeoutMs = 5000);
// Reads until the peer closes (or an error, reported in `error`).
std::vector<uint8_t> readToEnd(int fd, int* error = nullptr);
void readExactly(int fd, std::vector<uint8_t>& into, size_t count);

uint8_t rotateRight2(uint8_t byte);
uint8_t crc8(const std::vector<uint8_t>& bytes, size_t count);
