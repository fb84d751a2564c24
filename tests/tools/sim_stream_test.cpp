// TCP modes: generated frames, echo, faults and the counting of what arrives.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "sim_process.h"
#include "test_wire.h"

namespace {

// Runs a listening simulator with `args`, connects and reads to the end.
std::vector<uint8_t> streamFrom(std::vector<std::string> args, std::map<std::string, uint64_t>& summary,
                                int* error = nullptr) {
    args.insert(args.begin(), {"--tcp-listen", "127.0.0.1:0", "--duration", "20"});
    SimProcess sim(args);
    int fd = tcpConnect(sim.readyPort());
    std::vector<uint8_t> stream = readToEnd(fd, error);
    close(fd);
    summary = sim.summary();
    return stream;
}

TEST(SimStream, GeneratedFramesFollowTheDocumentedPattern) {
    std::map<std::string, uint64_t> summary;
    std::vector<uint8_t> rest;
    auto packets = splitPackets(
        streamFrom({"--generate", "40", "--records-per-packet", "3", "--record", "mixed", "--channels", "0,2",
                    "--ids", "0x10-0x13", "--data-length", "12", "--fault", "cut", "--seed", "7"},
                   summary),
        &rest);
    ASSERT_EQ(packets.size(), 14u);
    EXPECT_TRUE(rest.empty());
    uint64_t s = 0;
    for (size_t k = 0; k < packets.size(); ++k) {
        EXPECT_TRUE(packets[k].checksumOk);
        EXPECT_EQ(packets[k].bytes[1], k % 2) << "mixed alternates record types";
        for (const WireFrame& frame : packets[k].frames) {
            EXPECT_EQ(frame.timestamp, s);
            EXPECT_EQ(frame.id, 0x10 + s % 4);
            EXPECT_EQ(frame.flags, s);
            EXPECT_EQ(frame.channel, s % 2 == 0 ? 0 : 2);
            ASSERT_EQ(frame.data.size(), frame.type == 0 ? 8u : 12u);
            for (size_t i = 0; i < frame.data.size(); ++i) {
                EXPECT_EQ(frame.data[i], static_cast<uint8_t>(s + i));
            }
            ++s;
        }
    }
    EXPECT_EQ(s, 40u);
    EXPECT_EQ(summary["sent_frames"], 40u);
    EXPECT_EQ(summary["sent_packets"], 14u);
    EXPECT_EQ(summary["connections"], 1u);
}

TEST(SimStream, FaultsSpoilExactlyTheChosenPacket) {
    std::map<std::string, uint64_t> summary;
    auto packets =
        splitPackets(streamFrom({"--generate", "3", "--fault", "bad-checksum", "--fault-at", "2"}, summary));
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_TRUE(packets[0].checksumOk && packets[2].checksumOk);
    EXPECT_FALSE(packets[1].checksumOk);
    EXPECT_EQ(summary["sent_frames"], 2u);
    EXPECT_EQ(summary["sent_packets"], 3u);

    packets =
        splitPackets(streamFrom({"--generate", "3", "--fault", "bad-sync", "--fault-at", "2"}, summary));
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[1].bytes[0], 0xAA);
    EXPECT_TRUE(packets[1].checksumOk);
    EXPECT_EQ(packets[2].bytes[0], 0x55);

    int error = -1;
    packets =
        splitPackets(streamFrom({"--generate", "5", "--fault", "close", "--fault-at", "2"}, summary, &error));
    EXPECT_EQ(packets.size(), 2u);
    EXPECT_EQ(error, 0);

    std::vector<uint8_t> rest;
    packets = splitPackets(
        streamFrom({"--generate", "5", "--fault", "reset", "--fault-at", "2"}, summary, &error), &rest);
    EXPECT_EQ(packets.size(), 1u);
    EXPECT_EQ(rest.size(), 87u / 2);
    EXPECT_EQ(error, ECONNRESET);
}

TEST(SimStream, FloodNeverDecodesAndValidPacketsFollowIt) {
    std::map<std::string, uint64_t> summary;
    std::vector<uint8_t> stream = streamFrom({"--generate", "2", "--fault", "flood"}, summary);
    const size_t flood = 0x100001;
    ASSERT_EQ(stream.size(), flood + 2 * 87);
    std::vector<uint8_t> head(stream.begin(), stream.begin() + flood);
    auto floodPackets = splitPackets(head);
    ASSERT_FALSE(floodPackets.empty());
    EXPECT_FALSE(floodPackets[0].checksumOk);
    auto packets = splitPackets(std::vector<uint8_t>(stream.begin() + flood, stream.end()));
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_TRUE(packets[0].checksumOk && packets[1].checksumOk);
    EXPECT_EQ(summary["sent_frames"], 2u);
}

TEST(SimStream, TcpConnectEchoesEachConnectionAsLibraryPackets) {
    uint16_t port = 0;
    int listener = tcpListen(port);
    SimProcess sim({"--tcp-connect", "127.0.0.1:" + std::to_string(port), "--connections", "2", "--echo",
                    "--expect", "4", "--duration", "20"});
    ASSERT_FALSE(sim.ready().empty());
    for (int c = 0; c < 2; ++c) {
        int fd = tcpAccept(listener);
        std::vector<WireFrame> sent{{0, 7, 0x123, 0x0102, 1, {0x11, 0x22}}, {0, 8, 0x1FFFFFFF, 0, 3, {}}};
        std::vector<uint8_t> packet = buildPacket(0, sent);
        // Two writes with a pause: the simulator must reassemble the packet.
        write(fd, packet.data(), 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        write(fd, packet.data() + 10, packet.size() - 10);
        std::vector<uint8_t> echoed;
        readExactly(fd, echoed, 2 * 87);
        auto packets = splitPackets(echoed);
        ASSERT_EQ(packets.size(), 2u);
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_TRUE(packets[i].checksumOk);
            EXPECT_EQ(packets[i].bytes[1], 1);
            ASSERT_EQ(packets[i].frames.size(), 1u);
            const WireFrame& frame = packets[i].frames[0];
            EXPECT_EQ(frame.timestamp, sent[i].timestamp);
            EXPECT_EQ(frame.id, sent[i].id);
            EXPECT_EQ(frame.flags, sent[i].flags);
            EXPECT_EQ(frame.channel, sent[i].channel);
            EXPECT_EQ(frame.data, sent[i].data);
        }
        close(fd);
    }
    auto summary = sim.summary();
    EXPECT_EQ(summary["received_frames"], 4u);
    EXPECT_EQ(summary["sent_frames"], 4u);
    EXPECT_EQ(summary["connections"], 2u);
    EXPECT_EQ(sim.exitStatus(), 0);
    close(listener);
}

TEST(SimStream, CountsGoodAndBadPacketsItReceivesAndLogsFrames) {
    SimProcess sim({"--tcp-listen", "127.0.0.1:0", "--expect", "2", "--verbose", "--duration", "20"});
    int fd = tcpConnect(sim.readyPort());
    std::vector<uint8_t> stream{0x01, 0x02, 0x03};  // garbage before the first packet
    auto append = [&stream](const std::vector<uint8_t>& bytes) {
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    };
    append(buildPacket(1, {{1, 1, 0x123, 0, 1, {0x11, 0x22}}}));
    std::vector<uint8_t> spoiled = buildPacket(1, {{1, 2, 0x124, 0, 1, {}}});
    spoiled.back() ^= 1;
    append(spoiled);
    append(buildPacket(1, {{1, 3, 0x12345, 0, 0, std::vector<uint8_t>(12, 0xAB)}}));
    write(fd, stream.data(), stream.size());
    auto summary = sim.summary();
    close(fd);
    EXPECT_EQ(summary["received_frames"], 2u);
    EXPECT_EQ(summary["received_packets"], 2u);
    EXPECT_EQ(summary["bad_packets"], 2u);
    std::string log = sim.errors();
    EXPECT_NE(log.find(") can1 123#1122\n"), std::string::npos) << log;
    EXPECT_NE(log.find(") can0 00012345##0ABABABABABABABABABABABAB\n"), std::string::npos) << log;
}

TEST(SimOptions, BadOptionsNameTheOptionAndExitWithTwo) {
    std::string errors;
    EXPECT_EQ(runSim({"--udp", "127.0.0.1:0", "--rate", "fast"}, errors), 2);
    EXPECT_NE(errors.find("--rate"), std::string::npos) << errors;
    EXPECT_EQ(runSim({"--udp", "127.0.0.1:0", "--tcp-listen", "127.0.0.1:0"}, errors), 2);
    EXPECT_EQ(runSim({"--udp", "127.0.0.1:0", "--fault", "reset"}, errors), 2);
    EXPECT_EQ(runSim({"--help"}, errors), 0);
}

}  // namespace
