// Generated frames and faults on TCP, echo on TCP and UDP, the counting of
// what arrives, and bad options.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <numeric>
#include <thread>

#include "sim_process.h"
#include "test_wire.h"

namespace {

// Ten frames in packets of 3, 3, 3 and 1 records, alternately classic and FD
// (79, 247, 79 and 87 bytes); the faults that pick a packet pick the second.
TEST(SimStream, GeneratedFramesFollowThePatternAndEachFaultSpoilsOnlyItsPart) {
    // A letter a packet: g good, c bad checksum, s sync byte 0xAA with a good checksum.
    const std::pair<std::string, std::string> rows[] = {{"cut", "gggg"},          {"byte-at-a-time", "gggg"},
                                                        {"bad-checksum", "gcgg"}, {"bad-sync", "gsgg"},
                                                        {"close", "gg"},          {"reset", "g"},
                                                        {"flood", "gggg"}};
    for (const auto& [fault, expected] : rows) {
        SCOPED_TRACE(fault);
        SimProcess sim({"--tcp-listen", "127.0.0.1:0", "--generate", "10", "--records-per-packet", "3",
                        "--record", "mixed", "--channels", "0,2", "--ids", "0x10-0x13", "--data-length", "12",
                        "--fault", fault, "--fault-at", "2"});
        int fd = tcpConnect(sim.readyPort());
        int error = -1;
        std::vector<uint8_t> stream = readToEnd(fd, &error), rest;
        close(fd);
        auto summary = sim.summary();
        EXPECT_EQ(error, fault == "reset" ? ECONNRESET : 0);
        if (fault == "flood") {  // 1 MiB + 1 bytes after packet 1 that look like packets, yet none decodes
            ASSERT_GE(stream.size(), 79u + 0x100001);
            const auto flood = splitPackets({stream.begin() + 79, stream.begin() + 79 + 0x100001});
            EXPECT_TRUE(!flood.empty() && flood[0].bytes[0] == 0x55 &&
                        std::none_of(flood.begin(), flood.end(), [](auto& p) { return p.checksumOk; }));
            stream.erase(stream.begin() + 79, stream.begin() + 79 + 0x100001);
        }
        const auto packets = splitPackets(stream, &rest);
        EXPECT_EQ(rest.size(), fault == "reset" ? 247u / 2 : 0u) << "reset writes half of packet 2";
        std::string status;
        uint64_t s = 0, sentFrames = 0;
        for (size_t k = 0; k < packets.size(); ++k) {
            const WirePacket& p = packets[k];
            const uint8_t type = k % 2;  // mixed alternates record types
            status += p.bytes[0] == 0x55                   ? (p.checksumOk ? 'g' : 'c')
                      : p.bytes[0] == 0xAA && p.checksumOk ? 's'
                                                           : '?';
            EXPECT_EQ(p.bytes[1], type);
            EXPECT_EQ(p.bytes[2] | p.bytes[3], 0) << "reserved header bytes";
            ASSERT_EQ(p.frames.size(), std::min<uint64_t>(3, 10 - s));
            EXPECT_EQ(p.bytes.size(), 7 + p.frames.size() * (type == 0 ? 24 : 80));
            sentFrames += status.back() == 'g' ? p.frames.size() : 0;
            for (const WireFrame& frame : p.frames) {
                std::vector<uint8_t> data(type == 0 ? 8 : 12);  // classic records hold at most 8 bytes
                std::iota(data.begin(), data.end(), static_cast<uint8_t>(s));
                EXPECT_EQ(fieldsOf(frame),
                          fieldsOf({type, s, static_cast<uint32_t>(0x10 + s % 4), static_cast<uint16_t>(s),
                                    static_cast<uint8_t>(s % 2 * 2), data}));
                ++s;
            }
        }
        EXPECT_EQ(status, expected);
        EXPECT_EQ(summary["sent_frames"], sentFrames) << "frames of a spoiled packet do not count";
        EXPECT_EQ(summary["sent_packets"], packets.size());
        EXPECT_EQ(summary["connections"], 1u);
    }
}

// Garbage, two classic frames, a packet with a bad checksum, an FD frame: each
// good frame comes back as a packet of its own, in FD records by default.
TEST(SimStream, EchoesTheGoodFramesOfEachConnectionOrDatagramAndCountsTheBadPackets) {
    const std::vector<WireFrame> good{{0, 7, 0x123, 0x0102, 1, {0x11, 0x22}},
                                      {0, 8, 0x1FFFFFFF, 0, 3, {}},
                                      {1, 0x0102030405060708, 0x800, 0, 0, std::vector<uint8_t>(12, 0xAB)}};
    std::vector<uint8_t> spoiled = buildPacket(1, {{1, 2, 0x124, 0, 1, {}}}), input{0x01, 0x02, 0x03};
    spoiled.back() ^= 1;
    for (const auto& part : {buildPacket(0, {good[0], good[1]}), spoiled, buildPacket(1, {good[2]})}) {
        input.insert(input.end(), part.begin(), part.end());
    }
    for (const bool udp : {false, true}) {
        SCOPED_TRACE(udp ? "udp" : "tcp-connect");
        uint16_t port = 0;
        const int local = udp ? udpSocket(port) : tcpListen(port);
        const unsigned peers = udp ? 1 : 2;
        SimProcess sim({udp ? "--udp=127.0.0.1:0" : "--tcp-connect=127.0.0.1:" + std::to_string(port),
                        "--connections=" + std::to_string(peers), "--echo",
                        "--expect=" + std::to_string(3 * peers), "--verbose"});
        for (unsigned c = 0; c < peers; ++c) {
            std::vector<uint8_t> echoed;
            if (udp) {
                sendTo(local, sim.readyPort(), input);
                for (int i = 0; i < 3; ++i) {
                    const std::vector<uint8_t> datagram = receiveDatagram(local);
                    EXPECT_EQ(datagram.size(), 87u);
                    echoed.insert(echoed.end(), datagram.begin(), datagram.end());
                }
            } else {
                const int fd = tcpAccept(local);
                // Two writes with a pause: the simulator must reassemble the packet.
                write(fd, input.data(), 10);
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                write(fd, input.data() + 10, input.size() - 10);
                readExactly(fd, echoed, 3 * 87);
                close(fd);
            }
            const auto packets = splitPackets(echoed);
            ASSERT_EQ(packets.size(), 3u);
            for (size_t i = 0; i < 3; ++i) {
                WireFrame expected = good[i];
                expected.type = 1;
                EXPECT_TRUE(packets[i].checksumOk);
                ASSERT_EQ(packets[i].frames.size(), 1u);
                EXPECT_EQ(fieldsOf(packets[i].frames[0]), fieldsOf(expected));
            }
        }
        auto summary = sim.summary();
        EXPECT_EQ(summary["received_frames"], 3 * peers);
        EXPECT_EQ(summary["received_packets"], 2 * peers);
        EXPECT_EQ(summary["bad_packets"], 2 * peers);
        EXPECT_EQ(summary["sent_frames"], 3 * peers);
        EXPECT_EQ(summary["connections"], udp ? 0 : peers);
        EXPECT_EQ(sim.exitStatus(), 0);
        const std::string log = sim.errors();
        EXPECT_NE(log.find(") can1 123#1122\n"), std::string::npos) << log;
        EXPECT_NE(log.find(") can0 00000800##0ABABABABABABABABABABABAB\n"), std::string::npos) << log;
        close(local);
    }
}

TEST(SimOptions, BadOptionsNameTheOptionAndExitWithTwo) {
    std::string errors;
    for (const std::string bad : {"--rate=fast", "--tcp-listen=127.0.0.1:0", "--fault=reset",
                                  "--records-per-packet=820", "--device-id=0011223344", "--no-such-option"}) {
        const std::string option = bad.substr(0, bad.find('='));
        EXPECT_EQ(runSim({"--udp=127.0.0.1:0", bad}, errors), 2) << bad;
        EXPECT_NE(errors.find("quilvane-sim: " + option + ":"), std::string::npos) << errors;
    }
    EXPECT_EQ(runSim({"--help"}, errors), 0);
}

}  // namespace
