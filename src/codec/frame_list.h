// The decoder's result: frames in a vector whose elements start
// uninitialised, so the decoder writes each frame once instead of after a
// zero fill.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

#include "quilvane_sdk.h"

namespace quilvane {

template <typename T>
class UninitialisedAllocator {
  public:
    using value_type = T;

    UninitialisedAllocator() = default;
    template <typename U>
    UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept { std::allocator<T>{}.deallocate(p, n); }

    // Default-initialisation: nothing is written for trivial types.
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    template <typename U>
    bool operator==(const UninitialisedAllocator<U>&) const noexcept {
        return true;
    }
};

using FrameList = std::vector<CanFrame, UninitialisedAllocator<CanFrame>>;

}  // namespace quilvane
