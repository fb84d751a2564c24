// Test seams: how many of the next thread starts, or of the next pushes into
// the receive frame store, fail as they would in a process short of threads
// or of memory; and a smaller receive budget, in frames, for a store
// made after it is set. Zero unless a test sets them.
#pragma once

#include <atomic>
#include <cstddef>

namespace quilvane::faults {

inline std::atomic<int> threadStartsToFail{0};
inline std::atomic<int> storeAllocationsToFail{0};
inline std::atomic<std::size_t> receiveBudgetFrames{0};

// True, with one failure fewer left, when this call is to fail.
inline bool take(std::atomic<int>& left) {
    int n = left.load(std::memory_order_relaxed);
    while (n > 0) {
        if (left.compare_exchange_weak(n, n - 1))
            return true;
    }
    return false;
}

}  // namespace quilvane::faults
