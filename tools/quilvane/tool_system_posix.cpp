#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "tool_system.h"

namespace tool_system {

namespace {

void (*stopCallback)() = nullptr;

void onSignal(int) {
    stopCallback();
}

}  // namespace

void onStopRequest(void (*stop)()) {
    stopCallback = stop;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // SA_RESETHAND: the second Ctrl-C meets the default action.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void useRawStandardStreams() {}

int duplicateStandardOutput() {
    return fcntl(1, F_DUPFD_CLOEXEC, 3);
}

FILE* openWriteStream(int fd) {
    return fdopen(fd, "w");
}

bool makePipe(int fds[2]) {
    return pipe2(fds, O_CLOEXEC) == 0;
}

void redirectStandardOutput(int fd) {
    dup2(fd, 1);
}

long readSome(int fd, char* buffer, std::size_t size) {
    while (true) {
        const ssize_t n = read(fd, buffer, size);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
}

void writeAll(int fd, const char* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t n = write(fd, bytes, count);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
}

void closeDescriptor(int fd) {
    close(fd);
}

bool isTerminal(int fd) {
    return isatty(fd) == 1;
}

}  // namespace tool_system
