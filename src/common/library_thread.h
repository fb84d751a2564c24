// Every thread of the library starts here. No exception leaves one: its
// loop handles what it can (a failed allocation drops that step's data with
// a line), and whatever escapes ends the thread with a line instead of the
// application.
#pragma once

#include <cstddef>
#include <functional>
#include <new>

#include "common/log.h"
#include "common/log_lines.h"

#include "platform/thread.h"

namespace quilvane {

// What a device's thread needs: its 4 KiB buffer and the calls it makes,
// with room to spare. Small enough that a 32-bit process holds thousands.
inline constexpr std::size_t kDeviceThreadStack = 256 * 1024;

// Throws std::system_error when no thread can be made.
platform::Thread startThread(std::function<void()> body, std::size_t stackReserve = 0);

// One step of a thread's loop: when memory runs out during it, what the step
// held is dropped with a line and the loop goes on with its next step.
template <class Step>
void dropOnOutOfMemory(Step&& step) {
    try {
        step();
    } catch (const std::bad_alloc&) {
        logErrorQuietly(log_lines::kOutOfMemoryDroppingData);
    }
}

}  // namespace quilvane
