#include "packet_codec.h"

#include <algorithm>

namespace sim {
namespace {

size_t recordSize(uint8_t type) {
    return type == 0 ? kClassicRecordSize : kFdRecordSize;
}

void putBigEndian(uint8_t* out, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * (bytes - 1 - i)));
    }
}

uint64_t getBigEndian(const uint8_t* in, size_t bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; ++i) {
        value = (value << 8) | in[i];
    }
    return value;
}

}  // namespace

uint8_t xorOf(const uint8_t* bytes, size_t count) {
    uint8_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
        sum ^= bytes[i];
    }
    return sum;
}

Packet encodePacket(std::span<const SimFrame> frames, uint8_t type) {
    const size_t size = recordSize(type);
    const size_t room = size - 16;
    const size_t payload = frames.size() * size;
    Packet packet;
    packet.frames = static_cast<unsigned>(frames.size());
    packet.bytes.assign(kHeaderSize + payload + 1, 0);
    uint8_t* out = packet.bytes.data();
    out[0] = kSync;
    out[1] = type;
    putBigEndian(out + 4, payload, 2);
    uint8_t* record = out + kHeaderSize;
    for (const SimFrame& frame : frames) {
        const size_t length = std::min<size_t>(frame.dataLength, room);
        putBigEndian(record, frame.timestamp, 8);
        putBigEndian(record + 8, frame.id, 4);
        putBigEndian(record + 12, frame.flags, 2);
        record[14] = frame.channel;
        record[15] = static_cast<uint8_t>(length);
        std::copy_n(frame.data.begin(), length, record + 16);
        record += size;
    }
    out[kHeaderSize + payload] = xorOf(out, kHeaderSize + payload);
    return packet;
}

void StreamDecoder::feed(const uint8_t* bytes, size_t count, std::vector<SimFrame>& frames) {
    pending_.insert(pending_.end(), bytes, bytes + count);
    size_t p = 0;
    while (p < pending_.size()) {
        const uint8_t* at = pending_.data() + p;
        const size_t left = pending_.size() - p;
        if (at[0] != kSync) {
            if (!resyncing_) {
                ++badPackets_;
                resyncing_ = true;
            }
            ++p;
            continue;
        }
        if (left < kHeaderSize + 1) {
            break;
        }
        const size_t payload = static_cast<size_t>(getBigEndian(at + 4, 2));
        if (left < kHeaderSize + payload + 1) {
            break;
        }
        const bool typeOk = (at[1] == 0 || at[1] == 1) && at[2] == 0;
        const bool sumOk = xorOf(at, kHeaderSize + payload) == at[kHeaderSize + payload];
        if (!sumOk || !typeOk || payload % recordSize(at[1]) != 0) {
            // A bad checksum may mean a false sync byte: step one byte, not the whole length.
            if (!resyncing_) {
                ++badPackets_;
            }
            resyncing_ = !sumOk;
            p += sumOk ? kHeaderSize + payload + 1 : 1;
            continue;
        }
        resyncing_ = false;
        ++goodPackets_;
        decodeRecords(at, payload, frames);
        p += kHeaderSize + payload + 1;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(p));
}

void StreamDecoder::finishDatagram() {
    if (!pending_.empty() && !resyncing_) {
        ++badPackets_;
    }
    pending_.clear();
    resyncing_ = false;
}

void StreamDecoder::decodeRecords(const uint8_t* packet, size_t payload,
                                  std::vector<SimFrame>& frames) const {
    const size_t size = recordSize(packet[1]);
    const size_t room = size - 16;
    for (size_t offset = 0; offset < payload; offset += size) {
        const uint8_t* record = packet + kHeaderSize + offset;
        SimFrame frame;
        frame.timestamp = getBigEndian(record, 8);
        frame.id = static_cast<uint32_t>(getBigEndian(record + 8, 4));
        frame.flags = static_cast<uint16_t>(getBigEndian(record + 12, 2));
        frame.channel = record[14];
        frame.dataLength = static_cast<uint8_t>(std::min<size_t>(record[15], room));
        std::copy_n(record + 16, frame.dataLength, frame.data.begin());
        frames.push_back(frame);
    }
}

}  // namespace sim
