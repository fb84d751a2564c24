// quilvane send: frames written in cansend's syntax.
#include <vector>

#include "command_line.h"
#include "connection.h"
#include "text_format.h"

namespace {

const char kUsage[] = R"(Usage: quilvane send CONNECTION FRAME... [options]

Sends each FRAME once, in order. FRAME is written as for cansend:
  123#1122          classic frame, 3 hex digits of identifier (up to 7FF),
                    0 to 8 data bytes ('.' between bytes allowed)
  1F334455#         8 hex digits: an identifier up to 1FFFFFFF
  123##1AABBCC      CAN FD: after "##" one hex digit of flags (1 BRS, 2 ESI;
                    FDF is always set), then 0 to 64 data bytes
Remote frames (123#R) are not supported.

Options:
  --channel N       device channel of every frame, 0 to 255 (0)
  --wait S          tcp-listen: how long to wait for a first device to
                    connect before sending (10)
  --help            this text

CONNECTION: tcp://ADDRESS:PORT, tcp-listen://[ADDRESS]:PORT or
udp://REMOTE:PORT[?local=ADDRESS:PORT] (see quilvane --help).

The library's progress lines and a summary go to standard error.
Exit status: 0 sent, 1 no connection or no device, 2 bad arguments,
130 stopped by Ctrl-C.
)";

}  // namespace

int runSend(const Words& words, LibraryOutput& output) {
    Arguments args(words);
    std::vector<std::string> positional;
    int channel = 0;
    double wait = kDefaultDeviceWait;
    while (args.next()) {
        if (args.is("--help") || args.is("-h")) {
            std::fputs(kUsage, output.data());
            return kExitOk;
        } else if (args.is("--channel")) {
            channel =
                static_cast<int>(parseUnsigned("--channel", args.value(), 0, 255, "a channel from 0 to 255"));
        } else if (args.is("--wait")) {
            wait = parseDeviceWait(args.value());
        } else if (!args.isOption()) {
            positional.push_back(args.word());
        } else {
            args.unknown();
        }
    }
    if (positional.empty()) {
        throw UsageError{"missing CONNECTION and FRAME, like: tcp://192.0.2.10:4001 123#1122"};
    }
    if (positional.size() < 2) {
        throw UsageError{"missing FRAME after the connection, like 123#1122"};
    }
    const ConnectionUrl url = connectionArgument(positional[0]);
    std::vector<CanFrame> frames;
    for (std::size_t i = 1; i < positional.size(); ++i) {
        CanFrame frame{};
        std::string error;
        if (!parseFrame(positional[i], frame, error)) {
            throw UsageError{error};
        }
        frame.channel = static_cast<std::uint8_t>(channel);
        frames.push_back(frame);
    }

    LinkSession link("send", url, output);
    if (!link.open() || !link.waitForDevice(wait)) {
        link.end();
        return stopRequested() ? kExitInterrupted : kExitFailed;
    }
    RunClock clock;
    RunTotals totals{"sent"};
    for (const CanFrame& frame : frames) {
        if (stopRequested()) {
            break;
        }
        if (link.send(frame)) {
            ++totals.frames;
        } else {
            ++totals.refused;
        }
    }
    totals.interrupted = totals.frames + totals.refused < frames.size();
    const double seconds = clock.seconds();
    link.end();
    printSummary("send", totals, seconds);
    if (totals.interrupted) {
        return kExitInterrupted;
    }
    return totals.refused > 0 ? kExitFailed : kExitOk;
}
