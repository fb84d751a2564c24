#include "cli_process.h"

#include <netinet/in.h>
#include <sys/socket.h>
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

std::uint16_t freePort(bool udp) {
    const int fd = socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

std::string tempPath(const std::string& name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/quilvane-cli-" + std::to_string(getpid()) + "-" +
           name;
}
