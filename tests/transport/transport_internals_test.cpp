// The transports' internals that the exports do not show: the UDP
// endpoint's checks before sending and the receive threads' bounded chunk
// queue. (How it sorts datagrams: search_reply_fuzz; that its receive thread
// hands them over: the Udp transport test and the discovery searches.)
// Linux only: it links quilvane_core.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <string>
#include <vector>

#include "common/log_lines.h"
#include "transport/chunk_queue.h"
#include "transport/quilvane_udp.h"
#include "transport_support.h"

using namespace quilvane::log_lines;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

TEST(Udp, SendNeedsASocketAndATarget) {
    std::uint16_t port = 0;
    const int taken = udpSocket(port);
    CaptureStderr();
    quilvane::QuilvaneUdp unbound;
    EXPECT_FALSE(unbound.initialize("127.0.0.1", port));
    const std::uint8_t byte = 0;
    EXPECT_FALSE(unbound.send(&byte, 1));
    EXPECT_FALSE(unbound.startReceive(false));

    quilvane::QuilvaneUdp untargeted;
    ASSERT_TRUE(untargeted.initialize("", 0));
    EXPECT_FALSE(untargeted.send(&byte, 1));
    EXPECT_TRUE(untargeted.startReceive(true));
    EXPECT_TRUE(untargeted.startReceive(false)) << "a second start changes nothing";
    untargeted.stop();
    EXPECT_FALSE(untargeted.send(&byte, 1));
    EXPECT_EQ(GetCapturedStderr(), kBindFailed + std::string("10048\n") + kSocketNotInitialized + "\n" +
                                       kSocketNotInitialized + "\n" + kTargetNotSet + "\n" +
                                       kSocketNotInitialized + "\n");
    closeSocket(taken);
}

// Many small chunks fit where a few large ones fill the bound.
TEST(ChunkQueue, BoundsTheBytesNotTheChunks) {
    struct Chunk {
        std::vector<std::uint8_t> data;
    };
    using Queue = quilvane::ChunkQueue<Chunk>;
    Queue queue;
    int dropped = 0;
    for (int i = 0; i < 1002; ++i)
        queue.push(Chunk{std::vector<std::uint8_t>(4096 - Queue::kChunkOverhead)}, true, [&] { ++dropped; });
    EXPECT_EQ(dropped, 2);

    std::atomic<bool> running{true};
    std::deque<Chunk> taken;
    ASSERT_TRUE(queue.waitTakeAll(taken, running));
    EXPECT_EQ(taken.size(), 1000u);
    for (int i = 0; i < 20000; ++i)
        queue.push(Chunk{std::vector<std::uint8_t>(87)}, true, [&] { ++dropped; });
    EXPECT_EQ(dropped, 2) << "20,000 one-frame chunks fit";
    running = false;
    ASSERT_TRUE(queue.waitTakeAll(taken, running)) << "what waits is still taken after the stop";
    EXPECT_EQ(taken.size(), 20000u);
    EXPECT_FALSE(queue.waitTakeAll(taken, running));
}

}  // namespace
