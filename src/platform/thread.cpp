#include "platform/thread.h"

#include <utility>

namespace quilvane::platform {

Thread::~Thread() {
    join();
}

Thread::Thread(Thread&& other) noexcept
    : handle_(std::exchange(other.handle_, 0)),
      id_(std::exchange(other.id_, 0)),
      started_(std::exchange(other.started_, false)) {}

Thread& Thread::operator=(Thread&& other) noexcept {
    if (this != &other) {
        join();
        handle_ = std::exchange(other.handle_, 0);
        id_ = std::exchange(other.id_, 0);
        started_ = std::exchange(other.started_, false);
    }
    return *this;
}

}  // namespace quilvane::platform
