#include "traffic.h"

#include <algorithm>

namespace sim {
namespace {

constexpr size_t kBatchPackets = 64;
constexpr int kIdleWaitMs = 50;

}  // namespace

Traffic::Traffic(const Options& options, RunControl& control, Stats& stats, FrameLog& log,
                 PacketWriter::Sink sink)
    : options_(options),
      control_(control),
      stats_(stats),
      log_(log),
      writer_(options, stats, std::move(sink)),
      generator_(options, RunControl::Clock::now()) {}

PacketWriter::Outcome Traffic::received(const uint8_t* bytes, size_t count) {
    control_.noteTraffic();
    std::vector<SimFrame> frames;
    decoder_.feed(bytes, count, frames);
    account();
    stats_.receivedFrames += frames.size();
    log_.write(frames);
    if (!options_.echo) {
        return PacketWriter::Outcome::Sent;
    }
    for (Packet& packet : packFrames(frames, options_, echoPackets_)) {
        if (auto outcome = writer_.write(std::move(packet)); outcome != PacketWriter::Outcome::Sent) {
            return outcome;
        }
    }
    return PacketWriter::Outcome::Sent;
}

void Traffic::endDatagram() {
    decoder_.finishDatagram();
    account();
}

void Traffic::account() {
    stats_.receivedPackets += decoder_.goodPackets() - countedGood_;
    stats_.badPackets += decoder_.badPackets() - countedBad_;
    countedGood_ = decoder_.goodPackets();
    countedBad_ = decoder_.badPackets();
}

PacketWriter::Outcome Traffic::sendDue() {
    for (Packet& packet : generator_.takeDue(RunControl::Clock::now(), kBatchPackets)) {
        if (auto outcome = writer_.write(std::move(packet)); outcome != PacketWriter::Outcome::Sent) {
            return outcome;
        }
        if (control_.shouldStop()) {
            break;
        }
    }
    return PacketWriter::Outcome::Sent;
}

int Traffic::waitMs() const {
    if (generator_.finished()) {
        return kIdleWaitMs;
    }
    const auto wait = generator_.nextDue() - RunControl::Clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wait).count();
    return static_cast<int>(std::clamp<int64_t>(ms, 0, kIdleWaitMs));
}

bool Traffic::done() const {
    return options_.generate > 0 && generator_.finished() && !options_.echo && options_.expect == 0 &&
           options_.idleMs == 0;
}

}  // namespace sim
