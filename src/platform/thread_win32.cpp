#include <process.h>
#include <windows.h>

#include <memory>
#include <system_error>
#include <utility>

#include "platform/thread.h"

namespace quilvane::platform {
namespace {

unsigned __stdcall run(void* argument) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
    (*body)();
    return 0;
}

}  // namespace

Thread::Thread(std::function<void()> body, std::size_t stackReserve) {
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    unsigned id = 0;
    // Without the flag the size would be what the stack commits, and the
    // reservation the program's default.
    const std::uintptr_t handle =
        _beginthreadex(nullptr, static_cast<unsigned>(stackReserve), run, owned.get(),
                       stackReserve != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, &id);
    if (handle == 0)
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "thread start");
    owned.release();  // the thread frees it
    handle_ = handle;
    id_ = id;
    started_ = true;
}

void Thread::join() {
    if (!started_)
        return;
    const HANDLE handle = reinterpret_cast<HANDLE>(handle_);
    WaitForSingleObject(handle, INFINITE);
    CloseHandle(handle);
    started_ = false;
}

bool Thread::isCurrent() const {
    return started_ && GetCurrentThreadId() == id_;
}

}  // namespace quilvane::platform
