// What the soak's parts share: the tally, the library's output and the lanes.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Counts for the summary and the violations found, from every lane.
struct Tally {
    void add(const std::string& counter, std::uint64_t amount = 1) {
        std::lock_guard lock(mutex);
        counts[counter] += amount;
    }
    void violation(const std::string& what) {
        std::lock_guard lock(mutex);
        violations.push_back(what);
    }

    std::mutex mutex;
    std::map<std::string, std::uint64_t> counts;
    std::vector<std::string> violations;
};

// The library's standard output and error, which scripts/soak.sh appends to
// one file in the order written: read back for the lines written while a
// connection was open.
class Log {
  public:
    explicit Log(const std::string& path);
    ~Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    // Writes "soak: TEXT" into the log; the offset after it.
    long mark(const std::string& text) const;
    // The whole lines from `offset` on; it moves past them (a line still being written comes next time).
    std::vector<std::string> linesSince(long& offset) const;

  private:
    int file_;
};

enum class Link { TcpClient, TcpServer, Udp };

// A line that tells of lost received bytes; a TCP server's names the device's socket.
struct DropLine {
    bool queueFull;
    std::optional<long> socket;
};
std::optional<DropLine> dropLine(const std::string& line);
std::optional<long> numberAfter(const std::string& line, const std::string& prefix);
// How many of a connection's lines cover each of its devices, in the order they started.
std::vector<int> dropLinesPerDevice(const std::vector<std::string>& lines, Link link, std::size_t devices);

using Clock = std::chrono::steady_clock;

struct Soak {
    const Log& log;
    Tally& tally;
    std::uint32_t seed;
    Clock::time_point deadline;  // no run starts after it

    bool running() const { return Clock::now() < deadline; }
};

void connectionLane(const Soak& soak, Link link);
void churnLane(const Soak& soak);
void discoveryLane(const Soak& soak);
