#include "buffering/receive_frame_store.h"

#include <algorithm>
#include <chrono>
#include <new>

#include "common/fault_injection.h"
#include "common/log.h"
#include "common/log_lines.h"

namespace quilvane {

ReceiveFrameStore* ReceiveFrameStore::instance() {
    return Singleton<ReceiveFrameStore>::instance();
}

void ReceiveFrameStore::destroyInstance() {
    Singleton<ReceiveFrameStore>::destroy();
}

ReceiveFrameStore::ReceiveFrameStore()
    : budgetFrames_(faults::receiveBudgetFrames.load() != 0 ? faults::receiveBudgetFrames.load() : kBudgetFrames) {}

ReceiveFrameStore::~ReceiveFrameStore() {
    std::lock_guard lock(mutex_);
    handles_.clear();
}

void ReceiveFrameStore::push(std::int32_t handle, std::span<const CanFrame> frames) {
    std::lock_guard lock(mutex_);
    if (faults::take(faults::storeAllocationsToFail))
        throw std::bad_alloc();
    ChannelQueues& channels = handles_[handle];
    // A pass usually carries one channel's frames: append runs of one
    // channel at a time and trim each queue once per run.
    for (auto run = frames.begin(); run != frames.end();) {
        const std::uint8_t channel = run->channel;
        const auto runEnd =
            std::find_if(run, frames.end(), [channel](const CanFrame& f) { return f.channel != channel; });
        append(channels[channel], &*run, static_cast<std::size_t>(runEnd - run));
        run = runEnd;
    }
    arrived_.notify_all();
}

void ReceiveFrameStore::append(FrameRing& queue, const CanFrame* frames, std::size_t count) {
    const std::size_t before = queue.capacity();
    const std::size_t room = budgetFrames_ - std::min(allocatedFrames_, budgetFrames_);
    const std::size_t bound = std::min(kMaxFramesPerQueue, before + room);
    const std::size_t total = queue.size() + count;
    queue.append(frames, count, bound);
    allocatedFrames_ += queue.capacity() - before;

    // What the smaller bound lost beyond what the queue's own bound would have.
    const auto beyond = [total](std::size_t limit) { return total > limit ? total - limit : 0; };
    const std::size_t dropped = beyond(bound) - beyond(kMaxFramesPerQueue);
    if (dropped != 0) {
        if (budgetDrops_ == 0)
            logError(log_lines::kReceiveBudgetFull);
        budgetDrops_ += dropped;
    } else if (budgetDrops_ != 0 && allocatedFrames_ < budgetFrames_) {
        // Over only once memory was given back: while the budget stays
        // spent, queues with room left take frames between others' drops.
        logError(log_lines::kReceiveBudgetDropped, budgetDrops_);
        budgetDrops_ = 0;
    }
}

void ReceiveFrameStore::releaseQueue(FrameRing& queue) {
    allocatedFrames_ -= queue.capacity();
    queue.release();
}

std::int32_t ReceiveFrameStore::pop(std::int32_t handle, std::int32_t channel, CanFrame* out,
                                    std::int32_t maxCount) {
    std::unique_lock lock(mutex_);
    const auto channels = handles_.find(handle);
    if (channels == handles_.end())
        return 0;
    const auto found = channels->second.find(static_cast<std::uint8_t>(channel & 0xFF));
    if (found == channels->second.end())
        return 0;

    // Entries are never removed while the store lives, so the queue outlives
    // the wait.
    FrameRing& queue = found->second;
    if (queue.empty()) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(2);
        arrived_.wait_until(lock, deadline, [&queue] { return !queue.empty(); });
    }
    if (maxCount <= 0 || out == nullptr)
        return 0;
    return static_cast<std::int32_t>(queue.take(out, static_cast<std::size_t>(maxCount)));
}

void ReceiveFrameStore::clear(std::int32_t handle) {
    std::lock_guard lock(mutex_);
    const auto channels = handles_.find(handle);
    if (channels == handles_.end())
        return;
    for (auto& [channel, queue] : channels->second)
        releaseQueue(queue);
}

}  // namespace quilvane
