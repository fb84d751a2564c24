// The frames waiting for one socketcand client, between the threads that
// read the device and the thread that writes to clients. Bounded: when it is
// full a frame is dropped and counted, so that a client that reads slowly
// holds up neither the device nor the other clients. Only the frames the
// client asked for enter it; CAN FD frames never do (socketcand's frame
// message has no room for their flags and length), they are counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "quilvane_sdk.h"
#include "socketcand_session.h"

namespace socketcand {

struct QueuedFrame {
    CanFrame frame;
    std::uint64_t micros;  // the time the client is shown
};

struct QueueCounts {
    std::uint64_t dropped = 0;
    std::uint64_t fdSkipped = 0;
};

class FrameQueue {
  public:
    explicit FrameQueue(std::size_t capacity) : ring_(capacity) {}

    // True when the queue was empty before: the writer should be woken.
    bool push(const QueuedFrame* frames, std::size_t count);
    // Moves up to `max` frames to the end of `out`.
    void pop(std::vector<QueuedFrame>& out, std::size_t max);
    void setInterest(Interest interest);
    QueueCounts counts() const;

  private:
    bool wanted(std::uint32_t id) const;

    mutable std::mutex mutex_;
    std::vector<QueuedFrame> ring_;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
    Interest interest_;
    QueueCounts counts_;
};

}  // namespace socketcand
