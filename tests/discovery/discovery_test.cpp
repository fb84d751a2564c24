// How a search reply's JSON text becomes a DeviceInfo record; the probe
// requests on the wire and the rules a VCI reply must pass.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/log_lines.h"
#include "discovery/device_info_parser.h"
#include "discovery/device_probe.h"

using quilvane::parseDeviceInfo;

namespace {

DeviceInfo parse(const std::string& json) {
    DeviceInfo info{};
    parseDeviceInfo(json.c_str(), info);
    return info;
}

std::string bytes(const std::uint8_t* p, int n) {
    std::string s;
    for (int i = 0; i < n; ++i)
        s += std::to_string(p[i]) + (i + 1 < n ? "." : "");
    return s;
}

TEST(DeviceInfoParser, FillsEveryFieldFromItsKeyInAnyCaseAndCutsLongTexts) {
    const auto info = parse(R"({"ProMod":"QV-FD4","kervers":"12345678","SoftVers":"2.1.0","HardVers":"B",
        "SERIALNUM":"0123456789AB","ProName":"ABCDEFGHIJKLMNOPQRST","IPv4":"192.168.1.10","MAC":"0.26.43.60.77.94"})");
    EXPECT_STREQ(info.model, "QV-FD4");
    EXPECT_STREQ(info.kernelVersion, "1234567");
    EXPECT_STREQ(info.softwareVersion, "2.1.0");
    EXPECT_STREQ(info.hardwareVersion, "B");
    EXPECT_STREQ(info.serialNumber, "012345678");
    EXPECT_STREQ(info.name, "ABCDEFGHIJKLMNO");
    EXPECT_EQ(bytes(info.ipv4, 4), "192.168.1.10");
    EXPECT_EQ(bytes(info.mac, 6), "0.26.43.60.77.94");
}

// Values that are not text, and text that does not parse, leave fields alone;
// dotted numbers are read piece by piece.
TEST(DeviceInfoParser, UnusableValuesAndDottedNumbers) {
    DeviceInfo info{};
    std::memset(info.model, 'x', sizeof info.model);
    parseDeviceInfo(R"({"ProMod":42,"ProName":null,"IPv4":[1,2,3,4],"SoftVers":"ok"})", info);
    EXPECT_EQ(info.model[0], 'x');
    EXPECT_EQ(info.name[0], '\0');
    EXPECT_EQ(bytes(info.ipv4, 4), "0.0.0.0");
    EXPECT_STREQ(info.softwareVersion, "ok");
    testing::internal::CaptureStderr();
    parseDeviceInfo(R"({"ProMod": "QV" oops})", info);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              quilvane::log_lines::kJsonParseError + std::string("oops}\n"));
    EXPECT_EQ(info.model[0], 'x');

    const char* cases[][4] = {
        // IPv4, MAC, and what they give: cut to 8 bits; colons are no separator
        {"300.1.2.3", "00:1A:2B:3C:4D:5E", "44.1.2.3", "0.0.0.0.0.0"},
        {"..10..20.", "1.2.3.4.5.6.7.8", "10.20.0.0", "1.2.3.4.5.6"},  // empty pieces skipped, extra ignored
        {"a.7b.-1", "", "0.7.255.0", "0.0.0.0.0.0"},                   // no leading digits gives 0
    };
    for (const auto& c : cases) {
        info = parse(std::string(R"({"IPv4":")") + c[0] + R"(","MAC":")" + c[1] + R"("})");
        EXPECT_EQ(bytes(info.ipv4, 4), c[2]) << c[0];
        EXPECT_EQ(bytes(info.mac, 6), c[3]) << c[1];
    }
}

using Bytes = std::vector<std::uint8_t>;

const std::uint8_t kZeroId[6] = {};
const std::uint8_t kId[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};

// A reply that passes every check; n >= 20.
Bytes vciReply(std::size_t n = 20) {
    Bytes r(n, 0);
    r[0] = 0xAA;
    r[1] = 0x84;
    std::copy(kId, kId + 6, r.begin() + 2);
    r[8] = 0xAA;
    r[9] = 0xFE;
    r[12] = 0x01;
    r[n - 2] = quilvane::xorChecksum(r.data() + 8, static_cast<int>(n - 10));
    r[n - 1] = quilvane::crc8(r.data(), n - 1);
    return r;
}

TEST(ProbeRequest, VciCarriesItsXorAndCrcAndPelixIsRotatedLeftByTwo) {
    EXPECT_EQ(quilvane::vciProbeRequest(kZeroId),
              (Bytes{0xAA, 0x04, 0,    0,    0,    0,    0,    0,    0xAA, 0xFE,
                     0x06, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00, 0x10, 0x41, 0x3E}));
    const Bytes withId = quilvane::vciProbeRequest(kId);
    EXPECT_EQ(Bytes(withId.begin() + 2, withId.begin() + 8), Bytes(kId, kId + 6));
    EXPECT_EQ(withId[18], 0x41);
    EXPECT_EQ(withId[19], quilvane::crc8(withId.data(), 19));

    Bytes plain;
    for (auto b : quilvane::pelixProbeRequest(kId))
        plain.push_back(static_cast<std::uint8_t>((b >> 2) | (b << 6)));
    EXPECT_EQ(plain, (Bytes{0x00, 0x02, 0x00, 0x02, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0xA1,
                            0x14, 0x00, 0x02, 0x00, 0x00, 0xFF, 0x19, 0xA7, 0xB5, 0xCC}));
}

TEST(VciReply, AcceptsOnlyRepliesThatPassEveryRule) {
    EXPECT_TRUE(quilvane::checkVciReply(vciReply().data(), 20, kId));
    EXPECT_TRUE(quilvane::checkVciReply(vciReply(32).data(), 32, kId));
    EXPECT_FALSE(quilvane::checkVciReply(vciReply().data(), 19, kId)) << "19 bytes are never enough";
    EXPECT_FALSE(quilvane::checkVciReply(vciReply().data(), 20, kZeroId));
    // Each byte spoils one rule: header, identifier, inner header, body (2), inner and outer check.
    for (const std::size_t at : {1, 4, 9, 12, 13, 18, 19}) {
        Bytes r = vciReply();
        r[at] ^= 0x01;
        // Only the rule under test fails: the checks after it are made good again.
        if (at < 18)
            r[18] = quilvane::xorChecksum(r.data() + 8, 10);
        if (at < 19)
            r[19] = quilvane::crc8(r.data(), 19);
        EXPECT_FALSE(quilvane::checkVciReply(r.data(), 20, kId)) << "byte " << at;
    }
}

}  // namespace
