// Reads a handle's channel queues, as an application polls them, and hands
// each frame to the run whose identifier it carries.
#pragma once

#include <map>
#include <set>
#include <vector>

#include "device_run.h"
#include "quilvane_sdk.h"
#include "soak_tally.h"

class FrameReader {
  public:
    FrameReader(int handle, SoakTally& tally) : handle_(handle), tally_(tally), buffer_(1024) {}

    void add(DeviceRun& run);
    // One pass over the channels of the runs added; the number of frames read.
    int poll();

  private:
    int handle_;
    SoakTally& tally_;
    std::map<std::uint32_t, DeviceRun*> runs_;
    std::set<int> channels_;
    std::vector<CanFrame> buffer_;
};
