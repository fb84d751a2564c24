#include "codec/stream_reassembly.h"

#include <gtest/gtest.h>

#include "buffering/receive_frame_store.h"
#include "packet_builder.h"

namespace quilvane {
namespace {

using test::Bytes;
using test::concat;
using test::fdPacket;

constexpr std::int32_t kHandle = 4;

// Frames of channel 0 that reached the store for kHandle.
std::vector<std::uint32_t> storedIds() {
    std::vector<CanFrame> out(64);
    const std::int32_t n = ReceiveFrameStore::instance()->pop(kHandle, 0, out.data(), 64);
    std::vector<std::uint32_t> ids;
    for (std::int32_t i = 0; i < n; ++i)
        ids.push_back(out[i].id);
    return ids;
}

bool feed(Bytes& cache, const Bytes& chunk) {
    return reassembleChunk(cache, chunk.data(), chunk.size(), kHandle);
}

TEST(StreamReassembly, GivesTheSameFramesWhereverTheStreamIsCut) {
    const Bytes stream = concat({fdPacket(1), fdPacket(2)});
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        Bytes cache;
        ASSERT_TRUE(feed(cache, Bytes(stream.begin(), stream.begin() + cut)));
        ASSERT_TRUE(feed(cache, Bytes(stream.begin() + cut, stream.end())));
        EXPECT_TRUE(cache.empty());
        EXPECT_EQ(storedIds(), (std::vector<std::uint32_t>{1, 2})) << "cut at " << cut;
    }
}

TEST(StreamReassembly, KeepsTheIncompleteTailAtTheFront) {
    const Bytes third = fdPacket(3);
    Bytes cache;
    ASSERT_TRUE(feed(cache, concat({fdPacket(1), fdPacket(2), Bytes(third.begin(), third.begin() + 10)})));
    EXPECT_EQ(storedIds(), (std::vector<std::uint32_t>{1, 2}));
    EXPECT_EQ(cache, Bytes(third.begin(), third.begin() + 10));
}

TEST(StreamReassembly, ACorruptPacketBlocksThePeerUntilTheCacheOverflows) {
    Bytes corrupt = fdPacket(2);
    corrupt.back() ^= 0xFF;
    Bytes cache;
    ASSERT_TRUE(feed(cache, concat({fdPacket(1), corrupt, fdPacket(3)})));
    ASSERT_TRUE(feed(cache, fdPacket(4)));
    EXPECT_EQ(storedIds(), (std::vector<std::uint32_t>{1}));

    // Fill to exactly the limit: still decoded (and still stuck).
    ASSERT_TRUE(feed(cache, Bytes(kMaxReassemblyCache - cache.size(), 0)));
    EXPECT_EQ(cache.size(), kMaxReassemblyCache);
    // One byte more empties it, decoding nothing; the next chunk decodes.
    EXPECT_FALSE(feed(cache, fdPacket(5)));
    EXPECT_TRUE(cache.empty());
    ASSERT_TRUE(feed(cache, fdPacket(6)));
    EXPECT_EQ(storedIds(), (std::vector<std::uint32_t>{6}));
}

TEST(StreamReassembly, DecodesACacheOfExactlyTheLimit) {
    const Bytes packet = fdPacket(7);
    Bytes cache;
    ASSERT_TRUE(feed(cache, concat({test::skippedPackets(kMaxReassemblyCache - packet.size()), packet})));
    EXPECT_TRUE(cache.empty());
    EXPECT_EQ(storedIds(), (std::vector<std::uint32_t>{7}));
}

TEST(StreamReassembly, DropsFramesOnceTheStoreIsGone) {
    ReceiveFrameStore::destroyInstance();
    Bytes cache;
    EXPECT_TRUE(feed(cache, fdPacket(1)));
    EXPECT_TRUE(cache.empty());
}

}  // namespace
}  // namespace quilvane
