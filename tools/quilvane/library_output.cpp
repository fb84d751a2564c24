#include "library_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <string>

#include "signals.h"

namespace {

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

}  // namespace

LibraryOutput::LibraryOutput() {
    std::fflush(stdout);
    const int kept = fcntl(1, F_DUPFD_CLOEXEC, 3);
    data_ = kept >= 0 ? fdopen(kept, "w") : nullptr;
    if (data_ == nullptr) {
        data_ = stdout;  // nothing to keep apart; the library's lines stay mixed in
        return;
    }
    if (isatty(kept)) {
        setvbuf(data_, nullptr, _IOLBF, 0);
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        dup2(2, 1);
        return;
    }
    dup2(fds[1], 1);
    close(fds[1]);
    watching_ = true;
    forwarder_ = std::thread(&LibraryOutput::forward, this, fds[0]);
}

LibraryOutput::~LibraryOutput() {
    std::cout.flush();
    std::fflush(stdout);
    if (forwarder_.joinable()) {
        dup2(2, 1);  // the pipe's last writer goes: the forwarder reads its end
        forwarder_.join();
    }
    if (data_ != stdout) {
        std::fclose(data_);
    }
}

LinkEvents LibraryOutput::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

bool LibraryOutput::waitFor(const std::function<bool(const LinkEvents&)>& done,
                            std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mutex_);
    while (!done(events_)) {
        if (stopRequested() || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        // Wakes now and then to notice Ctrl-C.
        changed_.wait_for(lock, std::chrono::milliseconds(20));
    }
    return true;
}

void LibraryOutput::forward(int from) {
    std::string pending;
    char chunk[4096];
    while (true) {
        const ssize_t n = read(from, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        pending.append(chunk, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            writeAll(2, pending.data(), end + 1);
            {
                std::lock_guard lock(mutex_);
                events_.note(std::string_view(pending.data(), end));
            }
            changed_.notify_all();
            pending.erase(0, end + 1);
        }
    }
    writeAll(2, pending.data(), pending.size());
    close(from);
}
