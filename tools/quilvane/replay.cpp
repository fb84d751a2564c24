// quilvane replay: sends the frames of a candump log, keeping its timing.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <vector>

#include "command_line.h"
#include "connection.h"
#include "text_format.h"

namespace {

const char kUsage[] = R"(Usage: quilvane replay CONNECTION FILE [options]

Sends the frames of a candump log file ("-": standard input), lines like
"(1700000000.123456) can0 123#1122" or "... can1 123##1AABB". The interface
canN gives the frame's channel N; any other name gives channel 0. The gaps
between the lines' times are kept, divided by --speed; a time earlier than
the line before counts as no gap. The whole file is read first: a line that
does not parse stops the replay before anything is sent.

Options:
  --speed X         play X times as fast, 0 for as fast as possible (1)
  --wait S          tcp-listen: how long to wait for a first device (10)
  --help            this text

CONNECTION: tcp://ADDRESS:PORT, tcp-listen://[ADDRESS]:PORT or
udp://REMOTE:PORT[?local=ADDRESS:PORT] (see quilvane --help).

A progress line on standard error (only on a terminal) and a summary at the
end: frames, rate, drops (unknown to the host).
Exit status: 0 done, 1 no connection or the device closed it, 2 bad
arguments or a bad line in FILE, 130 stopped by Ctrl-C.
)";

constexpr std::uint64_t kCheckEvery = 256;

}  // namespace

int runReplay(const Words& words, LibraryOutput& output) {
    Arguments args(words);
    std::vector<std::string> positional;
    double speed = 1;
    double wait = kDefaultDeviceWait;
    while (args.next()) {
        if (args.is("--help") || args.is("-h")) {
            std::fputs(kUsage, output.data());
            return kExitOk;
        } else if (args.is("--speed")) {
            speed = parseDecimal("--speed", args.value(), 0, true,
                                 "a factor, 0 or more (0: as fast as possible)");
        } else if (args.is("--wait")) {
            wait = parseDeviceWait(args.value());
        } else if (!args.isOption() && positional.size() < 2) {
            positional.push_back(args.word());
        } else {
            args.unknown();
        }
    }
    if (positional.size() < 2) {
        throw UsageError{positional.empty() ? "missing CONNECTION and FILE" : "missing FILE, a candump log"};
    }
    const ConnectionUrl url = connectionArgument(positional[0]);
    const std::string& path = positional[1];
    std::vector<LogRecord> records;
    LogReadError error;
    bool read = false;
    if (path == "-") {
        read = readCandumpLog(std::cin, records, error);
    } else {
        std::ifstream file(path);
        if (!file) {
            throw UsageError{"FILE: cannot read \"" + path + "\": " + std::strerror(errno)};
        }
        read = readCandumpLog(file, records, error);
    }
    if (!read) {
        report("replay", path + ":" + std::to_string(error.line) + ": " + error.message);
        return kExitUsage;
    }

    LinkSession link("replay", url, output);
    if (!link.open() || !link.waitForDevice(wait)) {
        link.end();
        return stopRequested() ? kExitInterrupted : kExitFailed;
    }
    using Clock = std::chrono::steady_clock;
    SendRun run("replay");
    int status = kExitOk;
    const auto start = Clock::now();
    double offsetMicros = 0;  // where the current line falls after start, at this speed
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (speed > 0 && i > 0 && records[i].micros > records[i - 1].micros) {
            offsetMicros += static_cast<double>(records[i].micros - records[i - 1].micros) / speed;
            const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double, std::micro>(offsetMicros));
            if (!sleepUntil(due)) {
                break;
            }
        }
        if (stopRequested()) {
            break;
        }
        if (i % kCheckEvery == 0 && link.deviceClosed()) {
            report("replay", "the device closed the connection");
            status = kExitFailed;
            break;
        }
        run.send(link, records[i].frame);
    }
    return run.finish(link, records.size(), status);
}
