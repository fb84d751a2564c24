#include "traffic.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>

namespace sim {

void FrameLog::write(const std::vector<SimFrame>& frames) {
    if (!enabled_ || frames.empty()) {
        return;
    }
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_)
            .count();
    std::lock_guard lock(mutex_);
    for (const SimFrame& frame : frames) {
        // Identifiers above the 11-bit range are printed in the extended form.
        char id[16];
        if (frame.id > 0x7FF) {
            std::snprintf(id, sizeof id, "%08X", frame.id);
        } else {
            std::snprintf(id, sizeof id, "%03X", frame.id);
        }
        std::string data;
        char hex[3];
        for (unsigned i = 0; i < frame.dataLength; ++i) {
            std::snprintf(hex, sizeof hex, "%02X", frame.data[i]);
            data += hex;
        }
        std::fprintf(stderr, "(%lld.%06lld) can%u %s%s%s\n", static_cast<long long>(micros / 1000000),
                     static_cast<long long>(micros % 1000000), static_cast<unsigned>(frame.channel), id,
                     frame.dataLength > 8 ? "##0" : "#", data.c_str());
    }
    std::fflush(stderr);
}

SimFrame patternFrame(uint64_t sequence, const Options& options, bool classic) {
    SimFrame frame;
    const uint64_t span = uint64_t{options.lastId} - options.firstId + 1;
    frame.timestamp = sequence;
    frame.id = static_cast<uint32_t>(options.firstId + sequence % span);
    frame.flags = static_cast<uint16_t>(sequence & 0xFFFF);
    frame.channel = options.channels[sequence % options.channels.size()];
    frame.dataLength = static_cast<uint8_t>(classic ? std::min(options.dataLength, 8u) : options.dataLength);
    for (size_t i = 0; i < frame.data.size(); ++i) {
        frame.data[i] = static_cast<uint8_t>(sequence + i);
    }
    return frame;
}

uint8_t packetType(RecordKind kind, uint64_t packetIndex) {
    switch (kind) {
        case RecordKind::Classic:
            return 0;
        case RecordKind::Fd:
            return 1;
        case RecordKind::Mixed:
            return packetIndex % 2 == 0 ? 0 : 1;
    }
    return 1;
}

std::vector<Packet> packFrames(const std::vector<SimFrame>& frames, const Options& options,
                               uint64_t& packetIndex) {
    std::vector<Packet> packets;
    for (size_t first = 0; first < frames.size(); first += options.recordsPerPacket) {
        size_t count = std::min<size_t>(options.recordsPerPacket, frames.size() - first);
        packets.push_back(
            encodePacket(std::span(frames).subspan(first, count), packetType(options.record, packetIndex++)));
    }
    return packets;
}

FrameGenerator::FrameGenerator(const Options& options, Clock::time_point start)
    : options_(options), start_(start), total_(options.generate) {}

Clock::time_point FrameGenerator::nextDue() const {
    if (options_.rate <= 0) {
        return start_;
    }
    return start_ + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(static_cast<double>(next_) / options_.rate));
}

std::vector<Packet> FrameGenerator::takeDue(Clock::time_point now, size_t maxPackets) {
    std::vector<Packet> packets;
    while (!finished() && packets.size() < maxPackets && nextDue() <= now) {
        const uint8_t type = packetType(options_.record, packetIndex_++);
        const uint64_t count = std::min<uint64_t>(options_.recordsPerPacket, total_ - next_);
        std::vector<SimFrame> frames;
        for (uint64_t i = 0; i < count; ++i) {
            frames.push_back(patternFrame(next_ + i, options_, type == 0));
        }
        next_ += count;
        packets.push_back(encodePacket(frames, type));
    }
    return packets;
}

namespace {

// One more byte than a receiver may cache for one peer, so that a receiver
// that discards an overlong cache discards exactly the flood. The bytes
// announce a payload of 0xFEFE bytes whose XOR never matches the byte after it.
constexpr size_t kFloodBytes = 0x100001;
constexpr size_t kFloodPiece = 1024;

}  // namespace

PacketWriter::PacketWriter(const Options& options, Stats& stats, Sink sink)
    : options_(options), stats_(stats), sink_(std::move(sink)), random_(options.seed) {}

PacketWriter::Outcome PacketWriter::write(Packet packet) {
    ++index_;
    const bool faultHere = index_ == options_.faultAt;
    std::vector<uint8_t>& bytes = packet.bytes;
    bool intact = true;
    if (faultHere) {
        switch (options_.fault) {
            case Fault::BadChecksum:
                bytes.back() ^= 0xFF;
                intact = false;
                break;
            case Fault::BadSync:
                bytes.back() ^= kSync ^ 0xAA;
                bytes.front() = 0xAA;
                intact = false;
                break;
            case Fault::Reset:
                sink_(bytes.data(), bytes.size() / 2);
                return Outcome::Reset;
            case Fault::Flood:
                if (!writeFlood()) {
                    return Outcome::Failed;
                }
                break;
            default:
                break;
        }
    }
    bool ok = true;
    if (options_.fault == Fault::Cut) {
        ok = writeCut(bytes);
    } else if (options_.fault == Fault::ByteAtATime) {
        for (size_t i = 0; ok && i < bytes.size(); ++i) {
            ok = sink_(&bytes[i], 1);
        }
    } else {
        ok = sink_(bytes.data(), bytes.size());
    }
    if (!ok) {
        return Outcome::Failed;
    }
    ++stats_.sentPackets;
    if (intact) {
        stats_.sentFrames += packet.frames;
    }
    return faultHere && options_.fault == Fault::Close ? Outcome::Close : Outcome::Sent;
}

bool PacketWriter::writeCut(const std::vector<uint8_t>& bytes) {
    std::vector<size_t> cuts{0, bytes.size()};
    const int extra = std::uniform_int_distribution<int>(1, 3)(random_);
    for (int i = 0; i < extra; ++i) {
        cuts.push_back(std::uniform_int_distribution<size_t>(1, bytes.size() - 1)(random_));
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    for (size_t i = 0; i + 1 < cuts.size(); ++i) {
        if (!sink_(bytes.data() + cuts[i], cuts[i + 1] - cuts[i])) {
            return false;
        }
    }
    return true;
}

bool PacketWriter::writeFlood() {
    std::vector<uint8_t> flood(kFloodBytes, 0xFE);
    flood[0] = kSync;
    flood[1] = 1;
    flood[2] = 0;
    flood[3] = 0;
    for (size_t offset = 0; offset < flood.size(); offset += kFloodPiece) {
        if (!sink_(flood.data() + offset, std::min(kFloodPiece, flood.size() - offset))) {
            return false;
        }
    }
    // Let the receiver read the whole flood before valid packets follow, so
    // that they start a fresh read of their own.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return true;
}

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
