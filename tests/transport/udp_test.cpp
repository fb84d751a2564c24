// UDP connections end to end, and how the UDP endpoint sorts what it
// receives: search replies into its result lists, anything else into frames.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "library_session.h"
#include "registry/connection_registry.h"
#include "transport/quilvane_udp.h"

namespace {

// A search reply as a device sends it: rotated left by 2 bits.
std::vector<std::uint8_t> jsonReply(const std::string& json, int declaredLength = -1) {
    const int n = declaredLength < 0 ? static_cast<int>(json.size()) : declaredLength;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(n) + 10, 0);
    bytes[4] = static_cast<std::uint8_t>(n >> 8);
    bytes[5] = static_cast<std::uint8_t>(n);
    std::memcpy(bytes.data() + 6, json.data(), std::min(json.size(), static_cast<std::size_t>(n)));
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>((b << 2) | (b >> 6));
    return bytes;
}

TEST(Udp, FramesOfEveryUdpConnectionAreFiledUnderHandleZero) {
    auto placeholder = openParams(4);
    ASSERT_EQ(QUILVANE_Open(&placeholder), 0);
    SimProcess sim({"--udp", "127.0.0.1:0", "--echo", "--duration", "20"});
    const std::uint16_t simPort = sim.readyPort();
    CaptureStdout();
    auto params = openParams(QUILVANE_UDP, "127.0.0.1", 0, "127.0.0.1", simPort);
    const int handle = QUILVANE_Open(&params);
    ASSERT_EQ(handle, 1);

    const CanFrame sent[] = {makeFrame(0x7FF, {1, 2, 3}),
                             makeFrame(0x1ABCDEF0, std::vector<std::uint8_t>(64, 7))};
    for (const auto& f : sent)
        EXPECT_EQ(QUILVANE_Send_CAN(handle, &f), 0);
    const auto got = receiveFrames(0, 0, 2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(fieldsOf(got[0]), fieldsOf(sent[0]));
    EXPECT_EQ(fieldsOf(got[1]), fieldsOf(sent[1]));
    CanFrame frame;
    EXPECT_EQ(QUILVANE_Recv_CAN(handle, 0, &frame, 1), 0) << "nothing is filed under the UDP handle itself";
    EXPECT_EQ(QUILVANE_Close(handle), 0);

    const std::string out = GetCapturedStdout();
    EXPECT_EQ(countLines(out, "Bound to 127.0.0.1:0"), 1) << out;
    EXPECT_EQ(countLines(out, "Target set to: 127.0.0.1:" + std::to_string(simPort)), 1);
    EXPECT_EQ(countLines(out, "Receive thread started"), 1);
    EXPECT_EQ(countLines(out, "Receive thread stopped"), 1);
}

TEST(Udp, DatagramsAreSortedIntoSearchRepliesAndFrames) {
    const std::uint16_t port = freePort(true);
    auto params = openParams(QUILVANE_UDP, "127.0.0.1", port, "127.0.0.1", 9);
    const int handle = QUILVANE_Open(&params);
    auto udp = quilvane::ConnectionRegistry::instance()->udpOf(handle);
    ASSERT_TRUE(udp);
    std::uint16_t from = 0;
    const int device = udpSocket(from);

    CaptureStderr();
    sendTo(device, port, jsonReply(R"({"ProMod":"QV-200","proname":"bench","IPv4":"10.1.2.3"})"));
    sendTo(device, port, jsonReply("{not json"));
    sendTo(device, port, jsonReply(std::string(1100, ' ')));  // too long for the text buffer
    std::vector<std::uint8_t> pelix(29, 0x40);
    const std::uint8_t head[] = {0x00, 0x08, 0x00, 0x08};  // 00 02 00 02 once rotated right
    std::memcpy(pelix.data(), head, 4);
    sendTo(device, port, pelix);
    sendTo(device, port, jsonReply("{}" + std::string(17, ' ')));  // 29 bytes, yet a JSON reply
    sendTo(device, port, buildPacket(1, {WireFrame{1, 0, 0x55, 0, 3, {1}}}));

    EXPECT_EQ(receiveFrames(0, 3, 1).size(), 1u) << "CAN traffic is decoded";
    ASSERT_TRUE(eventually([&] { return udp->deviceInfoResults().size() == 3; }));
    const auto infos = udp->deviceInfoResults();
    EXPECT_STREQ(infos[0].model, "QV-200");
    EXPECT_STREQ(infos[0].name, "bench");
    EXPECT_EQ(infos[0].ipv4[3], 3);
    EXPECT_EQ(infos[1].model[0], '\0') << "a reply that does not parse gives a record of zeros";
    const auto records = udp->pelixResults();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].bytes[3], 0x02);
    EXPECT_EQ(records[0].bytes[4], 0x10);

    const std::string err = GetCapturedStderr();
    EXPECT_EQ(countLines(err, "JSON parse error: ", true), 1) << err;
    EXPECT_EQ(countLines(err, "Search reply too long, dropped: 1100"), 1) << err;
    ::close(device);
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
    EXPECT_EQ(GetCapturedStderr(),
              "Bind failed: 10048\nSocket not initialized\nSocket not initialized\nTarget not set\n"
              "Socket not initialized\n");
    ::close(taken);
}

}  // namespace
