#include "progress_line.h"

#include <unistd.h>

#include <cstdio>

namespace {

constexpr auto kRedrawEvery = std::chrono::milliseconds(250);

}  // namespace

ProgressLine::ProgressLine(const char* command)
    : command_(command), enabled_(isatty(2) == 1), last_(std::chrono::steady_clock::now()) {}

void ProgressLine::update(std::uint64_t frames) {
    if (!enabled_) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < kRedrawEvery) {
        return;
    }
    const double seconds = std::chrono::duration<double>(now - last_).count();
    const double rate = static_cast<double>(frames - lastFrames_) / seconds;
    // "\x1b[K" erases what a longer earlier line left.
    std::fprintf(stderr, "\rquilvane %s: %llu frames sent, %.0f frames/s\x1b[K", command_,
                 static_cast<unsigned long long>(frames), rate);
    std::fflush(stderr);
    drawn_ = true;
    last_ = now;
    lastFrames_ = frames;
}

void ProgressLine::clear() {
    if (drawn_) {
        std::fputs("\r\x1b[K", stderr);
        drawn_ = false;
    }
}
