// UDP mode: generated packets to the peer, a whole packet or a piece of one per datagram.
#include <gtest/gtest.h>
#include <unistd.h>

#include "sim_process.h"
#include "test_wire.h"

namespace {

// Five frames in classic packets of 55, 55 and 31 bytes, each in one datagram,
// or with cut in 2 to 4 and with byte-at-a-time in one a byte.
TEST(SimUdp, GeneratesToThePeerInWholePacketsOrInThePiecesOfTheFault) {
    for (const auto& [fault, fewest, most] :
         {std::tuple("none", size_t{1}, size_t{1}), {"cut", 2u, 4u}, {"byte-at-a-time", 0u, 0u}}) {
        SCOPED_TRACE(fault);
        uint16_t port = 0;
        int fd = udpSocket(port);
        SimProcess sim({"--udp", "127.0.0.1:0", "--peer", "127.0.0.1:" + std::to_string(port), "--generate",
                        "5", "--records-per-packet", "2", "--record", "classic", "--fault", fault,
                        "--duration", "20"});
        std::vector<uint8_t> stream;
        for (size_t size : {55u, 55u, 31u}) {
            size_t datagrams = 0;
            for (size_t filled = 0; filled < size; ++datagrams) {
                std::vector<uint8_t> piece = receiveDatagram(fd);
                ASSERT_FALSE(piece.empty());
                ASSERT_LE(filled += piece.size(), size) << "a datagram holds parts of two packets";
                stream.insert(stream.end(), piece.begin(), piece.end());
            }
            EXPECT_GE(datagrams, fewest > 0 ? fewest : size);
            EXPECT_LE(datagrams, most > 0 ? most : size);
        }
        auto packets = splitPackets(stream);
        ASSERT_EQ(packets.size(), 3u);
        EXPECT_TRUE(packets[0].checksumOk && packets[1].checksumOk && packets[2].checksumOk);
        auto summary = sim.summary();
        EXPECT_EQ(summary["sent_frames"], 5u);
        EXPECT_EQ(summary["sent_packets"], 3u);
        close(fd);
    }
}

}  // namespace
