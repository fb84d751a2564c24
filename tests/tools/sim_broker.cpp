// sim_broker: runs the device simulator for Windows test programs under
// wine, which cannot start, watch and kill a Linux process reliably. It
// listens on 127.0.0.1 and, for each connection, runs the one simulator it
// was given on its command line (never another program), relays its standard
// output, standard error and exit status, forwards signals to it, and kills
// it when the connection closes. It ends by itself after its lifetime or as
// soon as the process that started it has gone.
//
//   sim_broker --sim PATH [--lifetime SECONDS]     prints "ready PORT"
//
// The test's side (child_process_broker.cpp) sends the arguments, argv[0]
// (the simulator's path) first, one a line, then an empty line; after that
// single bytes, each a signal number (SIGINT, SIGTERM or SIGKILL) for the
// child. The broker sends messages: a kind byte, the length in 4 bytes
// (big-endian), the bytes. Kinds: 'o' standard output, 'e' standard error,
// 'x' the exit status as decimal text, last, after which it closes.
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
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "../support/child_process.h"

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t stopping = 0;

bool readable(int fd, int timeoutMs) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, timeoutMs) == 1;
}

bool sendAll(int fd, const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool sendMessage(int fd, char kind, const std::string& bytes) {
    const auto n = static_cast<std::uint32_t>(bytes.size());
    const char head[5] = {kind, static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                          static_cast<char>(n >> 8), static_cast<char>(n)};
    return sendAll(fd, std::string(head, 5) + bytes);
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

// One connection, in a process of its own. Returning kills the child (the
// ChildProcess destructor), so every way out leaves nothing running.
void serve(int fd, const std::string& sim, Clock::time_point end) {
    const std::vector<std::string> args = readArguments(fd);
    ChildProcess child;
    try {
        if (args.empty() || args[0] != sim)
            throw std::runtime_error("sim_broker runs only " + sim);
        child.spawn(args);
    } catch (const std::exception& e) {
        sendMessage(fd, 'e', std::string(e.what()) + "\n");
        sendMessage(fd, 'x', "127");
        return;
    }
    std::size_t outSent = 0, errSent = 0;
    auto relay = [&] {
        const bool ok =
            (child.out().size() == outSent || sendMessage(fd, 'o', child.out().substr(outSent))) &&
            (child.err().size() == errSent || sendMessage(fd, 'e', child.err().substr(errSent)));
        outSent = child.out().size();
        errSent = child.err().size();
        return ok;
    };
    while (child.streamsOpen() && !stopping && Clock::now() < end) {
        child.readUntil(
            [&] {
                return child.out().size() > outSent || child.err().size() > errSent || stopping ||
                       readable(fd, 0);
            },
            200);
        if (!relay())
            return;
        if (readable(fd, 0)) {
            unsigned char signal = 0;
            if (recv(fd, &signal, 1, 0) != 1)
                return;  // the test has gone
            if (signal == SIGINT || signal == SIGTERM || signal == SIGKILL)
                child.interrupt(signal);
        }
    }
    if (child.streamsOpen())
        return;                             // stopped, or out of time
    const int status = child.finish(5000);  // it closed its streams: it is ending
    if (relay())
        sendMessage(fd, 'x', std::to_string(status));
}

}  // namespace

int main(int argc, char** argv) {
    std::string sim;
    int lifetime = 600;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--sim") == 0)
            sim = argv[i + 1];
        else if (std::strcmp(argv[i], "--lifetime") == 0)
            lifetime = std::atoi(argv[i + 1]);
    }
    if (sim.empty() || lifetime <= 0) {
        std::fprintf(stderr, "usage: sim_broker --sim PATH [--lifetime SECONDS]\n");
        return 2;
    }
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

    const auto end = Clock::now() + std::chrono::seconds(lifetime);
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
