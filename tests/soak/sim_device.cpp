#include "sim_device.h"

#include <thread>

namespace {

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

SimDevice::SimDevice(const RunPlan& plan, std::vector<std::string> mode)
    : run_(plan), sim_(concat(std::move(mode), plan.simArgs())) {}

bool SimDevice::ended() {
    if (ended_)
        return true;
    // A few milliseconds: a shorter time-out may end before the output is looked at.
    sim_.readUntil([&] { return sim_.out().find("summary ") != std::string::npos; }, 5);
    if (sim_.out().find("summary ") == std::string::npos && sim_.streamsOpen())
        return false;
    const auto values = sim_.summary();
    const auto it = values.find("sent_frames");
    sent_ = it == values.end() ? 0 : it->second;
    ended_ = true;
    return true;
}

void SimDevice::judge(const LossCover& cover, SoakTally& tally) {
    // A device judged before it was seen to end (its connection failed) gets
    // a few seconds more; one killed then ends without a summary.
    const int status = sim_.finish(5000);
    const std::string who = run_.plan().describe();
    if (!ended() || sim_.out().find("summary ") == std::string::npos)
        tally.violation(who + ": the simulator did not end in time");
    else if (status != 0)
        tally.violation(who + ": the simulator ended with status " + std::to_string(status) + ": " +
                        sim_.err());
    if (sim_.err().find("Sanitizer") != std::string::npos ||
        sim_.err().find("runtime error") != std::string::npos)
        tally.violation(who + ": sanitizer report from the simulator: " + sim_.err());
    run_.judge(sent_, cover, tally);
}

bool readUntilSettled(FrameReader& reader, const std::vector<SimDevice*>& devices,
                      const std::function<bool()>& step, std::chrono::seconds limit) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto lastFrame = start;
    auto settledSince = Clock::time_point::max();
    while (Clock::now() - start < limit) {
        const bool allStarted = step();
        if (reader.poll() > 0)
            lastFrame = Clock::now();
        bool allEnded = allStarted;
        bool allComplete = true;
        for (SimDevice* d : devices) {
            allEnded = d->ended() && allEnded;
            allComplete = allComplete && d->run().complete();
        }
        const auto now = Clock::now();
        if (allEnded && allComplete) {
            // Frames that should not come would come right behind the last good ones.
            settledSince = std::min(settledSince, now);
            if (now - settledSince > std::chrono::milliseconds(300))
                return true;
        }
        if (allEnded && now - lastFrame > std::chrono::seconds(3))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}
