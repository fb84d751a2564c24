// UDP mode: whole packets per datagram, to the peer or back to the sender.
#include <gtest/gtest.h>
#include <unistd.h>

#include "sim_process.h"
#include "test_wire.h"

namespace {

TEST(SimUdp, EchoesToTheSenderAsOneLibraryPacketPerFrame) {
    SimProcess sim({"--udp", "127.0.0.1:0", "--echo", "--expect", "2", "--duration", "20"});
    uint16_t port = 0;
    int fd = udpSocket(port);
    std::vector<WireFrame> sent{{1, 5, 0x7FF, 9, 2, {1, 2, 3}},
                                {1, 6, 0x100, 0, 0, std::vector<uint8_t>(64, 0xEE)}};
    sendTo(fd, sim.readyPort(), buildPacket(1, sent));
    for (const WireFrame& expected : sent) {
        auto packets = splitPackets(receiveDatagram(fd));
        ASSERT_EQ(packets.size(), 1u);
        ASSERT_EQ(packets[0].bytes.size(), 87u);
        ASSERT_EQ(packets[0].frames.size(), 1u);
        EXPECT_TRUE(packets[0].checksumOk);
        EXPECT_EQ(packets[0].frames[0].id, expected.id);
        EXPECT_EQ(packets[0].frames[0].data, expected.data);
    }
    auto summary = sim.summary();
    EXPECT_EQ(summary["received_frames"], 2u);
    EXPECT_EQ(summary["sent_packets"], 2u);
    close(fd);
}

TEST(SimUdp, GeneratesToThePeerInWholePackets) {
    uint16_t port = 0;
    int fd = udpSocket(port);
    SimProcess sim({"--udp", "127.0.0.1:0", "--peer", "127.0.0.1:" + std::to_string(port), "--generate", "5",
                    "--records-per-packet", "2", "--record", "classic", "--data-length", "20", "--duration",
                    "20"});
    ASSERT_FALSE(sim.ready().empty());
    uint64_t s = 0;
    for (size_t expected : {2u, 2u, 1u}) {
        std::vector<uint8_t> rest;
        auto packets = splitPackets(receiveDatagram(fd), &rest);
        ASSERT_EQ(packets.size(), 1u);
        EXPECT_TRUE(rest.empty());
        EXPECT_TRUE(packets[0].checksumOk);
        ASSERT_EQ(packets[0].frames.size(), expected);
        for (const WireFrame& frame : packets[0].frames) {
            EXPECT_EQ(frame.type, 0);
            EXPECT_EQ(frame.timestamp, s++);
            EXPECT_EQ(frame.data.size(), 8u) << "classic records hold 8 bytes";
        }
    }
    auto summary = sim.summary();
    EXPECT_EQ(summary["sent_frames"], 5u);
    EXPECT_EQ(summary["sent_packets"], 3u);
    close(fd);
}

}  // namespace
