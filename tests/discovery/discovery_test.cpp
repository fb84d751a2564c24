// How a search reply's JSON text becomes a DeviceInfo record, and the probe
// requests on the wire. (The rules a VCI reply must pass are checked by
// probe_reply_fuzz against a model of its own.)
#include <gtest/gtest.h>

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

// How text fields are filled from their keys, values that are not text and
// text that does not parse are checked by search_reply_fuzz against cJSON,
// and so are dotted numbers that write back the same. Here: an address that
// is not text, the parse error's log line, and dotted numbers that do not
// write back.
TEST(DeviceInfoParser, UnusableValuesAndDottedNumbers) {
    DeviceInfo info = parse(R"({"IPv4":[1,2,3,4]})");
    EXPECT_EQ(bytes(info.ipv4, 4), "0.0.0.0");
    testing::internal::CaptureStderr();
    parseDeviceInfo(R"({"ProMod": "QV" oops})", info);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              quilvane::log_lines::kJsonParseError + std::string("oops}\n"));

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

// Requests for other identifiers are checked where the simulator answers the
// library's probes on the private network: it answers only a good request
// for its own identifier.
TEST(ProbeRequest, VciCarriesItsXorAndCrcAndPelixIsRotatedLeftByTwo) {
    EXPECT_EQ(quilvane::vciProbeRequest(kZeroId),
              (Bytes{0xAA, 0x04, 0,    0,    0,    0,    0,    0,    0xAA, 0xFE,
                     0x06, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00, 0x10, 0x41, 0x3E}));

    Bytes plain;
    for (auto b : quilvane::pelixProbeRequest(kId))
        plain.push_back(static_cast<std::uint8_t>((b >> 2) | (b << 6)));
    EXPECT_EQ(plain, (Bytes{0x00, 0x02, 0x00, 0x02, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0xA1,
                            0x14, 0x00, 0x02, 0x00, 0x00, 0xFF, 0x19, 0xA7, 0xB5, 0xCC}));
}

}  // namespace
