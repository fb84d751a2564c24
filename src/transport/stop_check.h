// How long a transport's thread waits on its socket before it looks again
// whether it should stop. A close waits at most about this long for each
// thread; shorter costs idle wake-ups.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/net.h"

namespace quilvane {

inline constexpr int kStopCheckMs = 50;

// sendWhole gave up because its connection is closing.
inline constexpr int kSendStopped = -3;

// Sends every byte. A device that does not read fills the buffers: the wait
// for room goes on in pieces until `keepGoing` is cleared (kSendStopped).
// Otherwise the length, or -1 (net::lastError() tells why).
inline int sendWhole(net::Socket s, const std::uint8_t* data, int length,
                     const std::atomic<bool>& keepGoing) {
    for (int sent = 0; sent < length;) {
        const int n = net::sendWithin(s, data + sent, length - sent, kStopCheckMs);
        if (n >= 0)
            sent += n;
        else if (n != net::kWaitTimedOut)
            return -1;
        else if (!keepGoing.load())
            return kSendStopped;
    }
    return length;
}

}  // namespace quilvane
