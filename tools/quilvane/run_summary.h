// The closing line of dump, send, gen and replay on standard error: frames,
// time, rate, and what the host can know about drops (nothing: the library
// reports neither the frames its receive queues drop nor failed sends).
#pragma once

#include <chrono>
#include <cstdint>

struct RunTotals {
    const char* verb = "sent";  // "sent" or "received"
    std::uint64_t frames = 0;
    std::uint64_t refused = 0;  // sends the library refused; senders only
    bool interrupted = false;
};

class RunClock {
  public:
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

  private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

void printSummary(const char* command, const RunTotals& totals, double seconds);
