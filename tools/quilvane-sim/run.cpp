#include "run.h"

#include <cinttypes>
#include <cstdio>

#include "net.h"

namespace sim {

void printReady(const std::string& text) {
    std::printf("ready %s\n", text.c_str());
    std::fflush(stdout);
}

void printSummary(const Stats& stats) {
    std::printf("summary sent_frames=%" PRIu64 " sent_packets=%" PRIu64 " received_frames=%" PRIu64
                " received_packets=%" PRIu64 " bad_packets=%" PRIu64 " connections=%" PRIu64
                " replies=%" PRIu64 "\n",
                stats.sentFrames.load(), stats.sentPackets.load(), stats.receivedFrames.load(),
                stats.receivedPackets.load(), stats.badPackets.load(), stats.connections.load(),
                stats.replies.load());
    std::fflush(stdout);
}

namespace {

// Set from a signal handler, or on Windows from the console's handler thread.
std::atomic<bool> signalled{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void onStop() {
    signalled = true;
}

}  // namespace

RunControl::RunControl(const Options& options, const Stats& stats)
    : options_(options),
      stats_(stats),
      start_(Clock::now()),
      deadline_(start_ + std::chrono::duration_cast<Clock::duration>(
                             std::chrono::duration<double>(options.durationSeconds))) {}

void RunControl::installSignalHandlers() {
    onStopRequest(onStop);
}

bool RunControl::shouldStop() {
    if (stopped_) {
        return true;
    }
    const auto now = Clock::now();
    bool stop = signalled || now >= deadline_;
    stop = stop || (options_.count > 0 && stats_.sentFrames >= options_.count);
    stop = stop || (options_.expect > 0 && stats_.receivedFrames >= options_.expect);
    const int64_t last = lastTrafficNs_;
    if (options_.idleMs > 0 && last >= 0) {
        const auto quiet = (now - start_) - std::chrono::nanoseconds(last);
        stop = stop || quiet >= std::chrono::milliseconds(options_.idleMs);
    }
    if (stop) {
        stopped_ = true;
    }
    return stop;
}

void RunControl::noteTraffic() {
    lastTrafficNs_ = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start_).count();
}

bool RunControl::expectationMissed() const {
    return options_.expect > 0 && stats_.receivedFrames < options_.expect;
}

}  // namespace sim
