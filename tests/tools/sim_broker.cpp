// sim_broker: runs the device simulator for Windows test programs under
// wine, which cannot start, watch and kill a Linux process reliably. It
// listens on 127.0.0.1 and, for each connection, runs the one simulator it
// was given on its command line (never another program). It ends by itself
// after 15 minutes or as soon as the process that started it has gone.
//
//   sim_broker SIMULATOR     prints "ready PORT"
//
// The test's side (child_process_broker.cpp) sends the arguments, argv[0]
// (the simulator's path) first, one a line, then an empty line. The
// connection is then the simulator's standard output; its standard error is
// the broker's. Once the test shuts down its side, the simulator is killed;
// the connection closes only after the simulator has ended and been reaped.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t stopping = 0;

bool readable(int fd, int timeoutMs) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, timeoutMs) == 1;
}

// The arguments up to the empty line; empty if the test did not send them in time.
std::vector<std::string> readArguments(int fd) {
    std::vector<std::string> args;
    std::string line;
    const auto end = Clock::now() + std::chrono::seconds(10);
    char c = 0;
    while (Clock::now() < end && line.size() < 4096 && readable(fd, 100)) {
        if (recv(fd, &c, 1, 0) != 1)
            return {};
        if (c != '\n') {
            line += c;
        } else if (line.empty()) {
            return args;
        } else {
            args.push_back(line);
            line.clear();
        }
    }
    return {};
}

// One connection, in a process of its own.
void serve(int fd, const std::string& sim, Clock::time_point end) {
    const std::vector<std::string> args = readArguments(fd);
    if (args.empty() || args[0] != sim) {
        std::fprintf(stderr, "sim_broker runs only %s\n", sim.c_str());
        return;
    }
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        dup2(fd, 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    while (child > 0 && waitpid(child, nullptr, WNOHANG) == 0) {
        if (stopping || Clock::now() >= end || readable(fd, 100)) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: sim_broker SIMULATOR\n");
        return 2;
    }
    const std::string sim = argv[1];
    const pid_t parent = getppid();
    const pid_t self = getpid();
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("sim_broker: cannot listen on 127.0.0.1");
        return 1;
    }
    std::printf("ready %u\n", ntohs(address.sin_port));
    std::fflush(stdout);

    const auto end = Clock::now() + std::chrono::minutes(15);
    while (Clock::now() < end && getppid() == parent) {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        if (!readable(listener, 500))
            continue;
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        if (fork() == 0) {
            // Ends, killing its child, when the broker ends in any way.
            struct sigaction action {};
            action.sa_handler = [](int) { stopping = 1; };
            sigaction(SIGTERM, &action, nullptr);
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() == self) {
                close(listener);
                serve(fd, sim, end);
            }
            _exit(0);
        }
        close(fd);
    }
    return 0;
}
