// quilvane dump: received frames in candump's log format, on standard output
// and optionally in a log file.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <vector>

#include "command_line.h"
#include "connection.h"
#include "text_format.h"

namespace {

const char kUsage[] = R"(Usage: quilvane dump CONNECTION [options]

Prints each received frame on standard output in candump's log format, one a
line: "(SECONDS.MICROSECONDS) canCHANNEL ID#DATA", or "ID##F" followed by
the data for CAN FD frames (F: the hex digit of the frame's flags).

Options:
  --channel N|all   device channel to read, 0 to 255, or all of them (all:
                    the default; a channel that never had a frame costs
                    nothing to poll). The library queues each channel
                    apart, so frames of different channels may print in
                    another order than they arrived; within a channel the
                    order holds.
  --count N         stop after N frames
  --duration S      stop after S seconds (decimals allowed)
  --log FILE        also write the lines to FILE, which candump's and
                    python-can's log readers accept
  --device-time     print the device's timestamp field, read as
                    microseconds, instead of the host's clock when the frame
                    was read
  --help            this text

CONNECTION: tcp://ADDRESS:PORT, tcp-listen://[ADDRESS]:PORT or
udp://REMOTE:PORT[?local=ADDRESS:PORT] (see quilvane --help).

The run ends with --count, --duration, Ctrl-C, or when the device closes a
tcp:// connection. The library's own progress lines go to standard error,
followed by a summary: frames, rate, drops. Drops are unknown to the host:
the library keeps the newest 204,800 frames of each channel without saying
when it drops older ones.

Exit status: 0 done, 1 no connection or output not writable, 2 bad arguments.
)";

struct DumpOptions {
    std::optional<int> channel;  // none: every channel
    RunLimits limits;
    std::string logPath;
    bool deviceTime = false;
};

std::uint64_t hostMicros() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

// The frames that arrive after a tcp:// device closed its end are still
// being decoded; this much quiet means they are all in.
constexpr auto kDrainQuiet = std::chrono::milliseconds(200);
constexpr int kBatch = 256;

}  // namespace

int runDump(const Words& words, LibraryOutput& output) {
    Arguments args(words);
    DumpOptions options;
    std::vector<std::string> positional;
    while (args.next()) {
        if (args.is("--help") || args.is("-h")) {
            std::fputs(kUsage, output.data());
            return kExitOk;
        } else if (args.is("--channel")) {
            const std::string text = args.value();
            if (text != "all") {
                options.channel = static_cast<int>(
                    parseUnsigned("--channel", text, 0, 255, "a channel from 0 to 255, or \"all\""));
            }
        } else if (options.limits.take(args)) {
        } else if (args.is("--log")) {
            options.logPath = args.value();
            if (options.logPath.empty()) {
                throw UsageError{"--log: expected a file name"};
            }
        } else if (args.is("--device-time")) {
            args.flag();
            options.deviceTime = true;
        } else if (!args.isOption() && positional.empty()) {
            positional.push_back(args.word());
        } else {
            args.unknown();
        }
    }
    if (positional.empty()) {
        throw UsageError{"missing CONNECTION, like tcp://192.0.2.10:4001"};
    }
    LinkSession link("dump", connectionArgument(positional[0]), output);

    FILE* log = nullptr;
    if (!options.logPath.empty()) {
        log = std::fopen(options.logPath.c_str(), "wb");
        if (log == nullptr) {
            report("dump", "--log: cannot create \"" + options.logPath + "\": " + std::strerror(errno));
            return kExitUsage;
        }
    }
    if (!link.open()) {
        if (log != nullptr)
            std::fclose(log);
        return kExitFailed;
    }

    std::vector<int> channels;
    for (int c = options.channel.value_or(0); c <= options.channel.value_or(255); ++c) {
        channels.push_back(c);
    }
    std::vector<CanFrame> batch(kBatch);
    RunClock clock;
    RunTotals totals{"received"};
    const auto deadline = options.limits.deadline();
    bool draining = false;  // the device closed; waiting for the last frames
    auto quietUntil = std::chrono::steady_clock::time_point::max();
    int status = kExitOk;
    bool done = false;
    while (!done && !stopRequested() && std::chrono::steady_clock::now() < deadline) {
        bool got = false;
        for (int channel : channels) {
            int room = kBatch;
            if (options.limits.count > 0) {
                room =
                    static_cast<int>(std::min<std::uint64_t>(kBatch, options.limits.count - totals.frames));
            }
            const int n = link.receive(channel, batch.data(), room);
            if (n < 0) {
                report("dump", "the connection is no longer open");
                status = kExitFailed;
                done = true;
                break;
            }
            if (n == 0) {
                continue;
            }
            got = true;
            const std::uint64_t readAt = hostMicros();
            for (int i = 0; i < n; ++i) {
                const CanFrame& frame = batch[static_cast<std::size_t>(i)];
                const std::string line =
                    formatLogLine(options.deviceTime ? frame.timestamp : readAt, frame) + "\n";
                std::fputs(line.c_str(), output.data());
                if (log != nullptr) {
                    std::fputs(line.c_str(), log);
                }
            }
            totals.frames += static_cast<std::uint64_t>(n);
            if (options.limits.count > 0 && totals.frames >= options.limits.count) {
                done = true;
                break;
            }
        }
        if (got) {
            const bool outFailed = std::fflush(output.data()) != 0;
            const bool logFailed = log != nullptr && std::fflush(log) != 0;
            if (outFailed || logFailed) {
                report("dump",
                       std::string("cannot write to ") + (outFailed ? "standard output" : options.logPath));
                status = kExitFailed;
                break;
            }
            draining = false;
            continue;
        }
        if (link.deviceClosed()) {
            const auto now = std::chrono::steady_clock::now();
            if (!draining) {
                draining = true;
                quietUntil = now + kDrainQuiet;
            } else if (now >= quietUntil) {
                report("dump", "the device closed the connection");
                break;
            }
        }
        sleepUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(1));
    }
    totals.interrupted = stopRequested();
    const double seconds = clock.seconds();
    link.end();
    if (log != nullptr && std::fclose(log) != 0 && status == kExitOk) {
        report("dump", "cannot write to " + options.logPath);
        status = kExitFailed;
    }
    printSummary("dump", totals, seconds);
    return status;
}
