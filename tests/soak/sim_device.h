// One simulator process playing one device connection, with the record of
// its frames, and the loop that reads a handle until its devices are done.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device_run.h"
#include "frame_reader.h"
#include "sim_process.h"
#include "soak_tally.h"

class SimDevice {
  public:
    // `mode`: the simulator's mode options; the plan adds the traffic.
    SimDevice(const RunPlan& plan, std::vector<std::string> mode);

    DeviceRun& run() { return run_; }
    bool readyLine() { return !sim_.ready().empty(); }
    std::uint16_t readyPort() { return sim_.readyPort(); }
    // Reads its output; true once it has printed its summary and ended.
    bool ended();
    // Once ended (or, after a time-out, killed): the checks of its run and of its own output.
    void judge(const LossCover& cover, SoakTally& tally);

  private:
    DeviceRun run_;
    SimProcess sim_;
    bool ended_ = false;
    std::uint64_t sent_ = 0;
};

// Polls `reader` and calls `step` until every device has ended and every
// frame that must arrive has come (then a little longer, for frames that
// should not come), or until nothing came for 3 s after the devices ended.
// `step` returns false while it still has devices to start. Bounded by
// `limit`; false if that ran out.
bool readUntilSettled(FrameReader& reader, const std::vector<SimDevice*>& devices,
                      const std::function<bool()>& step, std::chrono::seconds limit);
