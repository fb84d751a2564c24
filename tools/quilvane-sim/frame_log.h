// --verbose: every received frame on stderr in candump log form,
// "(SECONDS.MICROS) canCHANNEL ID#DATA", with "ID##0DATA" for frames of more
// than 8 bytes. The time is counted from the start of the run.
#pragma once

#include <chrono>
#include <mutex>
#include <vector>

#include "sim_frame.h"

namespace sim {

class FrameLog {
  public:
    FrameLog(bool enabled, std::chrono::steady_clock::time_point start) : enabled_(enabled), start_(start) {}

    void write(const std::vector<SimFrame>& frames);

  private:
    bool enabled_;
    std::chrono::steady_clock::time_point start_;
    std::mutex mutex_;  // keeps lines of concurrent connections whole
};

}  // namespace sim
