// quilvane gen: a load generator with deterministic frames, like cangen's
// incrementing mode.
#include <vector>

#include "command_line.h"
#include "connection.h"
#include "text_format.h"

namespace {

const char kUsage[] = R"(Usage: quilvane gen CONNECTION [options]

Sends generated frames. Frame s (counted from 0) has identifier
0x100 + s % 256, channel CHANNELS[s % number of channels], and data bytes
(s + i) & 0xFF: 8 bytes, or 64 bytes with FDF set (flags 0x4) for --fd.

Options:
  --rate R          frames per second, 0 for as fast as possible (100)
  --count N         stop after N frames (default: until --duration or Ctrl-C)
  --duration S      stop after S seconds (decimals allowed)
  --fd              64-byte CAN FD frames
  --channels LIST   channels used in turn, like 0,1 (0)
  --wait S          tcp-listen: how long to wait for a first device (10)
  --help            this text

CONNECTION: tcp://ADDRESS:PORT, tcp-listen://[ADDRESS]:PORT or
udp://REMOTE:PORT[?local=ADDRESS:PORT] (see quilvane --help).

While it runs, a progress line on standard error shows the frames sent and
the rate, at most four times a second, and only when standard error is a
terminal. A summary follows at the end: frames, rate, drops (unknown to the
host: the library does not report failed sends).
Exit status: 0 done, 1 no connection or the device closed it, 2 bad
arguments, 130 stopped by Ctrl-C before --count was reached.
)";

struct GenOptions {
    double rate = 100;
    RunLimits limits;
    bool fd = false;
    std::vector<std::uint8_t> channels{0};
    double wait = kDefaultDeviceWait;
};

CanFrame generatedFrame(std::uint64_t s, const GenOptions& options) {
    CanFrame frame{};
    frame.id = 0x100 + static_cast<std::uint32_t>(s % 256);
    frame.channel = options.channels[s % options.channels.size()];
    frame.dataLength = options.fd ? 64 : 8;
    frame.flags = options.fd ? kFlagFdf : 0;
    for (unsigned i = 0; i < frame.dataLength; ++i) {
        frame.data[i] = static_cast<std::uint8_t>((s + i) & 0xFF);
    }
    return frame;
}

// A sender that fell this far behind its schedule (a slow link) starts the
// schedule afresh rather than sending a burst to catch up.
constexpr auto kLargestLag = std::chrono::milliseconds(100);
// How often the link's state is looked at, in frames.
constexpr std::uint64_t kCheckEvery = 256;

}  // namespace

int runGen(const Words& words, LibraryOutput& output) {
    Arguments args(words);
    GenOptions options;
    std::vector<std::string> positional;
    while (args.next()) {
        if (args.is("--help") || args.is("-h")) {
            std::fputs(kUsage, output.data());
            return kExitOk;
        } else if (args.is("--rate")) {
            options.rate = parseDecimal("--rate", args.value(), 0, true, "frames per second, 0 or more");
        } else if (options.limits.take(args)) {
        } else if (args.is("--fd")) {
            args.flag();
            options.fd = true;
        } else if (args.is("--channels")) {
            options.channels = parseChannelList("--channels", args.value());
        } else if (args.is("--wait")) {
            options.wait = parseDeviceWait(args.value());
        } else if (!args.isOption() && positional.empty()) {
            positional.push_back(args.word());
        } else {
            args.unknown();
        }
    }
    if (positional.empty()) {
        throw UsageError{"missing CONNECTION, like tcp://192.0.2.10:4001"};
    }
    LinkSession link("gen", connectionArgument(positional[0]), output);
    if (!link.open() || !link.waitForDevice(options.wait)) {
        link.end();
        return stopRequested() ? kExitInterrupted : kExitFailed;
    }

    using Clock = std::chrono::steady_clock;
    const auto gap = options.rate > 0 ? std::chrono::duration<double>(1.0 / options.rate)
                                      : std::chrono::duration<double>(0);
    const auto end = options.limits.deadline();
    SendRun run("gen");
    int status = kExitOk;
    auto scheduleStart = Clock::now();
    std::uint64_t scheduleFirst = 0;  // the frame that scheduleStart belongs to
    for (std::uint64_t s = 0; options.limits.count == 0 || s < options.limits.count; ++s) {
        if (options.rate > 0) {
            const auto due = scheduleStart + std::chrono::duration_cast<Clock::duration>(
                                                 gap * static_cast<double>(s - scheduleFirst));
            const auto now = Clock::now();
            if (now - due > kLargestLag) {
                scheduleStart = now;
                scheduleFirst = s;
            } else if (!sleepUntil(std::min(due, end))) {
                break;
            }
        }
        if (stopRequested() || Clock::now() >= end) {
            break;
        }
        if (s % kCheckEvery == 0 && link.deviceClosed()) {
            report("gen", "the device closed the connection");
            status = kExitFailed;
            break;
        }
        run.send(link, generatedFrame(s, options));
    }
    return run.finish(link, options.limits.count, status);
}
