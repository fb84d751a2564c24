// The socketcand discovery beacon: every 3 s a UDP broadcast to port 42000
// on each subnet the server listens on (all that have a broadcast address
// when it listens on every address), naming this host, the server's URL on
// that subnet and its buses. Off unless asked for: it goes to real networks.
#pragma once

#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace socketcand {

constexpr std::uint16_t kBeaconPort = 42000;
constexpr std::chrono::seconds kBeaconPeriod{3};

std::string beaconText(const std::string& host, const std::string& description, const std::string& url,
                       const std::vector<std::string>& buses);

class Beacon {
  public:
    // `listenAddress` 0: every subnet.
    Beacon(std::uint32_t listenAddress, std::uint16_t port, std::string description,
           std::vector<std::string> buses);

    // Sends when due; each new problem is reported once on standard error.
    void sendIfDue(std::chrono::steady_clock::time_point now);
    std::chrono::steady_clock::time_point nextDue() const { return next_; }
    std::uint64_t sent() const { return sent_; }

  private:
    void problem(const std::string& text);

    std::uint32_t listenAddress_;
    std::uint16_t port_;
    std::string description_;
    std::vector<std::string> buses_;
    std::string host_;
    std::chrono::steady_clock::time_point next_{};
    std::uint64_t sent_ = 0;
    std::set<std::string> reported_;
};

}  // namespace socketcand
