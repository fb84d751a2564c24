// A lane's seeded sequence of simulator runs: which fault, where, and what
// traffic. The same seed gives the same sequence; only timing differs.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "run_plan.h"

class RunSchedule {
  public:
    RunSchedule(std::uint32_t seed, int lane);

    RunPlan next(Link link);
    // For the lanes' own choices (how many devices, which reply fault).
    int between(int low, int high);
    template <class T>
    const T& pick(const std::vector<T>& from) {
        return from[static_cast<std::size_t>(between(0, static_cast<int>(from.size()) - 1))];
    }

  private:
    std::mt19937 random_;
    std::uint32_t nextId_;
};
