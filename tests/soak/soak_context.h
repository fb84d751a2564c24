// What every lane of the soak shares: the log, the tally, the seed and the
// moment after which no new run starts.
#pragma once

#include <chrono>
#include <cstdint>

#include "log_capture.h"
#include "quilvane_sdk.h"
#include "soak_tally.h"

using SoakClock = std::chrono::steady_clock;

struct SoakContext {
    const LogCapture& log;
    SoakTally& tally;
    std::uint32_t seed;
    SoakClock::time_point deadline;

    bool running() const { return SoakClock::now() < deadline; }
};

// A frame the application sends now and then on a lane's handle.
inline CanFrame applicationFrame(std::uint32_t n) {
    CanFrame f{};
    f.id = 0x7F0 + n % 8;
    f.channel = static_cast<std::uint8_t>(n % 4);
    f.dataLength = 4;
    for (int i = 0; i < 4; ++i)
        f.data[i] = static_cast<std::uint8_t>(n >> (8 * i));
    return f;
}
