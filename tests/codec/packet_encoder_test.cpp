#include "codec/packet_encoder.h"

#include <gtest/gtest.h>

#include <array>

#include "codec/packet_decoder.h"
#include "packet_builder.h"

namespace quilvane {
namespace {

using test::Bytes;

CanFrame frameWith(std::uint32_t id, std::uint8_t dataLength) {
    CanFrame f{};
    f.timestamp = 0x0102030405060708;
    f.id = id;
    f.flags = 0xA55A;
    f.channel = 3;
    f.dataLength = dataLength;
    for (int i = 0; i < 64; ++i)
        f.data[i] = static_cast<std::uint8_t>(i + 1);
    return f;
}

TEST(PacketEncoder, MatchesTheWorkedExample) {
    CanFrame f{};
    f.id = 0x123;
    f.dataLength = 2;
    f.data[0] = 0x11;
    f.data[1] = 0x22;
    std::array<std::uint8_t, 1024> out{};
    ASSERT_EQ(encodePacket(out.data(), f, 80), 87);

    Bytes expected{0x55, 0x01, 0x00, 0x00, 0x00, 0x50, 0,    0, 0, 0, 0,
                   0,    0,    0,    0x00, 0x00, 0x01, 0x23, 0, 0, 0, 2};
    expected.insert(expected.end(), {0x11, 0x22});
    expected.resize(86, 0);
    expected.push_back(0x17);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 87), expected);
    EXPECT_EQ(out[87], 0) << "wrote past the packet";
}

// The encoder's output must be what a hand-built packet of the same record
// is: timestamp zero, dataLength cut to the room, room beyond it zero.
TEST(PacketEncoder, LaysOutRecordsOfBothSizes) {
    struct Case {
        int recordSize;
        std::uint8_t dataLength;
        std::uint8_t sentLength;
    };
    for (const Case c :
         {Case{80, 0, 0}, Case{80, 64, 64}, Case{80, 200, 64}, Case{24, 8, 8}, Case{24, 12, 8}}) {
        SCOPED_TRACE(testing::Message() << c.recordSize << "/" << int{c.dataLength});
        const CanFrame f = frameWith(0xE0000042, c.dataLength);
        Bytes payload = test::record(c.recordSize, 0, 0xE0000042, 0xA55A, 3, c.sentLength);
        for (int i = 0; i < c.sentLength; ++i)
            payload[16 + i] = f.data[i];
        const Bytes expected =
            test::build({.type = c.recordSize == 80 ? std::uint8_t{1} : std::uint8_t{0}, .payload = payload});

        Bytes out(c.recordSize + 8, 0xEE);  // not zeroed, one spare byte
        ASSERT_EQ(encodePacket(out.data(), f, c.recordSize), c.recordSize + 7);
        EXPECT_EQ(Bytes(out.begin(), out.end() - 1), expected);
        EXPECT_EQ(out.back(), 0xEE);
    }
}

TEST(PacketEncoder, RoundTripsThroughTheDecoderWithTheIdCutTo29Bits) {
    const CanFrame f = frameWith(0xFFFFFFFF, 5);
    std::array<std::uint8_t, 87> out{};
    encodePacket(out.data(), f, 80);
    const std::vector<CanFrame> back = decodePackets(out.data(), 87);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].timestamp, 0u);
    EXPECT_EQ(back[0].id, 0x1FFFFFFFu);
    EXPECT_EQ(back[0].flags, f.flags);
    EXPECT_EQ(back[0].channel, f.channel);
    ASSERT_EQ(back[0].dataLength, 5);
    EXPECT_TRUE(std::equal(f.data, f.data + 5, back[0].data));
}

TEST(PacketEncoder, RefusesOtherRecordSizes) {
    std::array<std::uint8_t, 128> out{};
    EXPECT_EQ(encodePacket(out.data(), frameWith(1, 1), 40), 0);
    EXPECT_EQ(out, (std::array<std::uint8_t, 128>{}));
}

}  // namespace
}  // namespace quilvane
