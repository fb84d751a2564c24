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

// Every line must be a log line: nothing else may reach the data stream.
inline std::vector<LogRecord> records(const std::string& text) {
    std::istringstream in(text);
    std::vector<LogRecord> result;
    LogReadError error;
    EXPECT_TRUE(readCandumpLog(in, result, error)) << "line " << error.line << ": " << error.message;
    return result;
}

using Joined = std::pair<std::unique_ptr<SimProcess>, std::unique_ptr<ChildProcess>>;

// The tool (`cli`: the command; the CONNECTION is put in after it) and a
// simulator joined over `kind`: "tcp" (the simulator listens), "tcp-listen"
// (the tool listens, the simulator connects, retrying until it can) or "udp".
// Whichever side receives starts first: over UDP the tool must be bound before
// the simulator sends, not to lose datagrams.
inline Joined join(const std::string& kind, bool deviceSends, std::vector<std::string> cli,
                   std::vector<std::string> sim, const SpawnOptions& options = {}) {
    const std::uint16_t port = freePort(kind == "udp");
    const std::string local = "127.0.0.1:" + std::to_string(port);
    Joined j;
    if (kind == "tcp" || (kind == "udp" && !deviceSends)) {
        sim.insert(sim.begin(), {kind == "udp" ? "--udp" : "--tcp-listen", "127.0.0.1:0"});
        j.first = std::make_unique<SimProcess>(sim);
        cli.insert(cli.begin() + 1, kind + "://127.0.0.1:" + std::to_string(j.first->readyPort()));
        j.second = std::make_unique<ChildProcess>();
        spawnCli(*j.second, cli, options);
        return j;
    }
    const bool udp = kind == "udp";
    cli.insert(cli.begin() + 1,
               udp ? "udp://127.0.0.1:9?local=" + local : "tcp-listen://:" + std::to_string(port));
    j.second = std::make_unique<ChildProcess>();
    spawnCli(*j.second, cli, options);
    const auto bound = [&] {
        return j.second->err().find(quilvane::log_lines::kBoundTo + local) != std::string::npos;
    };
    EXPECT_TRUE(!udp || j.second->readUntil(bound, 10000)) << j.second->err();
    const std::vector<std::string> device =
        udp ? std::vector<std::string>{"--udp", "127.0.0.1:0", "--peer", local}
            : std::vector<std::string>{"--tcp-connect", local};
    sim.insert(sim.begin(), device.begin(), device.end());
    j.first = std::make_unique<SimProcess>(sim);
    return j;
}
