#include "device_run.h"

#include <algorithm>

DeviceRun::DeviceRun(RunPlan plan)
    : plan_(std::move(plan)), seen_(static_cast<std::size_t>(plan_.count)), lastOnChannel_(256, -1) {
    for (int s = 0; s < plan_.count; ++s)
        mustCount_ += plan_.mustArrive(s);
    mustLeft_ = mustCount_;
}

std::string DeviceRun::problem(const std::string& what) const {
    return plan_.describe() + ": " + what;
}

void DeviceRun::receive(const CanFrame& f) {
    ++received_;
    const auto note = [&](const std::string& what) {
        if (++problemCount_ <= 3)
            problems_.push_back(problem(what + " (frame timestamp " + std::to_string(f.timestamp) + ")"));
    };
    if (f.timestamp >= static_cast<std::uint64_t>(plan_.count))
        return note("a frame beyond those generated");
    const int s = static_cast<int>(f.timestamp);
    const std::size_t n = plan_.channels.size();
    const int lengthFd = plan_.dataLength;
    const int lengthClassic = std::min(plan_.dataLength, 8);
    const bool lengthOk = (plan_.record != "classic" && f.dataLength == lengthFd) ||
                          (plan_.record != "fd" && f.dataLength == lengthClassic);
    bool dataOk =
        lengthOk && f.flags == (s & 0xFFFF) && f.channel == plan_.channels[static_cast<std::size_t>(s) % n];
    for (int i = 0; dataOk && i < f.dataLength; ++i)
        dataOk = f.data[i] == ((s + i) & 0xFF);
    if (!dataOk)
        return note("content differs from what was sent");
    if (seen_[static_cast<std::size_t>(s)])
        return note("arrived twice");
    seen_[static_cast<std::size_t>(s)] = true;
    if (!plan_.mayArrive(s))
        return note("arrived although its packet was spoiled or never sent whole");
    mustLeft_ -= plan_.mustArrive(s);
    int& last = lastOnChannel_[f.channel];
    if (s < last)
        note("out of order on channel " + std::to_string(f.channel));
    last = std::max(last, s);
}

void DeviceRun::judge(std::uint64_t simSent, const LossCover& cover, SoakTally& tally) const {
    for (const std::string& p : problems_)
        tally.violation(p);
    if (problemCount_ > 3)
        tally.violation(problem(std::to_string(problemCount_ - 3) + " more frame problems"));
    if (simSent != static_cast<std::uint64_t>(plan_.intactFrames()))
        tally.violation(problem("the simulator sent " + std::to_string(simSent) + " intact frames, " +
                                std::to_string(plan_.intactFrames()) + " planned"));
    // A flood is more than a connection's cache may hold: the library must say that it cleared it.
    if (plan_.fault == "flood" && plan_.link != Link::Udp && cover.dropLines == 0)
        tally.violation(problem("a flood without an overflow or drop line"));
    tally.add("runs");
    tally.add("runs " + std::string(linkName(plan_.link)));
    tally.add("fault " + plan_.fault);
    tally.add("frames sent by devices", simSent);
    tally.add("frames received", static_cast<std::uint64_t>(received_));
    // Sent whole, yet not to arrive: behind a bad checksum on TCP, or cut across datagrams.
    tally.add("frames sent that their fault keeps back",
              static_cast<std::uint64_t>(std::max(0, plan_.intactFrames() - mustCount_)));
    if (mustLeft_ == 0) {
        tally.add("runs with every frame that must arrive, once and in order");
        if (plan_.fault == "none" && cover.dropLines == 0 && !cleared_)
            tally.add("runs without fault or drop line, every frame once and in order");
        return;
    }
    // Which frames are missing, and whether they are the end of the stream.
    int firstMissing = plan_.count;
    int lastSeen = -1;
    for (int s = 0; s < plan_.count; ++s) {
        if (plan_.mustArrive(s) && !seen_[static_cast<std::size_t>(s)])
            firstMissing = std::min(firstMissing, s);
        if (seen_[static_cast<std::size_t>(s)])
            lastSeen = s;
    }
    const auto missing = static_cast<std::uint64_t>(mustLeft_);
    if (cover.dropLines > 0) {
        tally.add("frames missing, covered by drop lines", missing);
    } else if (cleared_) {
        tally.add("frames missing after an application clear", missing);
    } else if (cover.kernelDrops > 0) {
        tally.add("frames missing, covered by UDP datagrams the system dropped", missing);
    } else if (plan_.fault == "reset" && lastSeen < firstMissing) {
        // The reset discards what the device had not yet handed to the network.
        tally.add("frames lost with a reset (end of the stream)", missing);
    } else {
        tally.violation(problem(std::to_string(missing) + " frames missing (first timestamp " +
                                std::to_string(firstMissing) + ") with no drop line to explain it"));
    }
}
