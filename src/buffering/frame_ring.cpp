#include "buffering/frame_ring.h"

#include <algorithm>
#include <cstring>

namespace quilvane {
namespace {

constexpr std::size_t kInitialCapacity = 64;

// Copies `count` frames from a ring of `capacity` slots starting at `from` to
// a flat array, in at most two pieces.
void copyOut(const CanFrame* slots, std::size_t capacity, std::size_t from, std::size_t count,
             CanFrame* out) {
    const std::size_t first = std::min(count, capacity - from);
    std::memcpy(out, slots + from, first * sizeof(CanFrame));
    std::memcpy(out + first, slots, (count - first) * sizeof(CanFrame));
}

}  // namespace

void FrameRing::append(const CanFrame* frames, std::size_t count, std::size_t bound) {
    if (count == 0 || bound == 0)
        return;
    if (count > bound) {
        // Only the newest `bound` frames survive.
        frames += count - bound;
        count = bound;
    }
    // Grown before anything is dropped, so that a failed allocation changes nothing.
    const std::size_t kept = std::min(size_, bound - count);
    if (kept + count > capacity_)
        grow(kept + count, bound);
    dropOldest(size_ - kept);

    const std::size_t tail = (head_ + size_) % capacity_;
    const std::size_t first = std::min(count, capacity_ - tail);
    std::memcpy(slots_.get() + tail, frames, first * sizeof(CanFrame));
    std::memcpy(slots_.get(), frames + first, (count - first) * sizeof(CanFrame));
    size_ += count;
}

std::size_t FrameRing::take(CanFrame* out, std::size_t maxCount) {
    const std::size_t count = std::min(size_, maxCount);
    if (count == 0)
        return 0;
    copyOut(slots_.get(), capacity_, head_, count, out);
    dropOldest(count);
    return count;
}

void FrameRing::release() {
    slots_.reset();
    capacity_ = 0;
    head_ = 0;
    size_ = 0;
}

void FrameRing::grow(std::size_t needed, std::size_t bound) {
    std::size_t capacity = std::max(capacity_ * 2, kInitialCapacity);
    while (capacity < needed)
        capacity *= 2;
    capacity = std::min(capacity, bound);
    auto slots = std::make_unique_for_overwrite<CanFrame[]>(capacity);
    if (size_ > 0)
        copyOut(slots_.get(), capacity_, head_, size_, slots.get());
    slots_ = std::move(slots);
    capacity_ = capacity;
    head_ = 0;
}

void FrameRing::dropOldest(std::size_t count) {
    size_ -= count;
    // An empty ring starts again at slot 0, so later copies stay in one piece.
    head_ = size_ == 0 ? 0 : (head_ + count) % capacity_;
}

}  // namespace quilvane
