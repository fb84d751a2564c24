// TCP server connections: several devices on one handle, each with a stream
// of its own, against plain sockets playing the devices.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "library_session.h"

namespace {

WireFrame wireFrame(std::uint32_t id, std::uint8_t byte) {
    WireFrame f;
    f.id = id;
    f.data = {byte};
    return f;
}

// A device that has been accepted: one of its frames reached the handle.
int connectDevice(int handle, std::uint16_t port, std::uint32_t id) {
    const int fd = tcpConnect(port);
    const auto packet = buildPacket(1, {wireFrame(id, 0)});
    EXPECT_EQ(::send(fd, packet.data(), packet.size(), 0), static_cast<ssize_t>(packet.size()));
    const auto got = receiveFrames(handle, 0, 1);
    EXPECT_TRUE(got.size() == 1 && got[0].id == id) << id;
    return fd;
}

TEST(TcpServer, DevicesShareOneHandleEachStreamOnItsOwnAndOneThatResetsIsDropped) {
    const std::uint16_t port = freePort();
    auto params = openParams(QUILVANE_TCP_SERVER, "", port);
    const int handle = QUILVANE_Open(&params);
    ASSERT_EQ(handle, 0);
    CaptureStdout();
    CaptureStderr();
    const int a = connectDevice(handle, port, 0xA);
    const int b = connectDevice(handle, port, 0xB);
    const int leaving = connectDevice(handle, port, 0xC);

    // A's packet arrives in two pieces with one of B's packets in between.
    const auto fromA = buildPacket(1, {wireFrame(0xA1, 1)});
    const auto fromB = buildPacket(0, {wireFrame(0xB1, 2), wireFrame(0xB2, 3)});
    ::send(a, fromA.data(), 40, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::send(b, fromB.data(), fromB.size(), 0);
    const auto first = receiveFrames(handle, 0, 2);
    ::send(a, fromA.data() + 40, fromA.size() - 40, 0);
    const auto second = receiveFrames(handle, 0, 1);
    ASSERT_EQ(first.size(), 2u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(first[0].id, 0xB1u);
    EXPECT_EQ(first[1].id, 0xB2u);
    EXPECT_EQ(second[0].id, 0xA1u);

    linger hard{1, 0};
    ::setsockopt(leaving, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(leaving);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the reset reaches the server
    // One send reaches every device left, byte for byte the same.
    const CanFrame frame = makeFrame(0x321, {9, 8, 7});
    EXPECT_EQ(QUILVANE_Send_CAN(handle, &frame), 0);
    std::vector<std::uint8_t> atA, atB;
    readExactly(a, atA, 87);
    readExactly(b, atB, 87);
    EXPECT_EQ(atA, atB);
    const auto packets = splitPackets(atA);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_TRUE(packets[0].checksumOk);
    EXPECT_EQ(packets[0].frames.at(0).id, 0x321u);
    EXPECT_EQ(countLines(GetCapturedStdout(), "Client disconnected: ", true), 1);
    EXPECT_EQ(GetCapturedStderr(), "") << "a device's reset is not an error";

    // Stopping closes every device and says so last.
    CaptureStdout();
    EXPECT_EQ(QUILVANE_Close(handle), 0);
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(countLines(out, "Client disconnected: ", true), 2) << out;
    EXPECT_EQ(countLines(out, "Accept thread stopped"), 1);
    EXPECT_EQ(countLines(out, "Process thread stopped"), 1);
    EXPECT_EQ(out.substr(out.rfind('\n', out.size() - 2) + 1), "TCP Server stopped\n");
    for (const int fd : {a, b}) {
        EXPECT_TRUE(readToEnd(fd).empty());
        ::close(fd);
    }
}

TEST(TcpServer, PortInUseStillGivesAHandleThatSendsNowhere) {
    std::uint16_t port = 0;
    const int taken = tcpListen(port);
    CaptureStderr();
    auto params = openParams(QUILVANE_TCP_SERVER, "", port);
    const int handle = QUILVANE_Open(&params);
    EXPECT_EQ(GetCapturedStderr(), "Bind failed: 10048\n");
    ASSERT_GE(handle, 0);
    const CanFrame frame = makeFrame(1, {});
    EXPECT_EQ(QUILVANE_Send_CAN(handle, &frame), 0);
    EXPECT_EQ(QUILVANE_Close(handle), 0);
    ::close(taken);
}

}  // namespace
