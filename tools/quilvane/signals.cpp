#include "signals.h"

#include <signal.h>

#include <atomic>
#include <thread>

namespace {

std::atomic<bool> stopFlag{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

// Short steps keep the reaction to Ctrl-C prompt during long gaps.
constexpr auto kLongestNap = std::chrono::milliseconds(20);

void onStop(int) {
    stopFlag.store(true);
}

}  // namespace

void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = onStop;
    sigemptyset(&action.sa_mask);
    // SA_RESETHAND: the second Ctrl-C meets the default action and ends the
    // process, for when the library is stuck in a connection attempt.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

bool stopRequested() {
    return stopFlag.load();
}

bool sleepUntil(std::chrono::steady_clock::time_point deadline) {
    while (!stopRequested()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return true;
        }
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(deadline - now, kLongestNap));
    }
    return false;
}
