#include "frame_generator.h"

#include <algorithm>

#include "packet_codec.h"

namespace sim {

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

}  // namespace sim
