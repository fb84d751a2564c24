// One bounded first-in first-out queue of frames in a circular buffer.
#pragma once

#include <cstddef>
#include <memory>

#include "quilvane_sdk.h"

namespace quilvane {

// Grows by doubling up to its bound and then stays: pushing and popping
// allocate nothing once the buffer fits the traffic. A queue with one
// producer and one consumer thread otherwise frees on the consumer what the
// producer allocated, which the C library's per-thread heaps pay for dearly.
// Memory is given back only by release().
class FrameRing {
  public:
    bool empty() const { return size_ == 0; }
    std::size_t size() const { return size_; }
    // Frames the buffer has room for: what the ring's memory holds.
    std::size_t capacity() const { return capacity_; }

    // Appends `count` frames; beyond `bound` frames the oldest are dropped.
    // Throws std::bad_alloc, changing nothing, when the buffer cannot grow.
    void append(const CanFrame* frames, std::size_t count, std::size_t bound);
    // Moves up to maxCount of the oldest frames to `out`; returns how many.
    std::size_t take(CanFrame* out, std::size_t maxCount);
    // Empties the queue and frees its buffer.
    void release();

  private:
    void grow(std::size_t needed, std::size_t bound);
    void dropOldest(std::size_t count);

    std::unique_ptr<CanFrame[]> slots_;
    std::size_t capacity_ = 0;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
};

}  // namespace quilvane
