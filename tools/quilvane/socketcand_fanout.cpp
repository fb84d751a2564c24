#include "socketcand_fanout.h"

#include <algorithm>
#include <chrono>

#include "connection.h"

namespace socketcand {

namespace {

constexpr int kBatch = 256;

std::uint64_t hostMicros() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

// QUILVANE_Recv_CAN returns at once, without waiting, on a channel that never
// had a frame; a short nap then keeps the thread from spinning.
void napIfQuick(std::chrono::steady_clock::time_point callStart) {
    if (std::chrono::steady_clock::now() - callStart < std::chrono::microseconds(500))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace

DeviceFanout::DeviceFanout(LinkSession& link, const std::vector<int>& channels, const toolnet::Waker& waker)
    : link_(link), channels_(channels), waker_(waker) {
    std::sort(channels_.begin(), channels_.end());
    channels_.erase(std::unique(channels_.begin(), channels_.end()), channels_.end());
}

void DeviceFanout::start() {
    for (const int channel : channels_)
        threads_.emplace_back(&DeviceFanout::readChannel, this, channel);
    if (channels_.size() < 256)
        threads_.emplace_back(&DeviceFanout::drainOthers, this);
}

void DeviceFanout::stop() {
    stopping_.store(true);
    for (std::thread& thread : threads_)
        thread.join();
    threads_.clear();
}

void DeviceFanout::attach(int channel, const std::shared_ptr<FrameQueue>& queue) {
    std::lock_guard lock(mutex_);
    queues_[static_cast<std::size_t>(channel)].push_back(queue);
}

void DeviceFanout::detach(const std::shared_ptr<FrameQueue>& queue) {
    std::lock_guard lock(mutex_);
    for (auto& list : queues_)
        std::erase(list, queue);
}

BusCounters DeviceFanout::counters(int channel) const {
    const Counters& c = counters_[static_cast<std::size_t>(channel & 0xFF)];
    return {c.rxBytes.load(), c.rxFrames.load(), c.txBytes.load(), c.txFrames.load()};
}

void DeviceFanout::noteSent(const CanFrame& frame) {
    Counters& c = counters_[frame.channel];
    c.txFrames.fetch_add(1);
    c.txBytes.fetch_add(std::min<std::uint8_t>(frame.dataLength, 64));
}

std::uint64_t DeviceFanout::framesFromDevice() const {
    std::uint64_t total = otherChannels_.load();
    for (const int channel : channels_)
        total += counters_[static_cast<std::size_t>(channel)].rxFrames.load();
    return total;
}

void DeviceFanout::readChannel(int channel) {
    std::vector<CanFrame> batch(kBatch);
    std::vector<QueuedFrame> frames;
    Counters& counters = counters_[static_cast<std::size_t>(channel)];
    while (!stopping_.load()) {
        const auto callStart = std::chrono::steady_clock::now();
        const int n = link_.receive(channel, batch.data(), kBatch);
        if (n < 0) {
            failed_.store(true);
            waker_.wake();
            return;
        }
        if (n == 0) {
            napIfQuick(callStart);
            continue;
        }
        const std::uint64_t readAt = hostMicros();
        frames.clear();
        std::uint64_t bytes = 0;
        for (int i = 0; i < n; ++i) {
            const CanFrame& frame = batch[static_cast<std::size_t>(i)];
            // The device's clock when it stamps its frames, else the host's at read.
            frames.push_back({frame, frame.timestamp != 0 ? frame.timestamp : readAt});
            bytes += std::min<std::uint8_t>(frame.dataLength, 64);
        }
        counters.rxFrames.fetch_add(static_cast<std::uint64_t>(n));
        counters.rxBytes.fetch_add(bytes);
        deliver(channel, frames);
    }
}

void DeviceFanout::deliver(int channel, const std::vector<QueuedFrame>& frames) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        for (const auto& queue : queues_[static_cast<std::size_t>(channel)])
            wake = queue->push(frames.data(), frames.size()) || wake;
    }
    if (wake && !wakePending_.exchange(true))
        waker_.wake();
}

void DeviceFanout::drainOthers() {
    std::vector<CanFrame> batch(kBatch);
    std::vector<bool> offered(256, false);
    for (const int channel : channels_)
        offered[static_cast<std::size_t>(channel)] = true;
    while (!stopping_.load()) {
        bool got = false;
        for (int channel = 0; channel < 256 && !stopping_.load(); ++channel) {
            if (offered[static_cast<std::size_t>(channel)])
                continue;
            const int n = link_.receive(channel, batch.data(), kBatch);
            if (n > 0) {
                otherChannels_.fetch_add(static_cast<std::uint64_t>(n));
                got = true;
            }
        }
        // Their frames are only thrown away: no hurry.
        if (!got)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace socketcand
