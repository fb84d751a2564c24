#include "codec/packet_decoder.h"

#include <gtest/gtest.h>

#include "packet_builder.h"

namespace quilvane {
namespace {

using test::Bytes;
using test::operator+;
using test::fdPacket;
using test::packet;
using test::record;

TEST(PacketDecoder, ReadsRecordsOfBothTypes) {
    const Bytes stream =
        packet({0x55, 1, 0, 0}, record(80, 0x1122334455667788, 0xFF345678, 0xBEEF, 7, 64, {9}) +
                                    record(80, 1, 2, 3, 4, 65) + Bytes(79, 0)) +
        packet({0x55, 0, 0, 0}, record(24, 5, 6, 7, 255, 200, Bytes(8, 1)));
    std::int32_t consumed = 0;
    const auto frames = decodePackets(stream.data(), std::int32_t(stream.size()), &consumed);
    EXPECT_EQ(consumed, -1);
    ASSERT_EQ(frames.size(), 3u) << "a trailing partial record is dropped";
    const CanFrame& f = frames[0];
    EXPECT_EQ(f.timestamp, 0x1122334455667788u);
    EXPECT_EQ(f.id, 0x1F345678u) << "top three id bits cleared";
    EXPECT_EQ(f.flags, 0xBEEF);
    EXPECT_EQ(f.channel, 7);
    EXPECT_EQ(f.data[0], 9);
    EXPECT_EQ(frames[1].dataLength, 64) << "cut to the room";
    EXPECT_EQ(frames[2].dataLength, 8);
    EXPECT_EQ(frames[2].channel, 255);
    EXPECT_EQ(frames[2].data[8], 0) << "a classic record has 8 data bytes";
}

TEST(PacketDecoder, StopsAtIncompleteOrCorruptPacketsAndSkipsRejectedOnes) {
    const Bytes a = fdPacket(1), b = fdPacket(2), other = record(80, 0, 9, 0, 0, 0);
    const std::int32_t afterA = std::int32_t(a.size());
    struct Case {
        Bytes bytes;
        std::vector<std::uint32_t> ids;
        std::int32_t consumed;
    };
    const Case cases[] = {
        {a + b, {1, 2}, -1},
        {Bytes(a.begin(), a.begin() + 6), {}, 0},
        {a + Bytes(b.begin(), b.end() - 1), {1}, afterA},
        {a + packet({0x55, 1, 0, 0}, other, true) + b, {1}, afterA},
        {a + b + packet({0x55, 1, 0, 0}, other, true) + a, {1, 2}, 2 * afterA},
        {packet({0xAA, 1, 0, 0}, other) + a, {1}, -1},  // wrong sync
        {packet({0x55, 1, 1, 0}, other) + a, {1}, -1},  // reserved byte set
        {packet({0x55, 2, 0, 0}, other) + a, {1}, -1},  // unknown type
        {packet({0x55, 1, 0, 7}, other), {9}, -1},      // the second reserved byte is not examined
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        std::int32_t consumed = 12345;
        std::vector<std::uint32_t> ids;
        for (const CanFrame& f :
             decodePackets(cases[i].bytes.data(), std::int32_t(cases[i].bytes.size()), &consumed))
            ids.push_back(f.id);
        EXPECT_EQ(ids, cases[i].ids) << "case " << i;
        EXPECT_EQ(consumed, cases[i].consumed) << "case " << i;
    }
    std::int32_t consumed = 77;
    EXPECT_TRUE(decodePackets(nullptr, 100, &consumed).empty());
    EXPECT_EQ(consumed, 77);
}

}  // namespace
}  // namespace quilvane
