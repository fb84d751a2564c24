// The transports' internals that the exports do not show: how the UDP
// endpoint sorts what it receives, its checks before sending, and the
// receive threads' bounded chunk queue. Linux only: it links quilvane_core.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log_lines.h"
#include "open_params.h"
#include "quilvane_sdk.h"
#include "registry/connection_registry.h"
#include "test_wire.h"
#include "transport/chunk_queue.h"
#include "transport/quilvane_udp.h"
#include "transport_support.h"

using namespace quilvane::log_lines;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// A search reply as a device sends it: rotated left by 2 bits.
std::vector<std::uint8_t> jsonReply(const std::string& json) {
    const std::string plain = std::string(4, '\0') + static_cast<char>(json.size() >> 8) +
                              static_cast<char>(json.size()) + json + std::string(4, '\0');
    std::vector<std::uint8_t> bytes;
    for (const unsigned char b : plain)
        bytes.push_back(static_cast<std::uint8_t>((b << 2) | (b >> 6)));
    return bytes;
}

// How each datagram is classified and parsed is search_reply_fuzz's; here
// the receive thread hands every datagram to the classifier.
TEST(Udp, DatagramsAreSortedIntoSearchRepliesAndFrames) {
    const std::uint16_t port = freePort(true);
    auto params = openParams(QUILVANE_UDP, "127.0.0.1", port, "127.0.0.1", 9);
    const int handle = QUILVANE_Open(&params);
    auto udp = quilvane::ConnectionRegistry::instance()->udpOf(handle);
    ASSERT_TRUE(udp);
    std::uint16_t from = 0;
    const int device = udpSocket(from);

    CaptureStderr();
    sendTo(device, port, jsonReply(R"({"ProMod":"QV-200"})"));
    sendTo(device, port, jsonReply(std::string(1100, ' ')));  // too long for the text buffer
    sendTo(device, port, buildPacket(1, {WireFrame{1, 0, 0x55, 0, 3, {1}}}));

    // One thread reads the datagrams in order: once the last one's frame is
    // there, the others are sorted.
    EXPECT_EQ(receiveFrames(0, 3, 1).size(), 1u) << "CAN traffic is decoded";
    const auto infos = udp->deviceInfoResults();
    ASSERT_EQ(infos.size(), 1u);
    EXPECT_STREQ(infos[0].model, "QV-200");
    EXPECT_EQ(countLines(GetCapturedStderr(), kSearchReplyTooLong + std::string("1100")), 1);
    closeSocket(device);
    QUILVANE_Close(handle);
}

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

TEST(ChunkQueue, DropsWhatComesBeyondItsBound) {
    quilvane::ChunkQueue<int> queue;
    int dropped = 0;
    for (int i = 0; i < 1002; ++i)
        queue.push(int{i}, true, [&] { ++dropped; });
    EXPECT_EQ(dropped, 2);
}

}  // namespace
