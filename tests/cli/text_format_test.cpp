// The text forms the tool reads and writes: candump log lines and cansend
// frames, CONNECTION arguments (with the Python package, from one table) and
// the JSON of search.
#include <cjson/cJSON.h>
#include <gmock/gmock.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "open_params.h"
#include "text_format.h"

using testing::HasSubstr;

namespace {

// Exact texts written, also in a log line; that they read back as the
// frame is tool_text_fuzz's. Read: texts that no frame is written as.
TEST(CandumpFormat, FramesAsTexts) {
    const struct {
        CanFrame frame;
        std::string text;
    } written[] = {
        {makeFrame(0x123, {0x11, 0x22}), "123#1122"},
        {makeFrame(0x42, {1}, 3), "042#01"},
        {makeFrame(0x7FF, {0, 1, 2, 3, 4, 5, 6, 7}, 1), "7FF#0001020304050607"},
        {makeFrame(0x800, {0xAB}, 255), "00000800#AB"},
        {makeFrame(0x1F334455, {}), "1F334455#"},
        {makeFrame(0x123, {0xAA}, 7, 0x1 | 0x2 | 0x4), "123##7AA"},
        {makeFrame(0x1FFFFFFF, std::vector<std::uint8_t>(64, 0xAA), 0, 5),
         "1FFFFFFF##5" + std::string(128, 'A')},
        // More than 8 bytes make a frame FD; bit rate switch alone does not.
        {makeFrame(0x123, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 0, 1), "123##5000102030405060708090A0B"},
        {makeFrame(0x123, {0, 1, 2, 3, 4, 5, 6, 7}, 0, 1), "123#0001020304050607"},
    };
    for (const auto& c : written) {
        EXPECT_EQ(formatFrame(c.frame), c.text);
        EXPECT_EQ(formatLogLine(1700000000000001, c.frame),
                  "(1700000000.000001) can" + std::to_string(c.frame.channel) + " " + c.text);
    }
    const struct {
        std::string text;
        CanFrame frame;
    } read[] = {
        {"123#11.22.aa", makeFrame(0x123, {0x11, 0x22, 0xAA})},
        {"00000123#", makeFrame(0x123, {})},       // 8 digits give their value
        {"123##1", makeFrame(0x123, {}, 0, 0x5)},  // FDF is added to the flags digit
    };
    for (const auto& c : read) {
        CanFrame frame{};
        std::string error;
        ASSERT_TRUE(parseFrame(c.text, frame, error)) << c.text << ": " << error;
        EXPECT_EQ(fieldsOf(frame), fieldsOf(c.frame)) << c.text;
    }
}

TEST(CandumpLog, ReadsLinesFromOtherWritersAndNamesTheBadOneSayingWhy) {
    std::istringstream good(
        "(1.5) can7 123#11\n\n(2.1234567) vcan0 1F334455##3 R\r\n(3.000001) can256 7FF#\n");
    std::vector<LogRecord> records;
    LogReadError error;
    ASSERT_TRUE(readCandumpLog(good, records, error)) << error.message;
    ASSERT_EQ(records.size(), 3u);
    // Digits past microseconds are cut; names other than canN give channel 0.
    EXPECT_EQ(std::tuple(records[0].micros, records[0].frame.channel), std::tuple(1500000u, 7));
    EXPECT_EQ(std::tuple(records[1].micros, records[1].frame.channel, records[1].frame.flags),
              std::tuple(2123456u, 0, 0x7));
    EXPECT_EQ(records[2].frame.channel, 0);

    // A bad frame is named the same way in a log file and on the command line
    // (remote frames: the tool's test, through replay).
    const std::string line = "(1.0) can0 ";
    const struct {
        std::string text;
        std::size_t line;
        const char* reason;
    } bad[] = {
        {line + "123#11\n1.0 can0 123#11\n", 2, "expected a time"},
        {"\n\n(1.0) can0\n", 3, "expected \"(TIME) INTERFACE FRAME\""},
        {line + "123#11 extra\n", 1, "unexpected text"},
        {line + "800#11", 1, "identifier must be 3 hex digits up to 7FF"},
        {line + "20000000#", 1, "8 hex digits up to 1FFFFFFF"},
        {line + "123#112", 1, "pairs of hex digits"},
        {line + "123#" + std::string(18, '1'), 1, "at most 8 data bytes"},
        {line + "123##1" + std::string(130, '1'), 1, "at most 64 data bytes"},
        {line + "123##811", 1, "flags (0 to 7)"},
        {line + "123", 1, "expected ID#DATA"},
    };
    for (const auto& c : bad) {
        std::istringstream in(c.text);
        EXPECT_FALSE(readCandumpLog(in, records, error)) << c.text;
        EXPECT_EQ(error.line, c.line) << c.text;
        EXPECT_THAT(error.message, HasSubstr(c.reason)) << c.text;
    }
}

// Each row of tests/connection_urls.tsv, which the Python package's tests
// read too: fields split at tabs, "-" for empty. That what is read writes
// back the same is tool_text_fuzz's.
TEST(ConnectionUrl, AcceptsAndRefusesAsTheTableSays) {
    std::ifstream table(QUILVANE_URL_TABLE);
    int rows[2] = {};
    for (std::string line; std::getline(table, line);) {
        std::vector<std::string> f;
        for (std::istringstream in(line); std::getline(in, f.emplace_back(), '\t');)
            f.back() = f.back() == "-" ? "" : f.back();
        f.pop_back();
        if (f.empty() || (f[0] != "accept" && f[0] != "refuse"))
            continue;
        SCOPED_TRACE(f[1]);
        ConnectionUrl url;
        std::string error;
        const bool accept = f[0] == "accept";
        ++rows[accept];
        EXPECT_EQ(parseConnectionUrl(f[1], url, error), accept) << error;
        if (!accept) {
            EXPECT_THAT(error, HasSubstr(f[2]));
            EXPECT_THAT(error, HasSubstr(f[1])) << "the message quotes the argument";
            continue;
        }
        // tcp-listen's address is the local one.
        const std::string local = url.type == QUILVANE_TCP_SERVER ? url.listenAddress : url.localIp;
        EXPECT_EQ(
            std::vector<std::string>(f.begin() + 2, f.end()),
            std::vector<std::string>({std::to_string(url.type), url.remoteIp, std::to_string(url.remotePort),
                                      local, std::to_string(url.localPort)}));
    }
    EXPECT_TRUE(rows[0] > 0 && rows[1] > 0) << QUILVANE_URL_TABLE;
}

// The library listens everywhere: a listening address, or an empty local one, is not passed on.
TEST(ConnectionUrl, ListenAddressAndEmptyLocalAddressAreNotPassedOn) {
    ConnectionUrl listen, udp;
    std::string error;
    ASSERT_TRUE(parseConnectionUrl("tcp-listen://127.0.0.1:8000", listen, error));
    ASSERT_TRUE(parseConnectionUrl("udp://192.0.2.10:9000?local=:9001", udp, error));
    const OpenParams p = toOpenParams(listen), q = toOpenParams(udp);
    EXPECT_EQ(std::tuple(p.type, p.localPort, std::string(p.localIp), q.localPort, std::string(q.localIp)),
              std::tuple(std::uint32_t{QUILVANE_TCP_SERVER}, 8000, "", 9001, ""));
}

TEST(SearchJson, DeviceTextsAlwaysGiveValidJson) {
    EXPECT_EQ(jsonString("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
    EXPECT_EQ(jsonString("\xC3\xA9"), "\"\xC3\xA9\"") << "valid UTF-8 passes";
    EXPECT_EQ(jsonString("ab\xC3"), "\"ab\\ufffd\"") << "a character cut at the field's end";

    DeviceInfo device{};
    std::memcpy(device.model, "Mod\"el\\\x02\xE2\x82", 10);
    std::memcpy(device.name, "0123456789ABCDEF", 16);  // no NUL: the field ends at its size
    device.ipv4[0] = 198;
    device.mac[5] = 0x5E;
    const std::string text = deviceJson({device, DeviceInfo{}});
    cJSON* parsed = cJSON_Parse(text.c_str());
    ASSERT_NE(parsed, nullptr) << text;
    ASSERT_EQ(cJSON_GetArraySize(parsed), 2);
    const cJSON* first = cJSON_GetArrayItem(parsed, 0);
    EXPECT_STREQ(cJSON_GetObjectItem(first, "name")->valuestring, "0123456789ABCDEF");
    EXPECT_STREQ(cJSON_GetObjectItem(first, "ipv4")->valuestring, "198.0.0.0");
    EXPECT_STREQ(cJSON_GetObjectItem(first, "mac")->valuestring, "00:00:00:00:00:5E");
    cJSON_Delete(parsed);
}

}  // namespace
