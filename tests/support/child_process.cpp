#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace {

// A memory file rather than a pipe: the child reads all of it whatever its
// size, without the parent having to write while it waits.
int inputFile(const std::string& input) {
    if (input.empty())
        return open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int fd = memfd_create("child-input", MFD_CLOEXEC);
    if (fd < 0 || write(fd, input.data(), input.size()) != static_cast<ssize_t>(input.size()) ||
        lseek(fd, 0, SEEK_SET) != 0)
        throw std::runtime_error("cannot prepare the child's standard input");
    return fd;
}

}  // namespace

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (const int fd : fds_)
        if (fd >= 0)
            close(fd);
}

void ChildProcess::spawn(const std::vector<std::string>& args, const SpawnOptions& options) {
    int out[2];
    int err[2];
    if (pipe(out) != 0 ||
        (options.errorTerminal ? openpty(&err[0], &err[1], nullptr, nullptr, nullptr) : pipe(err)) != 0)
        throw std::runtime_error("cannot make the child's pipes");
    // Close-on-exec, so that children started later do not hold them open.
    for (const int fd : {out[0], out[1], err[0], err[1]})
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    fds_[0] = out[0];
    fds_[1] = err[0];
    for (const int fd : fds_)
        fcntl(fd, F_SETFL, O_NONBLOCK);
    const int in = inputFile(options.input);
    // Built before fork: the test program may run other threads.
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    for (const int fd : {in, out[1], err[1]})
        close(fd);
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
}

void ChildProcess::collect(int waitMs) {
    pollfd fds[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
    if (poll(fds, 2, waitMs) <= 0)
        return;
    std::string* into[2] = {&out_, &err_};
    for (int i = 0; i < 2; ++i) {
        char chunk[4096];
        ssize_t n = 0;
        // Bounded against a child that never pauses.
        for (int reads = 0; fds[i].revents != 0 && reads < 64 && (n = read(fds_[i], chunk, sizeof chunk)) > 0;
             ++reads)
            into[i]->append(chunk, static_cast<std::size_t>(n));
        // End of stream, or EIO from a terminal whose last user is gone.
        if (fds[i].revents != 0 && (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))) {
            close(fds_[i]);
            fds_[i] = -1;
        }
    }
}

bool ChildProcess::streamsOpen() const {
    return fds_[0] >= 0 || fds_[1] >= 0;
}

void ChildProcess::interrupt(int signal) {
    if (pid_ > 0)
        kill(pid_, signal);
}

int ChildProcess::finish(int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= end)
            interrupt(SIGKILL);
        collect(20);
    }
    if (pid_ > 0) {
        pid_ = -1;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        readUntil([this] { return !streamsOpen(); }, 1000);  // what the child wrote just before it ended
    }
    return status_;
}
