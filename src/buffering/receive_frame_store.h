// Received frames waiting for the application, one bounded queue per
// connection handle and device channel.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <span>

#include "buffering/frame_ring.h"
#include "common/singleton.h"
#include "quilvane_sdk.h"

namespace quilvane {

class ReceiveFrameStore {
  public:
    // The process-wide store, created on first use; nullptr once
    // destroyInstance() ran.
    static ReceiveFrameStore* instance();
    // Frees the store and everything in it; waiting readers are not woken,
    // so nothing may be inside pop or clear.
    static void destroyInstance();

    static constexpr std::size_t kMaxFramesPerQueue = 204800;
    // What the queues of every handle and channel together may hold.
    static constexpr std::size_t kBudgetFrames = QUILVANE_RECEIVE_BUDGET_BYTES / sizeof(CanFrame);

    // Files each frame in the queue of its channel, dropping the oldest frames
    // of a queue beyond kMaxFramesPerQueue, and wakes every waiting reader
    // (once, also for an empty push). Creates the handle's entry. A queue
    // that cannot grow within the budget keeps its size and drops as a full
    // one does, with a line when such drops begin and one when memory given
    // back ends them.
    // Throws std::bad_alloc when memory runs out; what was filed stays.
    void push(std::int32_t handle, std::span<const CanFrame> frames);

    // Moves up to maxCount of the oldest frames of (handle, low 8 bits of
    // channel) into out. When that queue exists but is empty, waits up to
    // 2 ms for frames; when it was never created, returns 0 at once.
    std::int32_t pop(std::int32_t handle, std::int32_t channel, CanFrame* out, std::int32_t maxCount);

    // Empties every channel queue of the handle and releases their memory;
    // the queues themselves stay.
    void clear(std::int32_t handle);

  private:
    friend class Singleton<ReceiveFrameStore>;
    ReceiveFrameStore();
    ~ReceiveFrameStore();

    using ChannelQueues = std::map<std::uint8_t, FrameRing>;

    void append(FrameRing& queue, const CanFrame* frames, std::size_t count);
    void releaseQueue(FrameRing& queue);

    std::mutex mutex_;
    std::condition_variable arrived_;
    std::map<std::int32_t, ChannelQueues> handles_;
    const std::size_t budgetFrames_;
    // Frames the queues' buffers have room for, all queues together.
    std::size_t allocatedFrames_ = 0;
    // Frames the budget dropped since the drops began; none while it is 0.
    std::size_t budgetDrops_ = 0;
};

}  // namespace quilvane
