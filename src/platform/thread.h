// A thread of the library, started with a stack reservation of the caller's
// choosing: the system's default (1 MiB or more) would let a 32-bit process
// hold far fewer device threads than a rack has devices. Otherwise it acts
// as std::thread does, but is joined, never detached, when it goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace quilvane::platform {

class Thread {
  public:
    Thread() = default;
    // Runs `body` on a new thread; stackReserve 0 takes the system's default.
    // Throws std::system_error when the system makes no thread.
    // `body` must not throw.
    explicit Thread(std::function<void()> body, std::size_t stackReserve = 0);
    ~Thread();
    Thread(Thread&& other) noexcept;
    // Joins the thread this object held, if any, first.
    Thread& operator=(Thread&& other) noexcept;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    bool joinable() const { return started_; }
    void join();
    // True on the thread this object runs.
    bool isCurrent() const;

  private:
    std::uintptr_t handle_ = 0;
    std::uint32_t id_ = 0;
    bool started_ = false;
};

}  // namespace quilvane::platform
