#include <pthread.h>

#include <cstring>
#include <memory>
#include <system_error>
#include <utility>

#include "platform/thread.h"

namespace quilvane::platform {
namespace {

static_assert(sizeof(pthread_t) <= sizeof(std::uintptr_t));

void* run(void* argument) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
    (*body)();
    return nullptr;
}

pthread_t idOf(std::uintptr_t handle) {
    pthread_t id{};
    std::memcpy(&id, &handle, sizeof id);
    return id;
}

}  // namespace

Thread::Thread(std::function<void()> body, std::size_t stackReserve) {
    pthread_attr_t attributes;
    if (int error = pthread_attr_init(&attributes); error != 0)
        throw std::system_error(error, std::generic_category(), "thread attributes");
    if (stackReserve != 0)
        pthread_attr_setstacksize(&attributes, stackReserve);
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    pthread_t id{};
    const int error = pthread_create(&id, &attributes, run, owned.get());
    pthread_attr_destroy(&attributes);
    if (error != 0)
        throw std::system_error(error, std::generic_category(), "thread start");
    owned.release();  // the thread frees it
    std::memcpy(&handle_, &id, sizeof id);
    started_ = true;
}

void Thread::join() {
    if (!started_)
        return;
    pthread_join(idOf(handle_), nullptr);
    started_ = false;
}

bool Thread::isCurrent() const {
    return started_ && pthread_equal(idOf(handle_), pthread_self()) != 0;
}

}  // namespace quilvane::platform
