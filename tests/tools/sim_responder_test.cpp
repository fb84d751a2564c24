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
// As sent: each byte of 00 02 00 02, the identifier, A1 14 00 02 00 00 FF 19 A7 B5 CC rotated left by 2.
const std::vector<uint8_t> kPelixProbeZeroId{0x00, 0x08, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x86,
                                             0x50, 0x00, 0x08, 0x00, 0x00, 0xFF, 0x64, 0x9E, 0xD6, 0x33};

uint8_t crc8(const std::vector<uint8_t>& bytes, size_t count) {
    uint8_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint8_t>(crc & 0x80 ? crc << 1 ^ 0x07 : crc << 1);
        }
    }
    return crc ^ 0x55;
}

std::vector<uint8_t> rotated(std::vector<uint8_t> bytes, int right) {  // 6 undoes 2
    for (uint8_t& b : bytes) {
        b = static_cast<uint8_t>(b >> right | b << (8 - right));
    }
    return bytes;
}

// The checks below name what a reply for the all-zero identifier fails.
std::string jsonFailures(const std::vector<uint8_t>& datagram) {
    const std::vector<uint8_t> plain = rotated(datagram, 2);
    const size_t n = plain.size() < 10 ? 0 : static_cast<size_t>(plain[4] << 8 | plain[5]);
    if (n == 0 || n + 10 != plain.size()) {
        return " length";
    }
    std::string json(plain.begin() + 6, plain.end() - 4);
    json.erase(json.find_last_not_of(' ') + 1);
    const bool fields = json.find(R"("ProName":"a \"quoted\" name")") != std::string::npos &&
                        json.find(R"("IPv4":"198.51.100.7")") != std::string::npos &&
                        json.find(R"("MAC":"0.26.43.60.77.94")") != std::string::npos;
    return std::string(n < 1024 ? "" : " oversized") +
           (json.starts_with('{') && json.ends_with('}') ? "" : " unclosed") + (fields ? "" : " fields");
}

std::string pelixFailures(const std::vector<uint8_t>& datagram) {
    // 00 02 00 02, the identifier, then by default 01 02 ... 13.
    const std::vector<uint8_t> plain = rotated(datagram, 2);
    std::vector<uint8_t> record{0, 2, 0, 2, 0, 0, 0, 0, 0, 0};
    for (uint8_t b = 1; b <= 19; ++b) {
        record.push_back(b);
    }
    const bool prefix =
        !plain.empty() && plain.size() <= 29 && std::equal(plain.begin(), plain.end(), record.begin());
    return std::string(plain.size() == 29 ? "" : " length") + (prefix ? "" : " bytes");
}

std::string vciFailures(const std::vector<uint8_t>& r) {
    const size_t n = r.size();
    if (n < 14) {
        return " length";
    }
    uint8_t x = 0;
    for (size_t i = 8; i + 2 < n; ++i) {
        x ^= r[i];
    }
    const bool framing = r[0] == 0xAA && r[1] == 0x84 && r[8] == 0xAA && r[9] == 0xFE && r[10] + 14u == n &&
                         r[11] == 0 && r[12] == 1 && r[13] == 0;
    const bool id = std::all_of(r.begin() + 2, r.begin() + 8, [](uint8_t b) { return b == 0; });
    return std::string(n == 20 ? "" : " length") + (framing ? "" : " framing") + (id ? "" : " id") +
           (x == r[n - 2] ? "" : " xor") + (crc8(r, n - 1) == r[n - 1] ? "" : " crc");
}

TEST(SimResponder, AnswersEachKindWithTheRightBytesAndEachReplyFaultBreaksOnlyItsCheck) {
    ASSERT_EQ(crc8(kVciRequestZeroId, 19), 0x3E) << "the test's own CRC-8";
    // Requests for another device, or with a bad CRC.
    std::vector<uint8_t> otherVci = kVciRequestZeroId, badCrc = kVciRequestZeroId,
                         otherPelix = kPelixProbeZeroId;
    otherVci[7] = 1;
    otherVci[19] = crc8(otherVci, 19);
    badCrc[19] ^= 1;
    otherPelix[9] = 0x04;
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
        // None of these is answered; each goes ahead of a request to the same socket,
        // so the request's answer shows it was read.
        sendTo(fd, sim.readyPort(1), {0x55, 0x01});
        sendTo(fd, sim.readyPort(3), otherPelix);
        sendTo(fd, sim.readyPort(4), otherVci);
        sendTo(fd, sim.readyPort(4), badCrc);
        for (int k = 0; k < 4; ++k) {
            sendTo(fd, sim.readyPort(k + 1), *requests[k]);
            for (int copy = 0; copy < 2; ++copy) {
                EXPECT_EQ(checks[k](receiveDatagram(fd)), spoiled >> k & 1 ? failure : "")
                    << "responder " << k + 1;
            }
        }
        sim.terminate();
        auto summary = sim.summary();
        EXPECT_EQ(summary["replies"], 8u);
        EXPECT_EQ(summary["received_packets"], 8u);
    }
    close(fd);
}

}  // namespace
