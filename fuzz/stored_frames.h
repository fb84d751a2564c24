// What the receive frame store holds after a target fed it.
#pragma once

#include <cstring>
#include <map>
#include <vector>

#include "buffering/receive_frame_store.h"
#include "fuzz_check.h"

namespace quilvane::fuzz {

// Takes the handle's frames out of the store: exactly `expected` must be
// there on each channel that `expected` uses, in order. Other channels are
// not looked at: an existing empty queue makes pop wait.
template <class Frames>
void checkStored(std::int32_t handle, const Frames& expected) {
    std::map<std::uint8_t, std::vector<CanFrame>> byChannel;
    for (const CanFrame& f : expected)
        byChannel[f.channel].push_back(f);
    for (const auto& [channel, frames] : byChannel) {
        // One more than expected: extra frames would show, and a queue that
        // holds frames never waits.
        std::vector<CanFrame> out(frames.size() + 1);
        const auto n = ReceiveFrameStore::instance()->pop(handle, channel, out.data(),
                                                          static_cast<std::int32_t>(out.size()));
        check(n == static_cast<std::int32_t>(frames.size()) &&
              std::memcmp(out.data(), frames.data(), frames.size() * sizeof(CanFrame)) == 0);
    }
}

}  // namespace quilvane::fuzz
