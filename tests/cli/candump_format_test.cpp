// The text forms the tool reads and writes: candump log lines and cansend
// frames, CONNECTION arguments, device identifiers and JSON strings.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "candump_format.h"
#include "candump_log.h"
#include "connection_url.h"
#include "json_text.h"
#include "search_format.h"
#include "usage_error.h"

namespace {

CanFrame frame(std::uint32_t id, std::vector<std::uint8_t> data, std::uint16_t flags = 0,
               std::uint8_t channel = 0) {
    CanFrame f{};
    f.id = id;
    f.flags = flags;
    f.channel = channel;
    f.dataLength = static_cast<std::uint8_t>(data.size());
    std::copy(data.begin(), data.end(), f.data);
    return f;
}

std::vector<std::uint8_t> counting(std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<std::uint8_t>(i);
    return bytes;
}

TEST(CandumpFormat, WritesFramesAsCandumpDoes) {
    const struct {
        CanFrame frame;
        const char* text;
    } cases[] = {
        {frame(0x123, {0x11, 0x22}), "123#1122"},
        {frame(0x7FF, {}), "7FF#"},
        {frame(0x800, {0xAB}), "00000800#AB"},
        {frame(0x1F334455, {}), "1F334455#"},
        {frame(0x123, {0xAA}, 0x4), "123##4AA"},
        {frame(0x123, {0xAA}, 0x1 | 0x2 | 0x4), "123##7AA"},
        {frame(0x123, counting(12), 0x1),
         "123##5000102030405060708090A0B"},                        // more than 8 bytes: FD even without FDF
        {frame(0x123, counting(8), 0x1), "123#0001020304050607"},  // BRS alone does not make it FD
    };
    for (const auto& c : cases) {
        EXPECT_EQ(formatFrame(c.frame), c.text);
    }
    EXPECT_EQ(formatLogLine(1700000000000001, frame(0x42, {1}, 0, 3)), "(1700000000.000001) can3 042#01");
}

TEST(CandumpFormat, LogLinesReadBackAsWritten) {
    const CanFrame frames[] = {frame(0, {}), frame(0x7FF, counting(8), 0, 1),
                               frame(0x1FFFFFFF, counting(64), 0x5, 255), frame(0x100, counting(3), 0x4, 7)};
    for (const CanFrame& written : frames) {
        LogRecord record;
        std::string error;
        ASSERT_TRUE(parseLogLine(formatLogLine(123456789, written), record, error)) << error;
        EXPECT_EQ(record.micros, 123456789u);
        EXPECT_EQ(record.frame.id, written.id);
        EXPECT_EQ(record.frame.flags, written.flags);
        EXPECT_EQ(record.frame.channel, written.channel);
        ASSERT_EQ(record.frame.dataLength, written.dataLength);
        EXPECT_EQ(std::memcmp(record.frame.data, written.data, written.dataLength), 0);
    }
}

TEST(CandumpFormat, ReadsCansendSyntax) {
    CanFrame f;
    std::string error;
    ASSERT_TRUE(parseFrame("123#11.22.aa", f, error)) << error;
    EXPECT_EQ(f.dataLength, 3);
    EXPECT_EQ(f.data[2], 0xAA);
    ASSERT_TRUE(parseFrame("00000123#", f, error));
    EXPECT_EQ(f.id, 0x123u) << "an 8-digit identifier gives its value";
    ASSERT_TRUE(parseFrame("123##1", f, error));
    EXPECT_EQ(f.flags, 0x5) << "FDF is added to the flags digit";
    EXPECT_EQ(f.dataLength, 0);
}

TEST(CandumpFormat, RefusesBadFramesSayingWhy) {
    const std::string nine(18, '1');
    const std::string sixtyFive(130, '1');
    const struct {
        std::string text;
        const char* reason;
    } cases[] = {
        {"123#R", "remote frames (R) are not supported"},
        {"12#11", "identifier must be 3 hex digits"},
        {"800#11", "identifier must be 3 hex digits up to 7FF"},
        {"20000000#", "8 hex digits up to 1FFFFFFF"},
        {"123#112", "pairs of hex digits"},
        {"123#11..22", "pairs of hex digits"},
        {"123#" + nine, "at most 8 data bytes"},
        {"123##1" + sixtyFive, "at most 64 data bytes"},
        {"123##", "one hex digit of CAN FD flags"},
        {"123", "expected ID#DATA"},
    };
    for (const auto& c : cases) {
        CanFrame f;
        std::string error;
        EXPECT_FALSE(parseFrame(c.text, f, error)) << c.text;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.text << ": " << error;
    }
}

TEST(CandumpLog, ReadsLinesFromOtherWritersAndNamesTheBadOne) {
    std::istringstream good(
        "(1.5) can7 123#11\n\n(2.1234567) vcan0 1F334455##3 R\r\n(3.000001) can256 7FF#\n");
    std::vector<LogRecord> records;
    LogReadError error;
    ASSERT_TRUE(readCandumpLog(good, records, error)) << error.message;
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].micros, 1500000u);
    EXPECT_EQ(records[0].frame.channel, 7);
    EXPECT_EQ(records[1].micros, 2123456u) << "digits past microseconds are cut";
    EXPECT_EQ(records[1].frame.channel, 0) << "names other than canN give channel 0";
    EXPECT_EQ(records[1].frame.flags, 0x7);
    EXPECT_EQ(records[2].frame.channel, 0);

    const struct {
        const char* text;
        std::size_t line;
        const char* reason;
    } bad[] = {
        {"(1.0) can0 123#11\n1.0 can0 123#11\n", 2, "expected a time"},
        {"\n\n(1.0) can0\n", 3, "expected \"(TIME) INTERFACE FRAME\""},
        {"(1.0) can0 123#11 extra\n", 1, "unexpected text"},
        {"(1.0) can0 123#1\n", 1, "pairs of hex digits"},
    };
    for (const auto& c : bad) {
        std::istringstream in(c.text);
        EXPECT_FALSE(readCandumpLog(in, records, error)) << c.text;
        EXPECT_EQ(error.line, c.line) << c.text;
        EXPECT_NE(error.message.find(c.reason), std::string::npos) << c.text << ": " << error.message;
    }
}

TEST(ConnectionUrl, TheThreeFormsBecomeOpenParams) {
    OpenParams p = toOpenParams(parseConnectionUrl("tcp://192.0.2.10:4001"));
    EXPECT_EQ(p.type, static_cast<std::uint32_t>(QUILVANE_TCP_CLIENT));
    EXPECT_STREQ(p.remoteIp, "192.0.2.10");
    EXPECT_EQ(p.remotePort, 4001);

    const ConnectionUrl listen = parseConnectionUrl("tcp-listen://127.0.0.1:8000");
    EXPECT_EQ(listen.listenAddress, "127.0.0.1");
    p = toOpenParams(listen);
    EXPECT_EQ(p.type, static_cast<std::uint32_t>(QUILVANE_TCP_SERVER));
    EXPECT_EQ(p.localPort, 8000);
    EXPECT_STREQ(p.localIp, "") << "the library listens everywhere; the address is not passed on";

    EXPECT_EQ(toOpenParams(parseConnectionUrl("udp://192.0.2.10:9000")).localPort, 0) << "the system picks";
    p = toOpenParams(parseConnectionUrl("udp://192.0.2.10:9000?local=127.0.0.1:9001"));
    EXPECT_EQ(p.type, static_cast<std::uint32_t>(QUILVANE_UDP));
    EXPECT_STREQ(p.localIp, "127.0.0.1");
    EXPECT_EQ(p.localPort, 9001);
    EXPECT_EQ(parseConnectionUrl("udp://192.0.2.10:9000?local=:9001").localPort, 9001);
}

TEST(ConnectionUrl, RefusesSayingWhy) {
    const struct {
        const char* text;
        const char* reason;
    } cases[] = {
        {"serial:///dev/ttyS0", "expected tcp://ADDRESS:PORT, tcp-listen://"},
        {"tcp://192.0.2.10", "expected ADDRESS:PORT"},
        {"tcp://:4001", "\"\" is not an IPv4 address"},
        {"tcp://192.0.2:4001", "\"192.0.2\" is not an IPv4 address"},
        {"tcp://192.0.2.256:4001", "is not an IPv4 address"},
        {"tcp://192.0.02.1:4001", "is not an IPv4 address"},
        {"tcp://192.0.2.10:65536", "port \"65536\": expected a number from 1 to 65535"},
        {"tcp://192.0.2.10:0", "port \"0\""},
        {"tcp-listen://:0", "cannot tell which port"},
        {"udp://192.0.2.10:9000?bind=1", "expected ?local=ADDRESS:PORT"},
        {"udp://192.0.2.10:9000?local=1.2.3:5", "\"1.2.3\" is not an IPv4 address"},
    };
    for (const auto& c : cases) {
        try {
            parseConnectionUrl(c.text);
            ADD_FAILURE() << c.text << " was accepted";
        } catch (const UsageError& error) {
            EXPECT_NE(error.message.find(c.reason), std::string::npos) << c.text << ": " << error.message;
            EXPECT_NE(error.message.find(c.text), std::string::npos) << "the message quotes the argument";
        }
    }
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
    EXPECT_EQ(deviceJson({}), "[]\n");
}

}  // namespace
