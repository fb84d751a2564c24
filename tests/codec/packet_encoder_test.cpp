#include "codec/packet_encoder.h"

#include <gtest/gtest.h>

#include "packet_builder.h"

namespace quilvane {
namespace {

using test::Bytes;
using test::operator+;

TEST(PacketEncoder, MatchesTheWorkedExample) {
    CanFrame f{};
    f.id = 0x123;
    f.dataLength = 2;
    f.data[0] = 0x11;
    f.data[1] = 0x22;
    Bytes out(88, 0);
    ASSERT_EQ(encodePacket(out.data(), f, 80), 87);
    Bytes expected =
        Bytes{0x55, 1, 0, 0, 0, 0x50} + Bytes(8, 0) + Bytes{0, 0, 1, 0x23, 0, 0, 0, 2, 0x11, 0x22};
    expected.resize(86, 0);
    EXPECT_EQ(out, (expected + Bytes{0x17, 0}));
}

// Against hand-built packets: timestamp not sent, id sent whole, dataLength
// cut to the room, the rest of the room zero whatever the buffer held.
TEST(PacketEncoder, FillsRecordsOfBothSizes) {
    CanFrame f{};
    f.timestamp = 0x0102030405060708;
    f.id = 0xE0000042;
    f.flags = 0xA55A;
    f.channel = 3;
    for (int i = 0; i < 64; ++i)
        f.data[i] = std::uint8_t(i + 1);
    struct Case {
        int recordSize;
        std::uint8_t dataLength, sent;
    };
    for (const Case c :
         {Case{80, 0, 0}, Case{80, 64, 64}, Case{80, 200, 64}, Case{24, 5, 5}, Case{24, 12, 8}}) {
        f.dataLength = c.dataLength;
        const Bytes record =
            test::record(c.recordSize, 0, f.id, f.flags, 3, c.sent, Bytes(f.data, f.data + c.sent));
        Bytes out(c.recordSize + 8, 0xEE);
        ASSERT_EQ(encodePacket(out.data(), f, c.recordSize), c.recordSize + 7);
        EXPECT_EQ(out, test::packet({0x55, c.recordSize == 80, 0, 0}, record) + Bytes{0xEE})
            << c.recordSize << "/" << int{c.dataLength};
    }
}

}  // namespace
}  // namespace quilvane
