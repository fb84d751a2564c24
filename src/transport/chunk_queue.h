// The bounded hand-over from a TCP client's receive thread to its
// processing thread: the reader never decodes, and a reader that outruns the
// processing thread loses chunks (with a message) instead of growing memory.
// (Many devices of one server: StreamChunkQueue.)
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>

namespace quilvane {

// Chunk holds its bytes in a vector named `data`.
template <class Chunk>
class ChunkQueue {
  public:
    // The bound is on memory, not on chunks: a device that sends a frame a
    // packet makes many small chunks, which a bound of 1000 chunks would
    // hold for a few milliseconds only. The bytes of 1000 full reads may
    // wait, each chunk counted with what its bookkeeping costs. (The TCP
    // server's StreamChunkQueue keeps the same bound.)
    static constexpr std::size_t kMaxBytes = 1000 * 4096;
    static constexpr std::size_t kChunkOverhead = 64;

    // Queues the chunk, or calls onFull (with the queue's mutex held, so the
    // drop message stays in order with the queue) and drops it.
    template <class OnFull>
    void push(Chunk&& chunk, bool wakeAll, OnFull&& onFull) {
        {
            std::lock_guard lock(mutex_);
            const std::size_t cost = costOf(chunk);
            if (bytes_ + cost > kMaxBytes) {
                onFull();
                return;
            }
            chunks_.push_back(std::move(chunk));
            bytes_ += cost;
        }
        // Woken after the unlock, the processing thread finds the mutex free.
        if (wakeAll) {
            ready_.notify_all();
        } else {
            ready_.notify_one();
        }
    }

    // Waits for chunks while running is set, then moves every waiting chunk
    // to `out` (emptied first) in one step: the readers meet the lock once
    // per batch rather than once per chunk. False when the queue is empty
    // and running has been cleared: the processing thread ends.
    bool waitTakeAll(std::deque<Chunk>& out, const std::atomic<bool>& running) {
        out.clear();
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return !chunks_.empty() || !running.load(); });
        if (chunks_.empty())
            return false;
        out.swap(chunks_);
        bytes_ = 0;
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
        bytes_ = 0;
    }

  private:
    static std::size_t costOf(const Chunk& chunk) { return chunk.data.size() + kChunkOverhead; }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Chunk> chunks_;
    std::size_t bytes_ = 0;
};

}  // namespace quilvane
