#include "socketcand_frame_queue.h"

#include <algorithm>

#include "text_format.h"

namespace socketcand {

bool FrameQueue::push(const QueuedFrame* frames, std::size_t count) {
    std::lock_guard lock(mutex_);
    const bool wasEmpty = size_ == 0;
    for (std::size_t i = 0; i < count; ++i) {
        const QueuedFrame& f = frames[i];
        if (!wanted(f.frame.id))
            continue;
        if (isFdFrame(f.frame)) {
            ++counts_.fdSkipped;
        } else if (size_ == ring_.size()) {
            ++counts_.dropped;
        } else {
            ring_[(head_ + size_++) % ring_.size()] = f;
        }
    }
    return wasEmpty && size_ > 0;
}

void FrameQueue::pop(std::vector<QueuedFrame>& out, std::size_t max) {
    std::lock_guard lock(mutex_);
    const std::size_t n = std::min(max, size_);
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(ring_[head_]);
        head_ = (head_ + 1) % ring_.size();
    }
    size_ -= n;
}

void FrameQueue::setInterest(Interest interest) {
    std::lock_guard lock(mutex_);
    interest_ = std::move(interest);
}

QueueCounts FrameQueue::counts() const {
    std::lock_guard lock(mutex_);
    return counts_;
}

bool FrameQueue::wanted(std::uint32_t id) const {
    return interest_.all || std::binary_search(interest_.ids.begin(), interest_.ids.end(), id);
}

}  // namespace socketcand
