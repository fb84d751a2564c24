// What the transport tests read back through the exports: the frames of a
// handle and channel, and the log lines of captured output.
#pragma once

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "quilvane_sdk.h"

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
