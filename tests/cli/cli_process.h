// Runs the quilvane tool (QUILVANE_CLI, else the path it was built at) as a
// child process, and small helpers for the tests that do.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "child_process.h"

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
