// How a search reply's JSON text becomes a DeviceInfo record.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "discovery/device_info_parser.h"

using quilvane::parseDeviceInfo;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

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

TEST(DeviceInfoParser, FillsEveryFieldFromItsKey) {
    const auto info = parse(R"({"ProMod":"QV-FD4","KerVers":"5.10","SoftVers":"2.1.0","HardVers":"B",
        "SerialNum":"A1234567","ProName":"bench-rig","IPv4":"192.168.1.10","MAC":"0.26.43.60.77.94"})");
    EXPECT_STREQ(info.model, "QV-FD4");
    EXPECT_STREQ(info.kernelVersion, "5.10");
    EXPECT_STREQ(info.softwareVersion, "2.1.0");
    EXPECT_STREQ(info.hardwareVersion, "B");
    EXPECT_STREQ(info.serialNumber, "A1234567");
    EXPECT_STREQ(info.name, "bench-rig");
    EXPECT_EQ(bytes(info.ipv4, 4), "192.168.1.10");
    EXPECT_EQ(bytes(info.mac, 6), "0.26.43.60.77.94");
}

TEST(DeviceInfoParser, LongTextsAreCutAndKeysMatchInAnyCase) {
    const auto info =
        parse(R"({"proname":"ABCDEFGHIJKLMNOPQRST","SERIALNUM":"0123456789AB","kervers":"12345678"})");
    EXPECT_STREQ(info.name, "ABCDEFGHIJKLMNO");
    EXPECT_STREQ(info.serialNumber, "012345678");
    EXPECT_STREQ(info.kernelVersion, "1234567");
}

TEST(DeviceInfoParser, ValuesThatAreNotTextLeaveTheirFieldAlone) {
    DeviceInfo info{};
    std::memset(info.model, 'x', sizeof info.model);
    parseDeviceInfo(R"({"ProMod":42,"ProName":null,"IPv4":[1,2,3,4],"SoftVers":"ok"})", info);
    EXPECT_EQ(info.model[0], 'x');
    EXPECT_EQ(info.name[0], '\0');
    EXPECT_EQ(bytes(info.ipv4, 4), "0.0.0.0");
    EXPECT_STREQ(info.softwareVersion, "ok");
}

TEST(DeviceInfoParser, DottedNumbersAreReadPieceByPiece) {
    struct Case {
        const char* ipv4;
        const char* mac;
        const char* wantIpv4;
        const char* wantMac;
    } cases[] = {
        {"300.1.2.3", "00:1A:2B:3C:4D:5E", "44.1.2.3",
         "0.0.0.0.0.0"},  // cut to 8 bits; colons are no separator
        {"..10..20.", "1.2.3.4.5.6.7.8", "10.20.0.0",
         "1.2.3.4.5.6"},                              // empty pieces skipped; extra pieces ignored
        {"a.7b.-1", "", "0.7.255.0", "0.0.0.0.0.0"},  // no leading digits gives 0
    };
    for (const auto& c : cases) {
        const auto info = parse(std::string(R"({"IPv4":")") + c.ipv4 + R"(","MAC":")" + c.mac + R"("})");
        EXPECT_EQ(bytes(info.ipv4, 4), c.wantIpv4) << c.ipv4;
        EXPECT_EQ(bytes(info.mac, 6), c.wantMac) << c.mac;
    }
}

TEST(DeviceInfoParser, TextThatDoesNotParseIsReportedAndWritesNothing) {
    DeviceInfo info{};
    std::memset(&info, 0x7E, sizeof info);
    CaptureStderr();
    parseDeviceInfo(R"({"ProMod": "QV" oops})", info);
    EXPECT_EQ(GetCapturedStderr(), "JSON parse error: oops}\n");
    EXPECT_EQ(info.model[0], 0x7E);
}

}  // namespace
