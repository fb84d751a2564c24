// The library's output, and the lines in it that explain lost frames.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "common/log_lines.h"
#include "soak.h"

namespace lines = quilvane::log_lines;

Log::Log(const std::string& path) : file_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    // Appended, so that each write lands whole at the end whatever thread makes it.
    struct stat log {};
    struct stat out {};
    for (const int fd : {1, 2})
        if (file_ < 0 || fstat(file_, &log) != 0 || fstat(fd, &out) != 0 || log.st_ino != out.st_ino ||
            (fcntl(fd, F_GETFL) & O_APPEND) == 0)
            throw std::runtime_error("standard output and error must be appended to " + path);
}

Log::~Log() {
    close(file_);
}

long Log::mark(const std::string& text) const {
    const std::string line = "soak: " + text + "\n";
    struct stat info {};
    if (write(1, line.data(), line.size()) < 0 || fstat(file_, &info) != 0)
        return 0;
    return static_cast<long>(info.st_size);
}

std::vector<std::string> Log::linesSince(long& offset) const {
    struct stat info {};
    fstat(file_, &info);
    std::string text(static_cast<std::size_t>(std::max(0L, static_cast<long>(info.st_size) - offset)), '\0');
    text.resize(static_cast<std::size_t>(
        std::max(0L, static_cast<long>(pread(file_, text.data(), text.size(), offset)))));
    std::vector<std::string> result;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        result.push_back(text.substr(start, end - start));
    offset += static_cast<long>(start);
    return result;
}

std::optional<long> numberAfter(const std::string& line, const std::string& prefix) {
    char* end = nullptr;
    const long n = std::strtol(line.c_str() + std::min(prefix.size(), line.size()), &end, 10);
    return line.starts_with(prefix) && end != line.c_str() + prefix.size() ? std::optional(n) : std::nullopt;
}

std::optional<DropLine> dropLine(const std::string& line) {
    if (line == lines::kQueueFullDroppingData || line == lines::kCacheOverflow)
        return DropLine{line == lines::kQueueFullDroppingData, std::nullopt};
    if (const auto s = numberAfter(line, lines::kQueueFullDroppingDataFromClient))
        return DropLine{true, s};
    if (const auto s = numberAfter(line, lines::kCacheOverflowForClient))
        return DropLine{false, s};
    return std::nullopt;
}

// A TCP client's lines name no device: only the lane's one device runs. A
// server's name a device by its socket; a device is started only once the
// one before has its client thread, so the k-th "Client thread started"
// line is the k-th device's. A socket number comes back once its device
// has ended, and the chunks that device left queued are processed later
// still: a line covers every device that had its number. UDP has none.
std::vector<int> dropLinesPerDevice(const std::vector<std::string>& log, Link link, std::size_t devices) {
    std::vector<int> covers(devices);
    std::multimap<long, std::size_t> devicesOf;
    std::size_t started = 0;
    for (const std::string& line : log) {
        const auto drop = dropLine(line);
        if (link == Link::TcpClient && drop && !drop->socket) {
            for (int& c : covers)
                ++c;
        } else if (link != Link::TcpServer) {
            continue;
        } else if (const auto socket = numberAfter(line, lines::kClientThreadStarted);
                   socket && started < devices) {
            devicesOf.emplace(*socket, started++);
        } else if (drop && drop->socket) {
            const auto [first, last] = devicesOf.equal_range(*drop->socket);
            for (auto it = first; it != last; ++it)
                ++covers[it->second];
        }
    }
    return covers;
}
