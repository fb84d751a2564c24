// The codec: packets encoded and decoded against packets built by hand, and
// the reassembly cache's limit.
#include <gtest/gtest.h>

#include <numeric>

#include "buffering/receive_frame_store.h"
#include "codec/packet_decoder.h"
#include "codec/packet_encoder.h"
#include "codec/stream_reassembly.h"
#include "open_params.h"
#include "packet_builder.h"

namespace quilvane {
namespace {

using namespace test;
using Ids = std::vector<std::uint32_t>;

// The worked example byte by byte; then against hand-built packets:
// timestamp not sent, id sent whole, dataLength cut to the room, the rest of
// the room zero whatever the buffer held.
TEST(PacketEncoder, FillsRecordsOfBothSizes) {
    Bytes worked(88, 0);
    ASSERT_EQ(encodePacket(worked.data(), makeFrame(0x123, {0x11, 0x22}), 80), 87);
    Bytes example =
        Bytes{0x55, 1, 0, 0, 0, 0x50} + Bytes(8, 0) + Bytes{0, 0, 1, 0x23, 0, 0, 0, 2, 0x11, 0x22};
    example.resize(86, 0);
    EXPECT_EQ(worked, (example + Bytes{0x17, 0}));

    Bytes data(64);
    std::iota(data.begin(), data.end(), 1);
    CanFrame f = makeFrame(0xE0000042, data, 3, 0xA55A);
    f.timestamp = 0x0102030405060708;
    struct Case {
        int recordSize;
        std::uint8_t dataLength, sent;
    };
    for (const Case c :
         {Case{80, 0, 0}, Case{80, 64, 64}, Case{80, 200, 64}, Case{24, 5, 5}, Case{24, 12, 8}}) {
        f.dataLength = c.dataLength;
        const Bytes record =
            test::record(c.recordSize, 0, f.id, f.flags, 3, c.sent, Bytes(f.data, f.data + c.sent));
        Bytes out(c.recordSize + 8, 0xEE);
        ASSERT_EQ(encodePacket(out.data(), f, c.recordSize), c.recordSize + 7);
        EXPECT_EQ(out, test::packet({0x55, c.recordSize == 80, 0, 0}, record) + Bytes{0xEE})
            << c.recordSize << "/" << int{c.dataLength};
    }
}

TEST(PacketDecoder, ReadsRecordsOfBothTypes) {
    const Bytes stream =
        packet({0x55, 1, 0, 0}, record(80, 0x1122334455667788, 0xFF345678, 0xBEEF, 7, 64, {9}) +
                                    record(80, 1, 2, 3, 4, 65) + Bytes(79, 0)) +
        packet({0x55, 0, 0, 0}, record(24, 5, 6, 7, 255, 200, Bytes(8, 1)));
    std::int32_t consumed = 0;
    const auto frames = decodePackets(stream.data(), std::int32_t(stream.size()), &consumed);
    EXPECT_EQ(consumed, -1);
    ASSERT_EQ(frames.size(), 3u) << "a trailing partial record is dropped";
    const CanFrame& f = frames[0];
    // The top three id bits are cleared; lengths are cut to the room, a classic record's 8 bytes.
    EXPECT_EQ(std::tuple(f.timestamp, f.id, f.flags, f.channel, f.data[0]),
              std::tuple(0x1122334455667788u, 0x1F345678u, 0xBEEF, 7, 9));
    EXPECT_EQ(std::tuple(frames[1].dataLength, frames[2].dataLength, frames[2].channel, frames[2].data[8]),
              std::tuple(64, 8, 255, 0));
}

TEST(PacketDecoder, StopsAtIncompleteOrCorruptPacketsAndSkipsRejectedOnes) {
    const Bytes a = fdPacket(1), b = fdPacket(2), other = record(80, 0, 9, 0, 0, 0);
    const std::int32_t afterA = std::int32_t(a.size());
    struct Case {
        Bytes bytes;
        std::vector<std::uint32_t> ids;
        std::int32_t consumed;
    };
    const Case cases[] = {
        {a + b, {1, 2}, -1},
        {Bytes(a.begin(), a.begin() + 6), {}, 0},
        {a + Bytes(b.begin(), b.end() - 1), {1}, afterA},
        {a + packet({0x55, 1, 0, 0}, other, true) + b, {1}, afterA},
        {a + b + packet({0x55, 1, 0, 0}, other, true) + a, {1, 2}, 2 * afterA},
        {packet({0xAA, 1, 0, 0}, other) + a, {1}, -1},  // wrong sync
        {packet({0x55, 1, 1, 0}, other) + a, {1}, -1},  // reserved byte set
        {packet({0x55, 2, 0, 0}, other) + a, {1}, -1},  // unknown type
        {packet({0x55, 1, 0, 7}, other), {9}, -1},      // the second reserved byte is not examined
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        std::int32_t consumed = 12345;
        std::vector<std::uint32_t> ids;
        for (const CanFrame& f :
             decodePackets(cases[i].bytes.data(), std::int32_t(cases[i].bytes.size()), &consumed))
            ids.push_back(f.id);
        EXPECT_EQ(ids, cases[i].ids) << "case " << i;
        EXPECT_EQ(consumed, cases[i].consumed) << "case " << i;
    }
    std::int32_t consumed = 77;
    EXPECT_TRUE(decodePackets(nullptr, 100, &consumed).empty());
    EXPECT_EQ(consumed, 77);
}

constexpr std::int32_t kHandle = 4;

bool feed(Bytes& cache, const Bytes& chunk) {
    return reassembleChunk(cache, chunk.data(), chunk.size(), kHandle);
}

Ids stored() {
    CanFrame out[8];
    Ids ids;
    for (std::int32_t i = 0, n = ReceiveFrameStore::instance()->pop(kHandle, 0, out, 8); i < n; ++i)
        ids.push_back(out[i].id);
    return ids;
}

// Decoding wherever the stream is cut, and the tail kept, are checked by
// decoder_fuzz against one pass over the whole input. Not there: the limit
// itself.
TEST(StreamReassembly, ACorruptPacketBlocksThePeerUntilTheCacheOverflows) {
    Bytes corrupt = fdPacket(2);
    corrupt.back() ^= 0xFF;
    Bytes cache;
    ASSERT_TRUE(feed(cache, fdPacket(1) + corrupt + fdPacket(3)));
    ASSERT_TRUE(feed(cache, fdPacket(4)));
    EXPECT_EQ(stored(), Ids{1});

    ASSERT_TRUE(feed(cache, Bytes(kMaxReassemblyCache - cache.size(), 0)));  // exactly full: still decoded
    EXPECT_EQ(cache.size(), kMaxReassemblyCache);
    EXPECT_FALSE(feed(cache, fdPacket(5)));  // one byte more empties it, undecoded
    EXPECT_TRUE(cache.empty());
    ASSERT_TRUE(feed(cache, fdPacket(6)));
    EXPECT_EQ(stored(), Ids{6});
}

}  // namespace
}  // namespace quilvane
