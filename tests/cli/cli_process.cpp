#include "cli_process.h"

#include <unistd.h>

#include <cstdlib>

CliProcess::CliProcess(const std::vector<std::string>& args, const SpawnOptions& options) {
    const char* path = std::getenv("QUILVANE_CLI");
    std::vector<std::string> argv{path != nullptr ? path : QUILVANE_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    spawn(argv, options);
}

CliResult runCli(const std::vector<std::string>& args) {
    CliProcess cli(args);
    return {cli.finish(), cli.out(), cli.err()};  // braces: left to right
}

std::string tempPath(const std::string& name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/quilvane-cli-" + std::to_string(getpid()) + "-" +
           name;
}
