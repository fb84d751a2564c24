// Helpers for tests that drive the library through its exports against the
// simulator or plain sockets on loopback.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "open_params.h"
#include "quilvane_sdk.h"
#include "sim_process.h"
#include "test_wire.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

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

// Lines of captured output equal to `line`, or only starting with it.
inline int countLines(const std::string& text, const std::string& line, bool prefix = false) {
    std::istringstream lines(text);
    int n = 0;
    for (std::string l; std::getline(lines, l);)
        n += prefix ? l.starts_with(line) : l == line;
    return n;
}

inline int openTcpClient(std::uint16_t port, std::uint16_t localPort = 0) {
    auto params = openParams(QUILVANE_TCP_CLIENT, "", localPort, "127.0.0.1", port);
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
