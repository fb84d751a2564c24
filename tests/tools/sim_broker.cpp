// sim_broker SIMULATOR: runs the device simulator for Windows test programs
// under wine, which cannot start, watch and kill a Linux process reliably.
// Prints "ready PORT" and listens on 127.0.0.1. A connection sends the
// arguments, the simulator's path first, one a line, then an empty line, and
// is then the simulator's standard output. Once the test shuts its side the
// simulator is killed; the connection closes after it is reaped. The broker
// runs nothing else, and ends after 15 minutes or when its parent has gone.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

bool readable(int fd, int timeoutMs) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, timeoutMs) == 1;
}

// One connection, in a process of its own.
void serve(int fd, const std::string& sim, Clock::time_point end) {
    std::string request;
    const auto given = Clock::now() + std::chrono::seconds(10);
    for (char c = 0; !request.ends_with("\n\n") && request.size() < 65536 && Clock::now() < given &&
                     readable(fd, 100) && recv(fd, &c, 1, 0) == 1;)
        request += c;
    std::vector<std::string> args;
    for (size_t at = 0, next; (next = request.find('\n', at)) > at && next != std::string::npos;
         at = next + 1)
        args.push_back(request.substr(at, next - at));
    if (!request.ends_with("\n\n") || args.empty() || args[0] != sim) {
        std::fprintf(stderr, "sim_broker runs only %s\n", sim.c_str());
        return;
    }
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // kept across exec
        dup2(fd, 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    while (child > 0 && waitpid(child, nullptr, WNOHANG) == 0)
        if (Clock::now() >= end || readable(fd, 100))
            kill(child, SIGKILL);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: sim_broker SIMULATOR\n");
        return 2;
    }
    const pid_t parent = getppid(), self = getpid();
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
    for (const auto end = Clock::now() + std::chrono::minutes(15);
         Clock::now() < end && getppid() == parent;) {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        const int fd = readable(listener, 500) ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        if (fd >= 0 && fork() == 0) {
            // Ends, and so does its simulator, when the broker ends in any way.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() == self) {
                close(listener);
                serve(fd, argv[1], end);
            }
            _exit(0);
        }
        if (fd >= 0)
            close(fd);
    }
    return 0;
}
