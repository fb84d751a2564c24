#include "codec/packet_decoder.h"

#include <gtest/gtest.h>

#include "packet_builder.h"

namespace quilvane {
namespace {

using test::build;
using test::Bytes;
using test::concat;
using test::fdPacket;
using test::record;

std::vector<std::uint32_t> idsOf(const std::vector<CanFrame>& frames) {
    std::vector<std::uint32_t> ids;
    for (const CanFrame& f : frames)
        ids.push_back(f.id);
    return ids;
}

struct Decoded {
    std::vector<std::uint32_t> ids;
    std::int32_t consumed;
};

Decoded decode(const Bytes& bytes) {
    std::int32_t consumed = 12345;
    const auto frames = decodePackets(bytes.data(), static_cast<std::int32_t>(bytes.size()), &consumed);
    return {idsOf(frames), consumed};
}

TEST(PacketDecoder, ReadsEveryFieldOfBothRecordTypes) {
    const Bytes fd =
        build({.type = 1,
               .payload = concat({record(80, 0x1122334455667788, 0xFF345678, 0xBEEF, 7, 64, {9, 8}),
                                  record(80, 1, 2, 3, 4, 0)})});
    const Bytes classic =
        build({.type = 0, .payload = record(24, 5, 0x7FF, 0x0102, 255, 8, {1, 2, 3, 4, 5, 6, 7, 8})});
    const Bytes stream = concat({fd, classic});
    std::int32_t consumed = 0;
    const auto frames = decodePackets(stream.data(), static_cast<std::int32_t>(stream.size()), &consumed);

    EXPECT_EQ(consumed, -1);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].timestamp, 0x1122334455667788u);
    EXPECT_EQ(frames[0].id, 0x1F345678u);
    EXPECT_EQ(frames[0].flags, 0xBEEF);
    EXPECT_EQ(frames[0].channel, 7);
    EXPECT_EQ(frames[0].dataLength, 64);
    EXPECT_EQ(frames[0].data[1], 8);
    EXPECT_EQ(frames[1].dataLength, 0);
    EXPECT_EQ(frames[1].channel, 4);
    EXPECT_EQ(frames[2].id, 0x7FFu);
    EXPECT_EQ(frames[2].flags, 0x0102);
    EXPECT_EQ(frames[2].channel, 255);
    EXPECT_EQ(frames[2].data[7], 8);
    EXPECT_EQ(frames[2].data[8], 0) << "a classic record has only 8 data bytes";
}

TEST(PacketDecoder, CutsLengthsAndRecordsToWhatThePacketHolds) {
    // dataLength beyond the room, and payloads ending in a partial record.
    const Bytes classic = build({.type = 0, .payload = concat({record(24, 0, 1, 0, 0, 200), Bytes(23, 0)})});
    const Bytes fd = build({.type = 1, .payload = concat({record(80, 0, 2, 0, 0, 65), Bytes(79, 0)})});
    const Bytes stream = concat({classic, fd});
    const auto frames = decodePackets(stream.data(), static_cast<std::int32_t>(stream.size()));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].dataLength, 8);
    EXPECT_EQ(frames[1].dataLength, 64);
}

TEST(PacketDecoder, StopsAtIncompleteAndCorruptPacketsAndSkipsRejectedOnes) {
    const Bytes a = fdPacket(1), b = fdPacket(2);
    const std::int32_t pa = static_cast<std::int32_t>(a.size());
    struct Case {
        const char* name;
        Bytes bytes;
        Decoded expected;
    };
    const Case cases[] = {
        {"whole packets", concat({a, b}), {{1, 2}, -1}},
        {"six bytes", Bytes(a.begin(), a.begin() + 6), {{}, 0}},
        {"length beyond the buffer", concat({a, Bytes(b.begin(), b.end() - 1)}), {{1}, pa}},
        {"bad checksum",
         concat({a, build({.payload = record(80, 0, 9, 0, 0, 0), .corruptChecksum = true}), b}),
         {{1}, pa}},
        {"wrong sync", concat({build({.sync = 0xAA, .payload = record(80, 0, 9, 0, 0, 0)}), a}), {{1}, -1}},
        {"reserved byte set",
         concat({build({.reserved2 = 1, .payload = record(80, 0, 9, 0, 0, 0)}), a}),
         {{1}, -1}},
        {"unknown type", concat({build({.type = 2, .payload = record(80, 0, 9, 0, 0, 0)}), a}), {{1}, -1}},
        {"second reserved byte ignored",
         build({.reserved3 = 7, .payload = record(80, 0, 9, 0, 0, 0)}),
         {{9}, -1}},
        {"empty payload", concat({build({}), a}), {{1}, -1}},
    };
    for (const Case& c : cases) {
        const Decoded got = decode(c.bytes);
        EXPECT_EQ(got.ids, c.expected.ids) << c.name;
        EXPECT_EQ(got.consumed, c.expected.consumed) << c.name;
    }
}

TEST(PacketDecoder, NullBytesGiveNothingAndLeaveConsumedAlone) {
    std::int32_t consumed = 77;
    EXPECT_TRUE(decodePackets(nullptr, 100, &consumed).empty());
    EXPECT_EQ(consumed, 77);
}

}  // namespace
}  // namespace quilvane
