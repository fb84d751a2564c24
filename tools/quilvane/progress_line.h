// A one-line progress display on standard error for long sends: frames so
// far and the recent rate, redrawn in place at most four times a second, and
// only when standard error is a terminal.
#pragma once

#include <chrono>
#include <cstdint>

class ProgressLine {
  public:
    explicit ProgressLine(const char* command);
    ~ProgressLine() { clear(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void update(std::uint64_t frames);
    // Wipes the line, so that the summary takes its place.
    void clear();

  private:
    const char* command_;
    bool enabled_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point last_;
    std::uint64_t lastFrames_ = 0;
};
