// Process-wide objects of the library: created once on first use, destroyed
// once by QUILVANE_Exit and never created again. Everything here is constant
// initialised, so loading the library runs no constructor.
#pragma once

#include <atomic>
#include <mutex>

namespace quilvane {

template <class T>
class Singleton {
  public:
    // The object, created on the first call; nullptr once destroy() ran.
    // If construction throws, the next call tries again.
    static T* instance() {
        if (destroyed_.load(std::memory_order_acquire))
            return nullptr;
        std::call_once(once_, [] { object_.store(new T(), std::memory_order_release); });
        return object_.load(std::memory_order_acquire);
    }

    // The object if it exists; never creates it.
    static T* existing() { return object_.load(std::memory_order_acquire); }

    // Final: later instance() calls find nothing.
    static void destroy() {
        destroyed_.store(true, std::memory_order_release);
        delete object_.exchange(nullptr, std::memory_order_acq_rel);
    }

  private:
    static inline std::once_flag once_;
    static inline std::atomic<T*> object_{nullptr};
    static inline std::atomic<bool> destroyed_{false};
};

}  // namespace quilvane
