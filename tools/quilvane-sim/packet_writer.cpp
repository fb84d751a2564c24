#include "packet_writer.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "packet_codec.h"

namespace sim {
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

}  // namespace sim
