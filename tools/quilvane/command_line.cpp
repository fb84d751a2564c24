#include "command_line.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "tool_system.h"

bool Arguments::next() {
    if (next_ >= words_.size()) {
        return false;
    }
    word_ = words_[next_++];
    hasInlineValue_ = false;
    inlineValue_.clear();
    option_ = false;
    if (optionsEnded_) {
        return true;
    }
    if (word_ == "--") {
        optionsEnded_ = true;
        return next();
    }
    // A lone "-" is a positional word (standard input for replay); negative
    // numbers are not expected anywhere, so any other dash starts an option.
    if (word_.size() > 1 && word_[0] == '-') {
        option_ = true;
        if (size_t eq = word_.find('='); eq != std::string::npos && word_.rfind("--", 0) == 0) {
            inlineValue_ = word_.substr(eq + 1);
            hasInlineValue_ = true;
            word_.resize(eq);
        }
    }
    return true;
}

std::string Arguments::value() {
    if (hasInlineValue_) {
        hasInlineValue_ = false;
        return inlineValue_;
    }
    if (next_ >= words_.size()) {
        throw UsageError{word_ + ": expected a value after it"};
    }
    return words_[next_++];
}

void Arguments::flag() const {
    if (hasInlineValue_) {
        throw UsageError{word_ + ": takes no value, got \"" + inlineValue_ + "\""};
    }
}

void Arguments::unknown() const {
    if (option_) {
        throw UsageError{"unknown option \"" + word_ + "\""};
    }
    throw UsageError{"unexpected argument \"" + word_ + "\""};
}

namespace {

[[noreturn]] void badValue(const std::string& option, const std::string& text, const char* what) {
    throw UsageError{option + ": expected " + what + ", got \"" + text + "\""};
}

}  // namespace

std::uint64_t parseUnsigned(const std::string& option, const std::string& text, std::uint64_t min,
                            std::uint64_t max, const char* what) {
    // strtoull accepts signs and spaces; a count is plain decimal digits.
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) {
        badValue(option, text, what);
    }
    const std::uint64_t value = std::strtoull(text.c_str(), nullptr, 10);
    if (value < min || value > max) {
        badValue(option, text, what);
    }
    return value;
}

double parseDecimal(const std::string& option, const std::string& text, double min, bool minAllowed,
                    const char* what) {
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) {
        badValue(option, text, what);
    }
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || errno != 0 || !std::isfinite(value) || value < min || (!minAllowed && value == min)) {
        badValue(option, text, what);
    }
    return value;
}

bool RunLimits::take(Arguments& args) {
    if (args.is("--count")) {
        count = parseUnsigned("--count", args.value(), 1, UINT64_MAX, "a positive number");
    } else if (args.is("--duration")) {
        duration = parseDecimal("--duration", args.value(), 0, false, "seconds, more than 0");
    } else {
        return false;
    }
    return true;
}

std::chrono::steady_clock::time_point RunLimits::deadline() const {
    using Clock = std::chrono::steady_clock;
    if (duration <= 0)
        return Clock::time_point::max();
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(duration));
}

std::vector<std::uint8_t> parseChannelList(const std::string& option, const std::string& text) {
    const char* what = "channels from 0 to 255 separated by commas, like 0,1";
    std::vector<std::uint8_t> channels;
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        const std::string part =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos ||
            std::stoul(part) > 255) {
            badValue(option, text, what);
        }
        channels.push_back(static_cast<std::uint8_t>(std::stoul(part)));
        if (comma == std::string::npos) {
            return channels;
        }
        start = comma + 1;
    }
}

void report(const char* command, const std::string& message) {
    std::fprintf(stderr, "quilvane %s: %s\n", command, message.c_str());
}

namespace {

std::atomic<bool> stopFlag{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

// Short steps keep the reaction to Ctrl-C prompt during long gaps.
constexpr auto kLongestNap = std::chrono::milliseconds(20);

void onStop() {
    stopFlag.store(true);
}

}  // namespace

void installStopHandlers() {
    tool_system::onStopRequest(onStop);
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
