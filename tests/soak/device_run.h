// The frames of one simulator connection as the application reads them:
// each is checked against what the simulator generates for its timestamp,
// for duplicates and for order per channel. judge() then accounts for the
// frames that did not come.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quilvane_sdk.h"
#include "run_plan.h"
#include "soak_tally.h"

// What can explain lost frames on a connection.
struct LossCover {
    int dropLines = 0;              // queue-full and cache-overflow lines of this connection
    std::uint64_t kernelDrops = 0;  // UDP datagrams the system dropped meanwhile
};

class DeviceRun {
  public:
    explicit DeviceRun(RunPlan plan);

    const RunPlan& plan() const { return plan_; }
    void receive(const CanFrame& frame);
    void clearedByApplication() { cleared_ = true; }
    // Every frame that must arrive has.
    bool complete() const { return mustLeft_ == 0; }
    int received() const { return received_; }

    // Once the connection is closed: `simSent` from the simulator's summary.
    void judge(std::uint64_t simSent, const LossCover& cover, SoakTally& tally) const;

  private:
    std::string problem(const std::string& what) const;

    RunPlan plan_;
    std::vector<bool> seen_;
    std::vector<int> lastOnChannel_;  // by channel; -1 before the first
    int mustCount_ = 0;
    int mustLeft_ = 0;
    int received_ = 0;
    bool cleared_ = false;
    std::vector<std::string> problems_;  // at most a few, the first ones
    int problemCount_ = 0;
};
