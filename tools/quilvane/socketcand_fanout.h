// The device's side of the socketcand bridge: a thread per offered channel
// reads the device's frames and hands each to the queues of the clients
// that opened that channel, then wakes the network thread; one more thread
// empties the channels no bus offers, so that the library does not keep
// their frames. Per channel it counts what the device received and was sent,
// for the clients' statistics.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "socketcand_frame_queue.h"
#include "tool_sockets.h"

class LinkSession;

namespace socketcand {

class DeviceFanout {
  public:
    DeviceFanout(LinkSession& link, const std::vector<int>& channels, const toolnet::Waker& waker);
    ~DeviceFanout() { stop(); }
    DeviceFanout(const DeviceFanout&) = delete;
    DeviceFanout& operator=(const DeviceFanout&) = delete;

    void start();
    void stop();
    // A read failed: the connection is no longer open.
    bool failed() const { return failed_.load(); }

    void attach(int channel, const std::shared_ptr<FrameQueue>& queue);
    void detach(const std::shared_ptr<FrameQueue>& queue);
    // The network thread clears it before it drains the waker.
    void clearWake() { wakePending_.store(false); }

    BusCounters counters(int channel) const;
    void noteSent(const CanFrame& frame);
    std::uint64_t framesFromDevice() const;
    std::uint64_t framesOnOtherChannels() const { return otherChannels_.load(); }

  private:
    struct Counters {
        std::atomic<std::uint64_t> rxBytes{0}, rxFrames{0}, txBytes{0}, txFrames{0};
    };

    void readChannel(int channel);
    void drainOthers();
    void deliver(int channel, const std::vector<QueuedFrame>& frames);

    LinkSession& link_;
    std::vector<int> channels_;
    const toolnet::Waker& waker_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> failed_{false};
    std::atomic<bool> wakePending_{false};
    std::vector<std::thread> threads_;
    mutable std::mutex mutex_;
    std::array<std::vector<std::shared_ptr<FrameQueue>>, 256> queues_;
    std::array<Counters, 256> counters_;
    std::atomic<std::uint64_t> otherChannels_{0};
};

}  // namespace socketcand
