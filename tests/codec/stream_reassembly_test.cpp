#include "codec/stream_reassembly.h"

#include <gtest/gtest.h>

#include "buffering/receive_frame_store.h"
#include "packet_builder.h"

namespace quilvane {
namespace {

using test::Bytes;
using test::operator+;
using test::fdPacket;
using Ids = std::vector<std::uint32_t>;

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

TEST(StreamReassembly, DecodesWhereverTheStreamIsCutAndKeepsTheTail) {
    const Bytes stream = fdPacket(1) + fdPacket(2) + fdPacket(3);
    const std::size_t end = stream.size() - 77;  // the third packet's first 10 bytes
    for (std::size_t cut = 0; cut <= end; ++cut) {
        Bytes cache;
        ASSERT_TRUE(feed(cache, Bytes(stream.begin(), stream.begin() + cut)));
        ASSERT_TRUE(feed(cache, Bytes(stream.begin() + cut, stream.begin() + end)));
        EXPECT_EQ(cache, Bytes(stream.begin() + 174, stream.begin() + end));
        EXPECT_EQ(stored(), (Ids{1, 2})) << "cut at " << cut;
    }
}

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
