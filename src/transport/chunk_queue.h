// The bounded hand-over from a transport's reading threads to its processing
// thread: readers never decode, and a reader that outruns the processing
// thread loses chunks (with a message) instead of growing memory.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>

namespace quilvane {

template <class Chunk>
class ChunkQueue {
  public:
    static constexpr std::size_t kMaxChunks = 1000;

    // Queues the chunk, or calls onFull (with the queue's mutex held, so the
    // drop message stays in order with the queue) and drops it.
    template <class OnFull>
    void push(Chunk&& chunk, bool wakeAll, OnFull&& onFull) {
        {
            std::lock_guard lock(mutex_);
            if (chunks_.size() >= kMaxChunks) {
                onFull();
                return;
            }
            chunks_.push_back(std::move(chunk));
        }
        // Woken after the unlock, the processing thread finds the mutex free.
        if (wakeAll) {
            ready_.notify_all();
        } else {
            ready_.notify_one();
        }
    }

    // For markers that must not be lost: ignores the bound.
    void pushAlways(Chunk&& chunk) {
        std::lock_guard lock(mutex_);
        chunks_.push_back(std::move(chunk));
        ready_.notify_one();
    }

    // Waits for a chunk while running is set. False when the queue is empty
    // and running has been cleared: the processing thread ends.
    bool waitPop(Chunk& out, const std::atomic<bool>& running) {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return !chunks_.empty() || !running.load(); });
        if (chunks_.empty())
            return false;
        out = std::move(chunks_.front());
        chunks_.pop_front();
        return true;
    }

    // Call after clearing running: taking the mutex first means a waiter that
    // has just seen running set is already asleep and gets the notification.
    void wake() {
        std::lock_guard lock(mutex_);
        ready_.notify_all();
    }

    void clear() {
        std::lock_guard lock(mutex_);
        chunks_.clear();
    }

  private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Chunk> chunks_;
};

}  // namespace quilvane
