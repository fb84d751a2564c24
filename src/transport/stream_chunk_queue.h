// The hand-over from the TCP server's device threads to its processing
// thread, for many devices at once.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "codec/stream_reassembly.h"
#include "transport/chunk_queue.h"

namespace quilvane {

// ChunkQueue's hand-over for many devices at once (the TCP server), with each
// device's waiting reads kept together as one run of bytes: the readers
// allocate only when a run grows, and a hundred devices that send a frame a
// packet hand over a run per device instead of a hundred thousand small
// chunks a second. The bound counts the memory the runs hold, plus
// kChunkOverhead for each run.
//
// A stream's bytes are decoded by whichever thread holds its `processing`
// mutex, taking them from the queue under it, so they are decoded one run
// after another in the order they were read. Mostly that is the processing
// thread; but a reader whose run has grown to kHelpBytes, or that finds the
// queue a quarter full, decodes its own stream: one processing thread among
// many busy threads may get too little of the processors to keep up, while
// each reader runs as soon as its device's bytes arrive.
template <class Source>
class StreamChunkQueue {
  public:
    static constexpr std::size_t kMaxBytes = ChunkQueue<Source>::kMaxBytes;
    static constexpr std::size_t kChunkOverhead = ChunkQueue<Source>::kChunkOverhead;
    // The smallest buffer a run starts with.
    static constexpr std::size_t kMinRun = 1024;
    static constexpr std::size_t kHelpBytes = 4096;

    class Stream {
      public:
        explicit Stream(const Source& source) : source(source) {}
        const Source source;
        // Held by the thread that takes and decodes the stream's bytes.
        std::mutex processing;
        // The stream's undecoded tail; used under `processing`.
        std::vector<std::uint8_t> cache;

      private:
        friend class StreamChunkQueue;
        // The rest is the queue's, under its mutex.
        std::vector<std::uint8_t> pending;
        std::size_t counted = 0;
        bool listed = false;
    };
    using StreamPtr = std::shared_ptr<Stream>;

    // Appends the bytes to the stream's run, or calls onFull (with the
    // queue's mutex held, so the drop message stays in order with the queue)
    // and drops them. True when the caller should decode its stream itself
    // (see above), also after a drop. Throws std::bad_alloc, leaving the
    // run as it was, when memory runs out.
    template <class OnFull>
    bool push(const StreamPtr& stream, const std::uint8_t* bytes, std::size_t length, OnFull&& onFull) {
        bool wake = false;
        bool help = false;
        {
            std::lock_guard lock(mutex_);
            std::vector<std::uint8_t>& run = stream->pending;
            const std::size_t overhead = stream->counted == 0 ? kChunkOverhead : 0;
            const std::size_t capacity = run.capacity();
            std::size_t grown = capacity;
            if (run.size() + length > capacity) {
                // Doubling where the bound allows it, else just what is needed.
                grown = std::max({run.size() + length, 2 * capacity, kMinRun});
                if (bytes_ + overhead + grown - capacity > kMaxBytes)
                    grown = run.size() + length;
            }
            const std::size_t cost = overhead + grown - capacity;
            if (bytes_ + cost > kMaxBytes) {
                onFull();
                return run.size() >= kHelpBytes || bytes_ >= kMaxBytes / 4;
            }
            if (!stream->listed) {
                // A listed stream without bytes is passed over.
                listed_.push_back(stream);
                stream->listed = true;
                wake = waiting_;
            }
            run.reserve(grown);
            run.insert(run.end(), bytes, bytes + length);
            stream->counted += cost;
            bytes_ += cost;
            help = run.size() >= kHelpBytes || bytes_ >= kMaxBytes / 4;
        }
        // Woken after the unlock, the processing thread finds the mutex free.
        if (wake)
            ready_.notify_one();
        return help;
    }

    // Decodes the stream's waiting bytes into the receive frame store under
    // its source's handle, taking them into `taken`; waits for the stream's
    // `processing` mutex, or, unless `wait`, returns at once when another
    // thread holds it (that thread then takes these bytes too). onOverflow
    // runs, under the stream's mutex, when its cache overflows.
    template <class OnOverflow>
    void drain(Stream& stream, std::vector<std::uint8_t>& taken, bool wait, OnOverflow&& onOverflow) {
        std::unique_lock lock(stream.processing, std::defer_lock);
        if (wait) {
            lock.lock();
        } else if (!lock.try_lock()) {
            return;
        }
        take(stream, taken);
        // A run may hold megabytes; decoded in pieces, so that only
        // undecodable bytes, never good ones, overflow the cache (1 MiB, and
        // no packet is longer than 64 KiB).
        constexpr std::size_t kPiece = 64 * 1024;
        for (std::size_t at = 0; at < taken.size(); at += kPiece) {
            const std::size_t length = std::min(kPiece, taken.size() - at);
            if (!reassembleChunk(stream.cache, taken.data() + at, length, stream.source.handle))
                onOverflow();
        }
    }

    // The stream ended: what it left undecoded goes.
    void end(Stream& stream) {
        std::lock_guard lock(stream.processing);
        std::vector<std::uint8_t>().swap(stream.cache);
    }

    // Waits while running is set for a stream with bytes waiting and returns
    // it; nullptr when running has been cleared: the processing thread ends.
    StreamPtr waitNext(const std::atomic<bool>& running) {
        std::unique_lock lock(mutex_);
        while (running.load()) {
            while (!listed_.empty()) {
                StreamPtr stream = std::move(listed_.front());
                listed_.pop_front();
                stream->listed = false;
                if (!stream->pending.empty())
                    return stream;
            }
            waiting_ = true;
            ready_.wait(lock, [&] { return !listed_.empty() || !running.load(); });
            waiting_ = false;
        }
        return nullptr;
    }

    // Call after clearing running: taking the mutex first means a waiter that
    // has just seen running set is already asleep and gets the notification.
    void wake() {
        std::lock_guard lock(mutex_);
        ready_.notify_all();
    }

  private:
    // Moves the stream's waiting bytes to `out` (emptied first). The caller
    // holds the stream's `processing` mutex.
    void take(Stream& stream, std::vector<std::uint8_t>& out) {
        // Freed outside the lock: the stream's next run is a new buffer,
        // counted from nothing.
        std::vector<std::uint8_t> previous;
        previous.swap(out);
        std::lock_guard lock(mutex_);
        out.swap(stream.pending);
        bytes_ -= stream.counted;
        stream.counted = 0;
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    // Streams with bytes waiting, in the order their runs began.
    std::deque<StreamPtr> listed_;
    std::size_t bytes_ = 0;
    bool waiting_ = false;
};

}  // namespace quilvane
