// When the run ends: Ctrl-C or SIGTERM, --duration, --count, --expect and
// --idle-ms. Every loop asks shouldStop() at least every few tens of
// milliseconds, so any of them ends the run promptly.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "options.h"
#include "stats.h"

namespace sim {

class RunControl {
  public:
    using Clock = std::chrono::steady_clock;

    RunControl(const Options& options, const Stats& stats);

    // SIGINT and SIGTERM end the run; SIGPIPE is ignored (sends report errors).
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
