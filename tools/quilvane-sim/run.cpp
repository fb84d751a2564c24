#include "run.h"

#include <cinttypes>
#include <csignal>
#include <cstdio>

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

volatile std::sig_atomic_t signalled = 0;

extern "C" void onSignal(int) {
    signalled = 1;
}

}  // namespace

RunControl::RunControl(const Options& options, const Stats& stats)
    : options_(options),
      stats_(stats),
      start_(Clock::now()),
      deadline_(start_ + std::chrono::duration_cast<Clock::duration>(
                             std::chrono::duration<double>(options.durationSeconds))) {}

void RunControl::installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

bool RunControl::shouldStop() {
    if (stopped_) {
        return true;
    }
    const auto now = Clock::now();
    bool stop = signalled != 0 || now >= deadline_;
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
