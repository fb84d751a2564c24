// How a search reply's JSON text becomes a DeviceInfo record.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "discovery/device_info_parser.h"

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

TEST(DeviceInfoParser, ValuesThatAreNotTextAndTextThatDoesNotParseLeaveFieldsAlone) {
    DeviceInfo info{};
    std::memset(info.model, 'x', sizeof info.model);
    parseDeviceInfo(R"({"ProMod":42,"ProName":null,"IPv4":[1,2,3,4],"SoftVers":"ok"})", info);
    EXPECT_EQ(info.model[0], 'x');
    EXPECT_EQ(info.name[0], '\0');
    EXPECT_EQ(bytes(info.ipv4, 4), "0.0.0.0");
    EXPECT_STREQ(info.softwareVersion, "ok");

    testing::internal::CaptureStderr();
    parseDeviceInfo(R"({"ProMod": "QV" oops})", info);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "JSON parse error: oops}\n");
    EXPECT_EQ(info.model[0], 'x');
}

TEST(DeviceInfoParser, DottedNumbersAreReadPieceByPiece) {
    const char* cases[][4] = {
        // IPv4, MAC, and what they give: cut to 8 bits; colons are no separator
        {"300.1.2.3", "00:1A:2B:3C:4D:5E", "44.1.2.3", "0.0.0.0.0.0"},
        {"..10..20.", "1.2.3.4.5.6.7.8", "10.20.0.0", "1.2.3.4.5.6"},  // empty pieces skipped, extra ignored
        {"a.7b.-1", "", "0.7.255.0", "0.0.0.0.0.0"},                   // no leading digits gives 0
    };
    for (const auto& c : cases) {
        const auto info = parse(std::string(R"({"IPv4":")") + c[0] + R"(","MAC":")" + c[1] + R"("})");
        EXPECT_EQ(bytes(info.ipv4, 4), c[2]) << c[0];
        EXPECT_EQ(bytes(info.mac, 6), c[3]) << c[1];
    }
}

}  // namespace
