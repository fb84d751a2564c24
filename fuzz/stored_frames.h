// What the receive frame store holds after a target fed it.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "buffering/receive_frame_store.h"
#include "fuzz_check.h"
#include "quilvane_sdk.h"

namespace quilvane::fuzz {

inline bool sameFrame(const CanFrame& a, const CanFrame& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Takes the handle's frames out of the store: exactly `expected` must be
// there on each channel that `expected` uses, in order. Other channels are
// not looked at: an existing empty queue makes pop wait.
template <class Frames>
void checkStored(std::int32_t handle, const Frames& expected) {
    std::map<std::uint8_t, std::vector<CanFrame>> byChannel;
    for (const CanFrame& f : expected)
        byChannel[f.channel].push_back(f);
    ReceiveFrameStore* store = ReceiveFrameStore::instance();
    for (const auto& [channel, frames] : byChannel) {
        // One more than expected: extra frames would show, and a queue that
        // holds frames never waits.
        std::vector<CanFrame> out(frames.size() + 1);
        const std::int32_t n = store->pop(handle, channel, out.data(), static_cast<std::int32_t>(out.size()));
        check(n == static_cast<std::int32_t>(frames.size()));
        for (std::size_t i = 0; i < frames.size(); ++i)
            check(sameFrame(out[i], frames[i]));
    }
}

}  // namespace quilvane::fuzz
