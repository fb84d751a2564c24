// Runs the quilvane tool (QUILVANE_CLI, else the path it was built at) as a
// child process, and small helpers for the tests that do.
#pragma once

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

// A path in the temporary folder, unique per process.
std::string tempPath(const std::string& name);
