// Input that Windows refuses, refused the same way on every build: a remote
// address that does not parse (used as 0.0.0.0, which must never reach this
// host) and a datagram longer than the receive buffer (reported, never cut).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log_lines.h"
#include "transport_support.h"

using namespace quilvane::log_lines;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

TEST(UnusableInput, RemoteAddressThatDoesNotParseNeverReachesThisHost) {
    // Read as 0.0.0.0, a typo would connect to this listener on Linux.
    std::uint16_t port = 0;
    const int listener = tcpListen(port);
    CaptureStderr();
    auto params = openParams(QUILVANE_TCP_CLIENT, "", 0, "192.168.1.1O", port);
    EXPECT_EQ(QUILVANE_Open(&params), -1);
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(countLines(err, kConnectFailed + std::string("10049")), 3) << err;
    closeSocket(listener);
}

TEST(UnusableInput, DatagramLongerThanTheReceiveBufferIsReportedNotCut) {
    const std::uint16_t port = freePort(true);
    auto params = openParams(QUILVANE_UDP, "127.0.0.1", port, "127.0.0.1", 9);
    const int handle = QUILVANE_Open(&params);
    ASSERT_GE(handle, 0);
    std::uint16_t devicePort = 0;
    const int device = udpSocket(devicePort);

    CaptureStderr();
    // Whole packets fill the first 2048 bytes: cut there, they would decode.
    std::vector<std::uint8_t> tooLong;
    for (std::uint32_t id = 1; tooLong.size() < 3000; ++id) {
        const auto packet = buildPacket(1, {{1, 0, id, 0, 0, {1}}});
        tooLong.insert(tooLong.end(), packet.begin(), packet.end());
    }
    sendTo(device, port, tooLong);
    sendTo(device, port, buildPacket(1, {{1, 0, 0x7FF, 0, 0, {2}}}));

    // One thread reads the datagrams in order: frames of the long one would come first.
    const auto got = receiveFrames(0, 0, 1);
    EXPECT_EQ(QUILVANE_Close(handle), 0);
    const std::string err = GetCapturedStderr();
    ASSERT_EQ(got.size(), 1u) << "nothing of the long datagram is decoded";
    EXPECT_EQ(got[0].id, 0x7FFu);
    EXPECT_EQ(countLines(err, kReceiveError + std::string("10040")), 1) << err;
    closeSocket(device);
}

}  // namespace
