#include "soak_tally.h"

void SoakTally::add(const std::string& counter, std::uint64_t amount) {
    std::lock_guard lock(mutex_);
    counts_[counter] += amount;
}

void SoakTally::violation(const std::string& what) {
    std::lock_guard lock(mutex_);
    violations_.push_back(what);
}

std::uint64_t SoakTally::count(const std::string& counter) const {
    std::lock_guard lock(mutex_);
    const auto it = counts_.find(counter);
    return it == counts_.end() ? 0 : it->second;
}

std::map<std::string, std::uint64_t> SoakTally::counts() const {
    std::lock_guard lock(mutex_);
    return counts_;
}

std::vector<std::string> SoakTally::violations() const {
    std::lock_guard lock(mutex_);
    return violations_;
}
