// Responders: the exact bytes of search and probe replies, by unicast.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "sim_process.h"
#include "test_wire.h"

namespace {

const std::vector<uint8_t> kSearch{0x86, 0x54, 0x08, 0x00, 0x00, 0xFF, 0x64, 0x9E, 0xD6, 0x33};
const std::vector<uint8_t> kVciRequestZeroId{0xAA, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xAA, 0xFE,
                                             0x06, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00, 0x10, 0x41, 0x3E};

std::vector<uint8_t> rotatedRight(std::vector<uint8_t> bytes) {
    std::transform(bytes.begin(), bytes.end(), bytes.begin(), rotateRight2);
    return bytes;
}

// The JSON text of a rotated-back search reply, checking that n = N + 10.
std::string jsonOf(const std::vector<uint8_t>& datagram) {
    std::vector<uint8_t> plain = rotatedRight(datagram);
    if (plain.size() <= 6) {
        return "";
    }
    const size_t n = static_cast<size_t>(plain[4]) << 8 | plain[5];
    EXPECT_EQ(n + 10, plain.size());
    return std::string(plain.begin() + 6, plain.begin() + 6 + std::min(n, plain.size() - 6));
}

// Which of the VCI reply checks a reply passes.
struct VciChecks {
    bool length, header, id, crc, inner, xorOk, body;
};

VciChecks checkVci(const std::vector<uint8_t>& r, uint8_t idByte) {
    const size_t n = r.size();
    if (n < 14) {
        return {};
    }
    uint8_t x = 0;
    for (size_t i = 8; i + 2 < n; ++i) {
        x ^= r[i];
    }
    return {n >= 20,
            r[0] == 0xAA && r[1] == 0x84,
            std::all_of(r.begin() + 2, r.begin() + 8, [idByte](uint8_t b) { return b == idByte; }),
            crc8(r, n - 1) == r[n - 1],
            r[8] == 0xAA && r[9] == 0xFE,
            x == r[n - 2],
            r[12] == 1 && r[13] == 0};
}

TEST(SimResponder, AnswersEachKindWithTheRightBytes) {
    ASSERT_EQ(crc8(kVciRequestZeroId, 19), 0x3E) << "the test's own CRC-8";
    SimProcess sim({"--respond", "search-json,search-pelix,probe-pelix,probe-vci", "--bind", "127.0.0.1",
                    "--search-port", "0", "--pelix-port", "0", "--vci-port", "0", "--device-id",
                    "000000000000", "--name", "a \"quoted\" name", "--ipv4", "198.51.100.7", "--duration",
                    "20"});
    uint16_t port = 0;
    int fd = udpSocket(port);

    sendTo(fd, sim.readyPort(1), kSearch);
    std::string json = jsonOf(receiveDatagram(fd));
    EXPECT_EQ(json.front(), '{');
    EXPECT_EQ(json.back(), '}');
    EXPECT_NE(json.find(R"("ProName":"a \"quoted\" name")"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("IPv4":"198.51.100.7")"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("MAC":"0.26.43.60.77.94")"), std::string::npos) << json;

    sendTo(fd, sim.readyPort(2), kSearch);
    std::vector<uint8_t> pelix = rotatedRight(receiveDatagram(fd));
    ASSERT_EQ(pelix.size(), 29u);
    EXPECT_EQ(std::vector<uint8_t>(pelix.begin(), pelix.begin() + 10),
              std::vector<uint8_t>({0, 2, 0, 2, 0, 0, 0, 0, 0, 0}));

    std::vector<uint8_t> probe{0x00, 0x02, 0x00, 0x02, 0,    0,    0,    0,    0,    0,   0xA1,
                               0x14, 0x00, 0x02, 0x00, 0x00, 0xFF, 0x19, 0xA7, 0xB5, 0xCC};
    std::transform(probe.begin(), probe.end(), probe.begin(),
                   [](uint8_t b) { return static_cast<uint8_t>(b << 2 | b >> 6); });
    sendTo(fd, sim.readyPort(3), probe);
    EXPECT_FALSE(receiveDatagram(fd).empty());

    sendTo(fd, sim.readyPort(4), kVciRequestZeroId);
    std::vector<uint8_t> vci = receiveDatagram(fd);
    VciChecks checks = checkVci(vci, 0);
    EXPECT_TRUE(checks.length && checks.header && checks.id && checks.crc && checks.inner && checks.xorOk &&
                checks.body);

    // A request for another device, and anything that is not a request, go unanswered.
    std::vector<uint8_t> otherDevice = kVciRequestZeroId;
    otherDevice[7] = 1;
    otherDevice[18] = 0x41;
    otherDevice[19] = crc8(otherDevice, 19);
    sendTo(fd, sim.readyPort(4), otherDevice);
    sendTo(fd, sim.readyPort(1), {0x55, 0x01});
    EXPECT_TRUE(receiveDatagram(fd, 300).empty());

    sim.terminate();
    auto summary = sim.summary();
    EXPECT_EQ(summary["replies"], 4u);
    EXPECT_EQ(summary["received_packets"], 6u);
    close(fd);
}

TEST(SimResponder, ReplyFaultsBreakOnlyTheirCheck) {
    uint16_t port = 0;
    int fd = udpSocket(port);
    for (std::string fault :
         {"short", "bad-crc", "bad-xor", "wrong-id", "oversized-json", "malformed-json"}) {
        SCOPED_TRACE(fault);
        SimProcess sim({"--respond", "probe-vci,search-json", "--bind", "127.0.0.1", "--search-port", "0",
                        "--vci-port", "0", "--device-id", "000000000000", "--reply-fault", fault,
                        "--reply-count", "2", "--duration", "20"});
        sendTo(fd, sim.readyPort(1), kVciRequestZeroId);
        for (int copy = 0; copy < 2; ++copy) {
            std::vector<uint8_t> reply = receiveDatagram(fd);
            VciChecks c = checkVci(reply, 0);
            EXPECT_EQ(reply.size(), fault == "short" ? 19u : 20u);
            EXPECT_EQ(c.crc, fault != "bad-crc");
            EXPECT_EQ(c.xorOk, fault != "bad-xor");
            EXPECT_EQ(c.id, fault != "wrong-id");
            EXPECT_TRUE(c.header && c.inner && c.body);
        }
        sendTo(fd, sim.readyPort(2), kSearch);
        for (int copy = 0; copy < 2; ++copy) {
            std::string json = jsonOf(receiveDatagram(fd));
            const std::string trimmed = json.substr(0, json.find_last_not_of(' ') + 1);
            EXPECT_EQ(json.size() >= 1024, fault == "oversized-json");
            EXPECT_EQ(trimmed.back() == '}', fault != "malformed-json");
        }
    }
    close(fd);
}

}  // namespace
