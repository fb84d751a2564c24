// The simulator is the other tests' oracle: here, what they cannot see of it.
// Its faults must really be faulty, its checks of what it receives strict,
// its search and probe replies exact, and a mistyped option must stop it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <numeric>
#include <thread>

#include "sim_process.h"
#include "test_wire.h"

namespace {

// Wine gives SIGINT to a Windows program as a console's Ctrl-C, but SIGTERM
// kills it outright: runs against the Windows simulator set QUILVANE_UNDER_WINE.
const int kStopSignal = std::getenv("QUILVANE_UNDER_WINE") ? SIGINT : SIGTERM;

std::vector<uint64_t> counts(std::map<std::string, uint64_t> summary, const std::vector<std::string>& keys) {
    std::vector<uint64_t> values;
    for (const std::string& key : keys)
        values.push_back(summary[key]);
    return values;
}

// Five classic frames in packets of 55, 55 and 31 bytes; the fault picks the
// second. (Pattern, cut and bad-checksum are checked by the dissector's test,
// close and flood by the library's.)
TEST(SimStream, FaultSpoilsOnlyItsPacketWhoseFramesDoNotCount) {
    for (const auto& [fault, status] : {std::pair("bad-sync", "gsg"), {"reset", "g"}}) {
        SCOPED_TRACE(fault);
        SimProcess sim({"--tcp-listen", "127.0.0.1:0", "--generate", "5", "--records-per-packet", "2",
                        "--record", "classic", "--fault", fault, "--fault-at", "2"});
        int fd = tcpConnect(sim.readyPort()), error = -1;
        std::vector<uint8_t> stream = readToEnd(fd, &error), rest;
        close(fd);
        const bool reset = std::string(fault) == "reset";
        EXPECT_EQ(error, reset ? ECONNRESET : 0);
        std::string got;  // a letter a packet: g good, s sync byte 0xAA with a good checksum
        for (const WirePacket& p : splitPackets(stream, &rest))
            got += p.bytes[0] == 0x55 && p.checksumOk ? 'g' : p.bytes[0] == 0xAA && p.checksumOk ? 's' : '?';
        EXPECT_EQ(got, status);
        EXPECT_EQ(rest.size(), reset ? 55u / 2 : 0u) << "reset writes half of its packet";
        EXPECT_EQ(counts(sim.summary(), {"sent_frames", "sent_packets", "connections"}),
                  (std::vector<uint64_t>{reset ? 2u : 3u, reset ? 1u : 3u, 1}));
    }
}

// Garbage, two classic frames, a packet with a bad checksum, an FD frame, to
// each of two connections, the packet cut across two writes: each good frame
// comes back as a packet of its own, in FD records by default.
TEST(SimStream, EchoesTheGoodFramesOfEachConnectionAndCountsTheBadPackets) {
    const std::vector<WireFrame> good{{1, 7, 0x123, 0x0102, 1, {0x11, 0x22}},
                                      {1, 8, 0x1FFFFFFF, 0, 3, {}},
                                      {1, 0x0102030405060708, 0x800, 0, 0, std::vector<uint8_t>(12, 0xAB)}};
    std::vector<uint8_t> spoiled = buildPacket(1, {{1, 2, 0x124, 0, 1, {}}}), input{0x01, 0x02, 0x03};
    spoiled.back() ^= 1;
    for (const auto& part : {buildPacket(0, {good[0], good[1]}), spoiled, buildPacket(1, {good[2]})})
        input.insert(input.end(), part.begin(), part.end());
    uint16_t port = 0;
    const int listener = tcpListen(port);
    SimProcess sim({"--tcp-connect=127.0.0.1:" + std::to_string(port), "--connections=2", "--echo",
                    "--expect=6", "--verbose"});
    for (int c = 0; c < 2; ++c) {
        const int fd = tcpAccept(listener);
        write(fd, input.data(), 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        write(fd, input.data() + 10, input.size() - 10);
        std::vector<uint8_t> echoed;
        readExactly(fd, echoed, 3 * 87);
        close(fd);
        const auto packets = splitPackets(echoed);
        ASSERT_EQ(packets.size(), 3u);
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_TRUE(packets[i].checksumOk && packets[i].frames.size() == 1);
            EXPECT_EQ(fieldsOf(packets[i].frames.at(0)), fieldsOf(good[i]));
        }
    }
    EXPECT_EQ(counts(sim.summary(),
                     {"received_frames", "received_packets", "bad_packets", "sent_frames", "connections"}),
              (std::vector<uint64_t>{6, 4, 4, 6, 2}));
    EXPECT_EQ(sim.finish(), 0);
    // The tool's tests read the other lines; none has an 8-digit id below 0x1000000.
    EXPECT_NE(sim.err().find(") can0 00000800##0ABABABABABABABABABABABAB\n"), std::string::npos) << sim.err();
    close(listener);
}

// A test whose option is mistyped or does not apply would otherwise run
// without the fault it asked for.
TEST(SimOptions, BadOptionsNameTheOptionAndExitWithTwo) {
    for (const std::string bad : {"--rate=fast", "--tcp-listen=127.0.0.1:0", "--fault=reset",
                                  "--records-per-packet=820", "--device-id=0011223344", "--no-such-option"}) {
        SimProcess sim({"--udp=127.0.0.1:0", bad});
        EXPECT_EQ(sim.finish(), 2) << bad;
        EXPECT_NE(sim.err().find("quilvane-sim: " + bad.substr(0, bad.find('=')) + ":"), std::string::npos)
            << sim.err();
    }
}

// Five frames in classic packets of 55, 55 and 31 bytes: with cut each in 2
// to 4 datagrams, with byte-at-a-time in one a byte.
TEST(SimUdp, GeneratesToThePeerInThePiecesOfTheFault) {
    for (const auto& [fault, fewest, most] : {std::tuple("cut", 2u, 4u), {"byte-at-a-time", 0u, 0u}}) {
        SCOPED_TRACE(fault);
        uint16_t port = 0;
        int fd = udpSocket(port);
        SimProcess sim({"--udp", "127.0.0.1:0", "--peer", "127.0.0.1:" + std::to_string(port), "--generate",
                        "5", "--records-per-packet", "2", "--record", "classic", "--fault", fault,
                        "--duration", "20"});
        std::vector<uint8_t> stream;
        for (unsigned size : {55u, 55u, 31u}) {
            unsigned datagrams = 0;
            for (size_t filled = 0; filled < size; ++datagrams) {
                std::vector<uint8_t> piece = receiveDatagram(fd);
                ASSERT_FALSE(piece.empty());
                ASSERT_LE(filled += piece.size(), size) << "a datagram holds parts of two packets";
                stream.insert(stream.end(), piece.begin(), piece.end());
            }
            EXPECT_TRUE(datagrams >= (fewest ? fewest : size) && datagrams <= (most ? most : size))
                << datagrams;
        }
        const auto packets = splitPackets(stream);
        EXPECT_TRUE(packets.size() == 3 && std::ranges::all_of(packets, &WirePacket::checksumOk));
        EXPECT_EQ(counts(sim.summary(), {"sent_frames", "sent_packets"}), (std::vector<uint64_t>{5, 3}));
        close(fd);
    }
}

const std::vector<uint8_t> kSearch{0x86, 0x54, 0x08, 0x00, 0x00, 0xFF, 0x64, 0x9E, 0xD6, 0x33};
const std::vector<uint8_t> kVciRequestZeroId{0xAA, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xAA, 0xFE,
                                             0x06, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00, 0x10, 0x41, 0x3E};
// As sent: each byte of 00 02 00 02, the identifier, A1 14 00 02 00 00 FF 19 A7 B5 CC rotated left by 2.
const std::vector<uint8_t> kPelixProbeZeroId{0x00, 0x08, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x86,
                                             0x50, 0x00, 0x08, 0x00, 0x00, 0xFF, 0x64, 0x9E, 0xD6, 0x33};

uint8_t crc8(const std::vector<uint8_t>& bytes, size_t count) {
    uint8_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint8_t>(crc & 0x80 ? crc << 1 ^ 0x07 : crc << 1);
    }
    return crc ^ 0x55;
}

std::vector<uint8_t> rotatedRight2(std::vector<uint8_t> bytes) {
    for (uint8_t& b : bytes)
        b = static_cast<uint8_t>(b >> 2 | b << 6);
    return bytes;
}

// The checks below name what a reply for the all-zero identifier fails.
std::string jsonFailures(const std::vector<uint8_t>& datagram) {
    const std::vector<uint8_t> plain = rotatedRight2(datagram);
    const size_t n = plain.size() < 10 ? 0 : static_cast<size_t>(plain[4] << 8 | plain[5]);
    if (n == 0 || n + 10 != plain.size())
        return " length";
    std::string json(plain.begin() + 6, plain.end() - 4);
    json.erase(json.find_last_not_of(' ') + 1);
    const bool fields = json.find(R"("ProName":"a \"quoted\" name")") != std::string::npos &&
                        json.find(R"("IPv4":"198.51.100.7")") != std::string::npos &&
                        json.find(R"("MAC":"0.26.43.60.77.94")") != std::string::npos;
    return std::string(n < 1024 ? "" : " oversized") +
           (json.starts_with('{') && json.ends_with('}') ? "" : " unclosed") + (fields ? "" : " fields");
}

// 00 02 00 02, the identifier, then by default 01 02 ... 13; short drops the last byte.
std::string pelixFailures(const std::vector<uint8_t>& datagram) {
    std::vector<uint8_t> record{0, 2, 0, 2, 0, 0, 0, 0, 0, 0};
    for (uint8_t b = 1; b <= 19; ++b)
        record.push_back(b);
    const std::vector<uint8_t> plain = rotatedRight2(datagram);
    return plain == record                                          ? ""
           : plain == std::vector(record.begin(), record.end() - 1) ? " length"
                                                                    : " bytes";
}

std::string vciFailures(const std::vector<uint8_t>& r) {
    const size_t n = r.size();
    if (n < 14)
        return " length";
    const uint8_t x = std::accumulate(r.begin() + 8, r.end() - 2, uint8_t{0}, std::bit_xor<uint8_t>());
    const bool framing = r[0] == 0xAA && r[1] == 0x84 && r[8] == 0xAA && r[9] == 0xFE && r[10] + 14u == n &&
                         r[11] == 0 && r[12] == 1 && r[13] == 0;
    const bool id = std::all_of(r.begin() + 2, r.begin() + 8, [](uint8_t b) { return b == 0; });
    return std::string(n == 20 ? "" : " length") + (framing ? "" : " framing") + (id ? "" : " id") +
           (x == r[n - 2] ? "" : " xor") + (crc8(r, n - 1) == r[n - 1] ? "" : " crc");
}

// Each reply fault must break exactly the rule the discovery tests expect the
// library to enforce against it, and nothing else.
TEST(SimResponder, AnswersEachKindWithTheRightBytesAndEachReplyFaultBreaksOnlyItsCheck) {
    ASSERT_EQ(crc8(kVciRequestZeroId, 19), 0x3E) << "the test's own CRC-8";
    // Not answered: requests for another device or with a bad CRC. (A PELIX
    // probe for another device is refused in the library's probe test.)
    std::vector<uint8_t> otherVci = kVciRequestZeroId, badCrc = kVciRequestZeroId;
    otherVci[7] = 1;
    otherVci[19] = crc8(otherVci, 19);
    badCrc[19] ^= 1;
    // The responders in ready-line order.
    const std::vector<uint8_t>* requests[] = {&kSearch, &kSearch, &kPelixProbeZeroId, &kVciRequestZeroId};
    std::string (*const checks[])(const std::vector<uint8_t>&) = {jsonFailures, pelixFailures, pelixFailures,
                                                                  vciFailures};
    // Each reply fault, the responders it spoils (bit k for the k-th) and what they fail.
    // clang-format off
    const std::tuple<std::string, int, std::string> rows[] = {
        {"none", 0, ""}, {"short", 0b1110, " length"}, {"bad-crc", 0b1000, " crc"}, {"bad-xor", 0b1000, " xor"},
        {"wrong-id", 0b1000, " id"}, {"oversized-json", 1, " oversized"}, {"malformed-json", 1, " unclosed"}};
    // clang-format on
    uint16_t port = 0;
    int fd = udpSocket(port);
    for (const auto& [fault, spoiled, failure] : rows) {
        SCOPED_TRACE(fault);
        SimProcess sim({"--respond=search-json,search-pelix,probe-pelix,probe-vci", "--bind=127.0.0.1",
                        "--search-port=0", "--pelix-port=0", "--vci-port=0", "--device-id=000000000000",
                        "--name=a \"quoted\" name", "--ipv4=198.51.100.7", "--reply-count=2",
                        "--reply-fault=" + fault});
        // Each goes ahead of a request to the same socket, whose answer shows it was read.
        sendTo(fd, sim.readyPort(1), {0x55, 0x01});
        sendTo(fd, sim.readyPort(4), otherVci);
        sendTo(fd, sim.readyPort(4), badCrc);
        for (int k = 0; k < 4; ++k) {
            sendTo(fd, sim.readyPort(k + 1), *requests[k]);
            for (int copy = 0; copy < 2; ++copy)
                EXPECT_EQ(checks[k](receiveDatagram(fd)), spoiled >> k & 1 ? failure : "")
                    << "responder " << k + 1;
        }
        sim.interrupt(kStopSignal);
        EXPECT_EQ(counts(sim.summary(), {"replies", "received_packets"}), (std::vector<uint64_t>{8, 7}));
    }
    close(fd);
}

// A broadcast reply leaves only by the request's interface, and only if it
// has a broadcast address (loopback has none): never unicast instead, which
// would let the discovery tests of broadcast replies pass without one.
TEST(SimResponder, SendsNoBroadcastReplyToARequestFromLoopback) {
    uint16_t port = 0;
    const int fd = udpSocket(port);
    for (const std::string replyTo : {"subnet-broadcast", "broadcast"}) {
        SimProcess sim({"--respond=probe-vci", "--bind=127.0.0.1", "--vci-port=0", "--device-id=000000000000",
                        "--reply-to=" + replyTo});
        sendTo(fd, sim.readyPort(1), kVciRequestZeroId);
        EXPECT_TRUE(sim.readUntil(
            [&] { return sim.err().find("interface lo has no broadcast") != std::string::npos; }, 5000))
            << replyTo << ": " << sim.err();
        sim.interrupt(kStopSignal);
        EXPECT_EQ(sim.summary()["replies"], 0u) << replyTo;
    }
    close(fd);
}

}  // namespace
