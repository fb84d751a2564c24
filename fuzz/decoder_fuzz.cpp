// Arbitrary bytes through the decoder, through reassembly cut at points taken
// from the input, and (read as a frame) through the encoder and back.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "buffering/receive_frame_store.h"
#include "codec/packet_decoder.h"
#include "codec/packet_encoder.h"
#include "codec/stream_reassembly.h"
#include "stored_frames.h"

namespace {

using namespace quilvane;
using fuzz::check;
using fuzz::sameFrame;

constexpr std::int32_t kHandle = 7;

void checkFrames(const FrameList& frames) {
    for (const CanFrame& f : frames)
        check(f.dataLength <= 64 && f.id <= 0x1FFFFFFF);
}

// Chunk lengths of 1 to 256 bytes, read from the input so the fuzzer steers the cuts.
std::size_t chunkLength(const std::uint8_t* data, std::size_t size, std::size_t index) {
    return 1 + data[(index * 31 + 5) % size];
}

// The store must hold exactly `expected` under kHandle; emptied for the next input.
void checkStored(const FrameList& expected) {
    fuzz::checkStored(kHandle, expected);
    ReceiveFrameStore::instance()->clear(kHandle);
}

// Feeding the input in chunks must give what one pass over it gives: the
// same frames, and the undecoded tail left in the cache. With `stuck`, the
// cache starts less than half the input below its limit, behind a corrupt
// packet: nothing decodes until it overflows, which it must, and decoding
// restarts with the chunk after that.
void checkReassembly(const std::uint8_t* data, std::size_t size, bool stuck) {
    std::vector<std::uint8_t> cache;
    if (stuck) {
        cache.reserve(kMaxReassemblyCache + 256);  // room up to the overflow, no copying on the way
        cache.assign(kMaxReassemblyCache - size / 2, 0);
        const std::uint8_t corrupt[7] = {0x55, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};  // checksum would be 0x54
        std::memcpy(cache.data(), corrupt, sizeof corrupt);
    }
    std::size_t restart = 0;
    bool overflowed = false;
    for (std::size_t at = 0, index = 0; at < size; ++index) {
        const std::size_t n = std::min(chunkLength(data, size, index), size - at);
        const bool decoded = reassembleChunk(cache, data + at, n, kHandle);
        check(cache.size() <= kMaxReassemblyCache);
        at += n;
        if (!decoded) {
            check(cache.empty());
            overflowed = true;
            restart = at;
        }
    }

    check(overflowed == stuck);
    std::int32_t consumed = -2;
    const auto expected = decodePackets(data + restart, static_cast<std::int32_t>(size - restart), &consumed);
    const std::size_t tail = consumed < 0 ? size : restart + static_cast<std::size_t>(consumed);
    check(cache == std::vector<std::uint8_t>(data + tail, data + size));
    checkStored(expected);
}

// The input's first 80 bytes as a frame: encoded in either record size and
// decoded, it keeps what the record can carry.
void checkRoundTrip(const std::uint8_t* data, std::size_t size) {
    if (size < sizeof(CanFrame))
        return;
    CanFrame frame;
    std::memcpy(&frame, data, sizeof frame);
    for (const int recordSize : {80, 24}) {
        std::array<std::uint8_t, 87> packet;
        check(encodePacket(packet.data(), frame, recordSize) == recordSize + 7);
        std::int32_t consumed = 0;
        const auto back = decodePackets(packet.data(), recordSize + 7, &consumed);
        check(consumed == -1 && back.size() == 1);
        const std::uint8_t length = std::min<std::uint8_t>(frame.dataLength, recordSize - 16);
        check(back[0].timestamp == 0 && back[0].id == (frame.id & 0x1FFFFFFF) &&
              back[0].flags == frame.flags && back[0].channel == frame.channel &&
              back[0].dataLength == length);
        check(std::memcmp(back[0].data, frame.data, length) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::int32_t consumed = -2;
    const auto frames = decodePackets(data, static_cast<std::int32_t>(size), &consumed);
    checkFrames(frames);
    check(consumed == -1 || (consumed >= 0 && static_cast<std::size_t>(consumed) < size));

    if (size > 0) {
        checkReassembly(data, size, false);
        // Some inputs also go through the overflow path; it costs a 1 MiB cache.
        if (size % 64 == 13)
            checkReassembly(data, size, true);
    }
    checkRoundTrip(data, size);
    return 0;
}
