// Helpers for tests that drive the library through its exports against the
// simulator or plain sockets on loopback.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "open_params.h"
#include "quilvane_sdk.h"
#include "test_wire.h"

inline CanFrame makeFrame(std::uint32_t id, std::vector<std::uint8_t> data, std::uint8_t channel = 0) {
    CanFrame f{};
    f.id = id;
    f.channel = channel;
    f.dataLength = static_cast<std::uint8_t>(data.size());
    for (std::size_t i = 0; i < data.size(); ++i)
        f.data[i] = data[i];
    return f;
}

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

inline void expectSameFrame(const CanFrame& got, const CanFrame& want) {
    EXPECT_EQ(got.id, want.id & 0x1FFFFFFFu);
    EXPECT_EQ(got.flags, want.flags);
    EXPECT_EQ(got.channel, want.channel);
    ASSERT_EQ(got.dataLength, want.dataLength);
    EXPECT_EQ(std::vector<std::uint8_t>(got.data, got.data + got.dataLength),
              std::vector<std::uint8_t>(want.data, want.data + want.dataLength));
}

// Lines of captured output equal to `line`, or only starting with it.
inline int countLines(const std::string& text, const std::string& line, bool prefix = false) {
    int n = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::size_t length = prefix ? line.size() : end - start;
        if ((prefix || end - start == line.size()) && text.compare(start, length, line) == 0)
            ++n;
        start = end + 1;
    }
    return n;
}

inline int openTcpClient(std::uint16_t port, const std::string& localIp = "", std::uint16_t localPort = 0) {
    auto params = openParams(QUILVANE_TCP_CLIENT, localIp, localPort, "127.0.0.1", port);
    return QUILVANE_Open(&params);
}

// Waits, up to a bound, for something that other threads bring about.
template <class Condition>
bool eventually(Condition&& condition, int seconds = 10) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A loopback port nobody listens on: the system's choice, released again.
inline std::uint16_t closedPort() {
    std::uint16_t port = 0;
    ::close(tcpListen(port));
    return port;
}
