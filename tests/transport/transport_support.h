// What the transport tests share: connections opened through the exports,
// devices on plain sockets, and reading back frames and log lines.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "open_params.h"
#include "quilvane_sdk.h"
#include "test_wire.h"

inline int openTcpClient(std::uint16_t port) {
    auto params = openParams(QUILVANE_TCP_CLIENT, "", 0, "127.0.0.1", port);
    return QUILVANE_Open(&params);
}

inline int openTcpServer(std::uint16_t port) {
    auto params = openParams(QUILVANE_TCP_SERVER, "", port);
    return QUILVANE_Open(&params);
}

// A TCP client connection whose device is a plain socket of the test.
struct ClientAndDevice {
    std::uint16_t port = 0;
    int listener = tcpListen(port);
    int handle = openTcpClient(port);
    int device = tcpAccept(listener);
    ~ClientAndDevice() {
        closeSocket(device);
        closeSocket(listener);
    }
};

// Reads until `count` frames came or `seconds` passed; a queue that does not
// exist yet answers at once, so empty answers are spaced out.
inline std::vector<CanFrame> receiveFrames(int handle, int channel, std::size_t count, int seconds = 10) {
    std::vector<CanFrame> got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    CanFrame buffer[256];
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
        const int n = QUILVANE_Recv_CAN(handle, channel, buffer, 256);
        if (n < 0)
            break;
        if (n == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

// A device connected to the server `handle` on `port`, known to be accepted
// once its frame `id` reached the handle.
inline int connectDevice(int handle, std::uint16_t port, std::uint32_t id) {
    const int fd = tcpConnect(port);
    sendBytes(fd, buildPacket(1, {{1, 0, id, 0, 0, {0}}}));
    const auto got = receiveFrames(handle, 0, 1);
    EXPECT_TRUE(got.size() == 1 && got[0].id == id) << "device " << id << " was not accepted";
    return fd;
}

// Lines of captured output equal to `line`, or only starting with it.
inline int countLines(const std::string& text, const std::string& line, bool prefix = false) {
    std::istringstream lines(text);
    int n = 0;
    for (std::string l; std::getline(lines, l);)
        n += prefix ? l.starts_with(line) : l == line;
    return n;
}
