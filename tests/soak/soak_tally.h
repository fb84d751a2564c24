// The soak's counts and the violations found, shared by every lane.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class SoakTally {
  public:
    void add(const std::string& counter, std::uint64_t amount = 1);
    void violation(const std::string& what);

    std::uint64_t count(const std::string& counter) const;
    std::map<std::string, std::uint64_t> counts() const;
    std::vector<std::string> violations() const;

  private:
    mutable std::mutex mutex_;
    std::map<std::string, std::uint64_t> counts_;
    std::vector<std::string> violations_;
};
