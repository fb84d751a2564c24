// Arbitrary bytes through the decoder, through reassembly cut at points taken
// from the input, and (read as a frame) through the encoder and back.
#include <algorithm>
#include <cstring>

#include "codec/packet_decoder.h"
#include "codec/packet_encoder.h"
#include "codec/stream_reassembly.h"
#include "stored_frames.h"

namespace {

using namespace quilvane;
using fuzz::check;

constexpr std::int32_t kHandle = 7;

// Feeding the input in chunks of 1 to 256 bytes (lengths read from the
// input, so that the fuzzer steers the cuts) must give what one pass over it
// gives: the same frames, and the undecoded tail left in the cache. With
// `stuck`, the cache starts less than half the input below its limit, behind
// a corrupt packet: nothing decodes until it overflows, which it must, and
// decoding restarts with the chunk after that.
void checkReassembly(const std::uint8_t* data, std::size_t size, bool stuck) {
    std::vector<std::uint8_t> cache;
    if (stuck) {
        cache.reserve(kMaxReassemblyCache + 256);  // room up to the overflow, no copying on the way
        cache.assign(kMaxReassemblyCache - size / 2, 0);
        const std::uint8_t corrupt[7] = {0x55, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};  // checksum would be 0x54
        std::memcpy(cache.data(), corrupt, sizeof corrupt);
    }
    std::size_t restart = 0;
    for (std::size_t at = 0, index = 0; at < size; ++index) {
        const std::size_t n = std::min<std::size_t>(1 + data[(index * 31 + 5) % size], size - at);
        const bool decoded = reassembleChunk(cache, data + at, n, kHandle);
        check(cache.size() <= kMaxReassemblyCache && (decoded || cache.empty()));
        at += n;
        restart = decoded ? restart : at;
    }
    check((restart > 0) == stuck);
    std::int32_t consumed = -2;
    const auto expected = decodePackets(data + restart, static_cast<std::int32_t>(size - restart), &consumed);
    const std::size_t tail = consumed < 0 ? size : restart + static_cast<std::size_t>(consumed);
    check(cache == std::vector<std::uint8_t>(data + tail, data + size));
    fuzz::checkStored(kHandle, expected);
    ReceiveFrameStore::instance()->clear(kHandle);
}

// The input's first 80 bytes as a frame: encoded in either record size and
// decoded, it keeps what the record can carry.
void checkRoundTrip(const std::uint8_t* data) {
    CanFrame frame;
    std::memcpy(&frame, data, sizeof frame);
    for (const int recordSize : {80, 24}) {
        std::uint8_t packet[87];
        check(encodePacket(packet, frame, recordSize) == recordSize + 7);
        std::int32_t consumed = 0;
        const auto back = decodePackets(packet, recordSize + 7, &consumed);
        const std::uint8_t length = std::min<std::uint8_t>(frame.dataLength, recordSize - 16);
        check(consumed == -1 && back.size() == 1 && back[0].timestamp == 0 &&
              back[0].id == (frame.id & 0x1FFFFFFF) && back[0].flags == frame.flags &&
              back[0].channel == frame.channel && back[0].dataLength == length &&
              std::memcmp(back[0].data, frame.data, length) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::int32_t consumed = -2;
    for (const CanFrame& f : decodePackets(data, static_cast<std::int32_t>(size), &consumed))
        check(f.dataLength <= 64 && f.id <= 0x1FFFFFFF);
    check(consumed == -1 || (consumed >= 0 && static_cast<std::size_t>(consumed) < size));
    if (size > 0)
        checkReassembly(data, size, false);
    // Some inputs also go through the overflow path; it costs a 1 MiB cache.
    if (size % 64 == 13)
        checkReassembly(data, size, true);
    if (size >= sizeof(CanFrame))
        checkRoundTrip(data);
    return 0;
}
