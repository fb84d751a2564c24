// The probe requests on the wire and the rules a VCI reply must pass.
#include <gtest/gtest.h>

#include <vector>

#include "discovery/device_probe.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::uint8_t kZeroId[6] = {};
const std::uint8_t kId[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};

// A reply that passes every check; n >= 20.
Bytes vciReply(const std::uint8_t* id, std::size_t n = 20) {
    Bytes r(n, 0);
    r[0] = 0xAA;
    r[1] = 0x84;
    std::copy(id, id + 6, r.begin() + 2);
    r[8] = 0xAA;
    r[9] = 0xFE;
    r[12] = 0x01;
    r[13] = 0x00;
    r[n - 2] = quilvane::xorChecksum(r.data() + 8, static_cast<int>(n - 10));
    r[n - 1] = quilvane::crc8(r.data(), n - 1);
    return r;
}

TEST(ProbeRequest, VciRequestCarriesItsXorAndCrc) {
    EXPECT_EQ(quilvane::vciProbeRequest(kZeroId),
              (Bytes{0xAA, 0x04, 0,    0,    0,    0,    0,    0,    0xAA, 0xFE,
                     0x06, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00, 0x10, 0x41, 0x3E}));
    const Bytes withId = quilvane::vciProbeRequest(kId);
    EXPECT_EQ(Bytes(withId.begin() + 2, withId.begin() + 8), Bytes(kId, kId + 6));
    EXPECT_EQ(withId[18], 0x41);
    EXPECT_EQ(withId[19], quilvane::crc8(withId.data(), 19));
}

TEST(ProbeRequest, PelixRequestIsRotatedLeftByTwo) {
    const Bytes request = quilvane::pelixProbeRequest(kId);
    ASSERT_EQ(request.size(), 21u);
    Bytes plain;
    for (auto b : request)
        plain.push_back(static_cast<std::uint8_t>((b >> 2) | (b << 6)));
    EXPECT_EQ(plain, (Bytes{0x00, 0x02, 0x00, 0x02, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0xA1,
                            0x14, 0x00, 0x02, 0x00, 0x00, 0xFF, 0x19, 0xA7, 0xB5, 0xCC}));
}

TEST(ProbeRequest, ChecksumsMatchKnownValues) {
    const std::uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(quilvane::crc8(check, 9), 0xA1);  // CRC-8/I-432-1 check value
    const std::uint8_t one = 0x5A;
    EXPECT_EQ(quilvane::xorChecksum(&one, 1), 0x5A);
    EXPECT_EQ(quilvane::xorChecksum(check, 2), '1' ^ '2');
}

TEST(VciReply, AcceptsOnlyRepliesThatPassEveryRule) {
    EXPECT_TRUE(quilvane::checkVciReply(vciReply(kId).data(), 20, kId));
    EXPECT_TRUE(quilvane::checkVciReply(vciReply(kId, 32).data(), 32, kId));

    struct Spoil {
        const char* rule;
        std::size_t at;
    } spoils[] = {{"header", 1},       {"identifier", 4}, {"outer check", 19}, {"inner header", 9},
                  {"inner check", 18}, {"body", 12},      {"body", 13}};
    for (const auto& s : spoils) {
        Bytes r = vciReply(kId);
        r[s.at] ^= 0x01;
        // Only the rule under test fails: the checks after it are made good again.
        if (s.at != 18 && s.at != 19)
            r[18] = quilvane::xorChecksum(r.data() + 8, 10);
        if (s.at != 19)
            r[19] = quilvane::crc8(r.data(), 19);
        EXPECT_FALSE(quilvane::checkVciReply(r.data(), 20, kId)) << s.rule;
    }
    const Bytes shortReply = vciReply(kId, 20);
    EXPECT_FALSE(quilvane::checkVciReply(shortReply.data(), 19, kId)) << "19 bytes are never enough";
    EXPECT_FALSE(quilvane::checkVciReply(vciReply(kId).data(), 20, kZeroId));
}

TEST(Probe, BadArgumentsSendNothing) {
    const std::uint8_t address[4] = {198, 51, 100, 2};
    EXPECT_EQ(quilvane::probeVciDevice(nullptr, address, 10), -1);
    EXPECT_EQ(quilvane::probeVciDevice(kId, nullptr, 10), -1);
    EXPECT_EQ(quilvane::probePelixDevice(kId, address, 0), -1);
    EXPECT_EQ(quilvane::probePelixDevice(kId, address, -5), -1);
    EXPECT_EQ(quilvane::probeExchange("", nullptr, 1, 1, 1, nullptr, kId), -1);
}

}  // namespace
