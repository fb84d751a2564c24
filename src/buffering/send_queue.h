// Per-handle queue of frames to send, drained by one sender thread that
// lives from the library's start to its exit.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>

#include "platform/thread.h"
#include "quilvane_sdk.h"

namespace quilvane {

class SendQueue {
  public:
    SendQueue();
    ~SendQueue();
    SendQueue(const SendQueue&) = delete;
    SendQueue& operator=(const SendQueue&) = delete;

    // The process's queue, created (and its thread started) on first use;
    // nullptr after destroyInstance.
    static SendQueue* instance();
    static void destroyInstance();

    void start();
    void stop();
    std::uint32_t size(std::int32_t handle);
    void clear(std::int32_t handle);
    // Queues a frame for the sender thread.
    void enqueue(std::int32_t handle, const CanFrame& frame);
    // Encodes the frame and hands it to the handle's transport.
    static bool sendData(std::int32_t handle, const CanFrame& frame);

  private:
    struct SendItem {
        std::int32_t handle;
        CanFrame frame;
    };
    static constexpr std::size_t kBatchPerHandle = 10;

    void run();

    std::mutex mutex;
    std::map<std::int32_t, std::deque<CanFrame>> queues;
    std::size_t queuedFrames = 0;  // all handles; the sender sleeps while it is 0
    std::condition_variable wakeUp;
    platform::Thread sender;
    std::atomic<bool> running{false};
};

}  // namespace quilvane
