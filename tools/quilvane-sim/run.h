// One run of the simulator: when it ends (Ctrl-C or SIGTERM, --duration,
// --count, --expect, --idle-ms), what it counted, and the lines on standard
// output that tests and benchmarks read: "ready ..." once the sockets are up,
// "summary ..." at the end. Every loop asks shouldStop() at least every few
// tens of milliseconds, so any bound ends the run promptly.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "options.h"

namespace sim {

// Counters shared by every connection.
struct Stats {
    std::atomic<uint64_t> sentFrames{0};  // frames in packets sent intact
    std::atomic<uint64_t> sentPackets{0};
    std::atomic<uint64_t> receivedFrames{0};
    std::atomic<uint64_t> receivedPackets{0};
    std::atomic<uint64_t> badPackets{0};
    std::atomic<uint64_t> connections{0};
    std::atomic<uint64_t> replies{0};
};

// "ready ..." on stdout, flushed.
void printReady(const std::string& text);
// "summary sent_frames=... replies=..." on stdout, flushed.
void printSummary(const Stats& stats);

class RunControl {
  public:
    using Clock = std::chrono::steady_clock;

    RunControl(const Options& options, const Stats& stats);

    // SIGINT and SIGTERM (a console's Ctrl-C or Ctrl-Break on Windows) end
    // the run; SIGPIPE is ignored (sends report errors).
    static void installSignalHandlers();

    bool shouldStop();
    void requestStop() { stopped_ = true; }
    // Called for every datagram or read that brought bytes.
    void noteTraffic();

    Clock::time_point start() const { return start_; }
    Clock::time_point deadline() const { return deadline_; }
    bool expectationMissed() const;

  private:
    const Options& options_;
    const Stats& stats_;
    Clock::time_point start_;
    Clock::time_point deadline_;
    std::atomic<bool> stopped_{false};
    std::atomic<int64_t> lastTrafficNs_{-1};  // since start_, -1 = nothing yet
};

}  // namespace sim
