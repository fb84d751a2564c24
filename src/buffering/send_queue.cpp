#include "buffering/send_queue.h"

#include <exception>
#include <system_error>
#include <vector>

#include "common/library_thread.h"
#include "common/log.h"
#include "common/log_lines.h"
#include "common/singleton.h"
#include "registry/frame_sender.h"

namespace quilvane {

SendQueue* SendQueue::instance() {
    return Singleton<SendQueue>::instance();
}
void SendQueue::destroyInstance() {
    Singleton<SendQueue>::destroy();
}

SendQueue::SendQueue() {
    start();
}
SendQueue::~SendQueue() {
    stop();
}

void SendQueue::start() {
    if (running.exchange(true))
        return;
    try {
        sender = startThread([this] { run(); });
    } catch (const std::system_error& e) {
        // The queue goes on without a sender: no entry point queues frames.
        logError(log_lines::kThreadStartFailed, e.what());
        running.store(false);
    }
}

void SendQueue::stop() {
    {
        std::lock_guard lock(mutex);
        if (!running.exchange(false))
            return;
    }
    wakeUp.notify_all();
    if (sender.joinable())
        sender.join();
}

std::uint32_t SendQueue::size(std::int32_t handle) {
    std::lock_guard lock(mutex);
    auto it = queues.find(handle);
    return it == queues.end() ? 0 : static_cast<std::uint32_t>(it->second.size());
}

void SendQueue::clear(std::int32_t handle) {
    std::lock_guard lock(mutex);
    if (auto it = queues.find(handle); it != queues.end()) {
        queuedFrames -= it->second.size();
        std::deque<CanFrame>().swap(it->second);
    }
}

void SendQueue::enqueue(std::int32_t handle, const CanFrame& frame) {
    {
        std::lock_guard lock(mutex);
        queues[handle].push_back(frame);
        ++queuedFrames;
    }
    wakeUp.notify_all();
}

bool SendQueue::sendData(std::int32_t handle, const CanFrame& frame) {
    try {
        return sendFrame(handle, frame) == FrameSendResult::Sent;
    } catch (const std::exception& e) {
        logError(log_lines::kSendDataException, e.what());
        return false;
    }
}

void SendQueue::run() {
    std::vector<SendItem> batch;
    while (running.load()) {
        {
            std::unique_lock lock(mutex);
            wakeUp.wait(lock, [&] { return !running.load() || queuedFrames != 0; });
            // At most a few frames per handle, so one busy handle never starves the others.
            for (auto& [handle, frames] : queues) {
                for (std::size_t n = 0; n < kBatchPerHandle && !frames.empty() && running.load(); ++n) {
                    batch.push_back({handle, frames.front()});
                    frames.pop_front();
                    --queuedFrames;
                }
            }
        }
        for (const auto& item : batch) {
            if (!running.load())
                break;
            if (!sendData(item.handle, item.frame))
                logError(log_lines::kSendDataFailed, item.handle);
        }
        batch.clear();
    }
}

}  // namespace quilvane
