#include "cli_process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>

CliProcess::CliProcess(const std::vector<std::string>& args, bool terminal, const std::string& input) {
    const char* path = std::getenv("QUILVANE_CLI");
    if (path == nullptr) {
        path = QUILVANE_CLI_PATH;
    }
    int out[2];
    int err[2];
    if (pipe(out) != 0 ||
        (terminal ? openpty(&err[0], &err[1], nullptr, nullptr, nullptr) : pipe(err)) != 0) {
        throw std::runtime_error("pipe failed");
    }
    inputPath_ = input.empty() ? "/dev/null" : tempPath("input-" + std::to_string(out[0]));
    if (!input.empty()) {
        writeFile(inputPath_, input);
    }
    pid_ = fork();
    if (pid_ == 0) {
        const int in = open(inputPath_.c_str(), O_RDONLY);
        dup2(in, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        std::vector<char*> argv{const_cast<char*>(path)};
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(path, argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
}

CliProcess::~CliProcess() {
    if (status_ < 0 && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (outFd_ >= 0)
        close(outFd_);
    if (errFd_ >= 0)
        close(errFd_);
    if (inputPath_ != "/dev/null") {
        std::remove(inputPath_.c_str());
    }
}

bool CliProcess::pump(int timeoutMs) {
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (outFd_ < 0 && errFd_ < 0) {
        return false;
    }
    if (poll(fds, 2, timeoutMs) <= 0) {
        return true;
    }
    int* owners[2] = {&outFd_, &errFd_};
    std::string* into[2] = {&out_, &err_};
    for (int i = 0; i < 2; ++i) {
        if (fds[i].revents == 0)
            continue;
        char chunk[4096];
        const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
        if (n > 0) {
            into[i]->append(chunk, static_cast<size_t>(n));
        } else {  // end, or EIO from a terminal whose last user is gone
            close(*owners[i]);
            *owners[i] = -1;
        }
    }
    return true;
}

bool CliProcess::waitUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end || !pump(50))
            return false;
    }
    return true;
}

bool CliProcess::waitForError(const std::string& text, int timeoutMs) {
    return waitUntil([&] { return err_.find(text) != std::string::npos; }, timeoutMs);
}

bool CliProcess::waitForLines(std::size_t lines, int timeoutMs) {
    return waitUntil([&] { return outLines().size() >= lines; }, timeoutMs);
}

void CliProcess::interrupt() {
    kill(pid_, SIGINT);
}

int CliProcess::finish(int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pump(50)) {
        if (std::chrono::steady_clock::now() >= end) {
            kill(pid_, SIGKILL);
            break;
        }
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
}

std::vector<std::string> CliProcess::outLines() const {
    std::vector<std::string> lines;
    std::istringstream in(out_);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

CliResult runCli(const std::vector<std::string>& args) {
    CliProcess cli(args);
    const int status = cli.finish();
    return {status, cli.out(), cli.err()};
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

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

std::string tempPath(const std::string& name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/quilvane-cli-" + std::to_string(getpid()) + "-" +
           name;
}
