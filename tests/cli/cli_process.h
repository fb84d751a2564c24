// Runs the quilvane tool (QUILVANE_CLI, else the path it was built at) as a
// child process, alone or joined to a simulator, and small helpers for the
// tests that do.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "common/log_lines.h"
#include "open_params.h"
#include "sim_process.h"
#include "test_wire.h"
#include "text_format.h"

// Starts the tool with `args` as its arguments.
inline void spawnCli(ChildProcess& child, std::vector<std::string> args, const SpawnOptions& options = {}) {
    const char* path = std::getenv("QUILVANE_CLI");
    args.insert(args.begin(), path != nullptr ? path : QUILVANE_CLI_PATH);
    child.spawn(args, options);
}

struct CliResult {
    int status = -1;
    std::string out;
    std::string err;
};

inline CliResult runCli(const std::vector<std::string>& args) {
    ChildProcess cli;
    spawnCli(cli, args);
    return {cli.finish(), cli.out(), cli.err()};  // braces: left to right
}

// A path in the temporary folder, unique per process.
inline std::string tempPath(const std::string& name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/quilvane-cli-" + std::to_string(getpid()) + "-" +
           name;
}

#define SKIP_WITHOUT_PYTHON_CAN()                                         \
    if (std::system("/usr/bin/python3 -c 'import can' 2>/dev/null") != 0) \
    GTEST_SKIP() << "python-can is not installed (Debian package python3-can)"

// Every line must be a log line: nothing else may reach the data stream.
inline std::vector<LogRecord> records(const std::string& text) {
    std::istringstream in(text);
    std::vector<LogRecord> result;
    LogReadError error;
    EXPECT_TRUE(readCandumpLog(in, result, error)) << "line " << error.line << ": " << error.message;
    return result;
}

// What frames log lines hold; without their flags unless asked, as the
// simulator's log and python-can's socketcand client show none.
inline auto framesOf(const std::vector<LogRecord>& records, bool flags = false) {
    std::vector<decltype(fieldsOf(CanFrame{}))> frames;
    for (LogRecord r : records) {
        r.frame.flags = flags ? r.frame.flags : 0;
        frames.push_back(fieldsOf(r.frame));
    }
    return frames;
}

using Joined = std::pair<std::unique_ptr<SimProcess>, std::unique_ptr<ChildProcess>>;

// The tool (`cli`: the command; the CONNECTION is put in after it) and a
// simulator joined over `kind`: "tcp" (the simulator listens), "tcp-listen"
// (the tool listens, the simulator connects, retrying until it can) or "udp".
// Whichever side receives starts first: over UDP the tool must be bound before
// the simulator sends, not to lose datagrams.
inline Joined join(const std::string& kind, bool deviceSends, std::vector<std::string> cli,
                   std::vector<std::string> sim, const SpawnOptions& options = {}) {
    const bool udp = kind == "udp";
    const std::string port = std::to_string(freePort(udp)), local = "127.0.0.1:" + port;
    Joined j{nullptr, std::make_unique<ChildProcess>()};
    if (kind == "tcp" || (udp && !deviceSends)) {
        sim.insert(sim.begin(), {udp ? "--udp" : "--tcp-listen", "127.0.0.1:0"});
        j.first = std::make_unique<SimProcess>(sim);
        cli.insert(cli.begin() + 1, kind + "://127.0.0.1:" + std::to_string(j.first->readyPort()));
        spawnCli(*j.second, cli, options);
        return j;
    }
    cli.insert(cli.begin() + 1, udp ? "udp://127.0.0.1:9?local=" + local : "tcp-listen://:" + port);
    spawnCli(*j.second, cli, options);
    const std::string bound = quilvane::log_lines::kBoundTo + local;
    EXPECT_TRUE(!udp ||
                j.second->readUntil([&] { return j.second->err().find(bound) != std::string::npos; }, 10000))
        << j.second->err();
    if (udp)
        sim.insert(sim.begin(), {"--peer", local});
    sim.insert(sim.begin(), {udp ? "--udp" : "--tcp-connect", udp ? "127.0.0.1:0" : local});
    j.first = std::make_unique<SimProcess>(sim);
    return j;
}
