// Runs the quilvane tool (QUILVANE_CLI, else the path it was built at) as a
// child process, and small helpers for the tests that do.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "child_process.h"

class CliProcess : public ChildProcess {
  public:
    explicit CliProcess(const std::vector<std::string>& args, const SpawnOptions& options = {});
};

struct CliResult {
    int status = -1;
    std::string out;
    std::string err;
};
CliResult runCli(const std::vector<std::string>& args);

// A loopback port that was free a moment ago.
std::uint16_t freePort(bool udp);
// A path in the temporary folder, unique per process.
std::string tempPath(const std::string& name);
