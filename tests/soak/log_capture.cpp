#include "log_capture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

LogCapture::LogCapture(const std::string& path) : path_(path) {
    // Appending, so that each line lands whole at the end whatever thread writes it.
    file_ = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    savedOut_ = fcntl(1, F_DUPFD_CLOEXEC, 3);
    savedErr_ = fcntl(2, F_DUPFD_CLOEXEC, 3);
    if (file_ < 0 || savedOut_ < 0 || savedErr_ < 0)
        throw std::runtime_error("cannot capture the output into " + path);
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(file_, 1);
    dup2(file_, 2);
}

LogCapture::~LogCapture() {
    restore();
    close(savedOut_);
    close(savedErr_);
    close(file_);
}

void LogCapture::restore() {
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(savedOut_, 1);
    dup2(savedErr_, 2);
}

long LogCapture::position() const {
    struct stat info {};
    fstat(file_, &info);
    return static_cast<long>(info.st_size);
}

long LogCapture::mark(const std::string& text) const {
    const std::string line = "soak: " + text + "\n";
    if (write(file_, line.data(), line.size()) < 0)
        return position();
    return position();
}

std::string LogCapture::read(long from, long to) const {
    std::string text(static_cast<std::size_t>(std::max(0L, to - from)), '\0');
    const ssize_t n = pread(file_, text.data(), text.size(), from);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return text;
}

void LogCapture::report(const std::string& line) const {
    const std::string text = line + "\n";
    if (write(savedOut_, text.data(), text.size()) < 0)
        return;
}

std::vector<std::string> LogTail::newLines() {
    const std::string text = log_.read(offset_, log_.position());
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    offset_ += static_cast<long>(start);  // a line still being written is read next time
    return lines;
}

bool bindFailedSince(const LogCapture& log, long from) {
    return log.read(from, log.position()).find("Bind failed: ") != std::string::npos;
}
