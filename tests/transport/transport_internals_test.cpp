// The transports' internals that the exports do not show, made to happen
// through the test seams: the UDP endpoint's checks before sending, the
// receive threads' bounded chunk queue, and what the library's threads do
// when the system has no thread or no memory to give them (the connection
// goes on in a lesser way, a line says what was lost, and the application
// lives). (How the UDP endpoint sorts datagrams: search_reply_fuzz; that its
// receive thread hands them over: the Udp transport test and the discovery
// searches.) Linux only: it links quilvane_core.
#include <atomic>
#include <deque>
#include <stdexcept>

#include "buffering/send_queue.h"
#include "common/fault_injection.h"
#include "common/library_thread.h"
#include "common/log_lines.h"
#include "transport/chunk_queue.h"
#include "transport/quilvane_udp.h"
#include "transport_support.h"

using namespace quilvane::log_lines;
using quilvane::faults::storeAllocationsToFail;
using quilvane::faults::threadStartsToFail;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

TEST(Udp, SendNeedsASocketAndATarget) {
    std::uint16_t port = 0;
    const int taken = udpSocket(port);
    CaptureStderr();
    quilvane::QuilvaneUdp unbound;
    EXPECT_FALSE(unbound.initialize("127.0.0.1", port));
    const std::uint8_t byte = 0;
    EXPECT_FALSE(unbound.send(&byte, 1));
    EXPECT_FALSE(unbound.startReceive(false));

    quilvane::QuilvaneUdp untargeted;
    ASSERT_TRUE(untargeted.initialize("", 0));
    EXPECT_FALSE(untargeted.send(&byte, 1));
    EXPECT_TRUE(untargeted.startReceive(true));
    EXPECT_TRUE(untargeted.startReceive(false)) << "a second start changes nothing";
    untargeted.stop();
    EXPECT_FALSE(untargeted.send(&byte, 1));
    EXPECT_EQ(GetCapturedStderr(), kBindFailed + std::string("10048\n") + kSocketNotInitialized + "\n" +
                                       kSocketNotInitialized + "\n" + kTargetNotSet + "\n" +
                                       kSocketNotInitialized + "\n");
    closeSocket(taken);
}

// Many small chunks fit where a few large ones fill the bound.
TEST(ChunkQueue, BoundsTheBytesNotTheChunks) {
    struct Chunk {
        std::vector<std::uint8_t> data;
    };
    using Queue = quilvane::ChunkQueue<Chunk>;
    Queue queue;
    int dropped = 0;
    for (int i = 0; i < 1002; ++i)
        queue.push(Chunk{std::vector<std::uint8_t>(4096 - Queue::kChunkOverhead)}, true, [&] { ++dropped; });
    EXPECT_EQ(dropped, 2);

    std::atomic<bool> running{true};
    std::deque<Chunk> taken;
    ASSERT_TRUE(queue.waitTakeAll(taken, running));
    EXPECT_EQ(taken.size(), 1000u);
    for (int i = 0; i < 20000; ++i)
        queue.push(Chunk{std::vector<std::uint8_t>(87)}, true, [&] { ++dropped; });
    EXPECT_EQ(dropped, 2) << "20,000 one-frame chunks fit";
    running = false;
    ASSERT_TRUE(queue.waitTakeAll(taken, running)) << "what waits is still taken after the stop";
    EXPECT_EQ(taken.size(), 20000u);
    EXPECT_FALSE(queue.waitTakeAll(taken, running));
}

// The next frame the thread files finds no memory and is lost with a line;
// the one after it arrives. `send` makes the device send a packet.
template <class Send>
void losesOneFrameWithoutMemory(int handle, Send&& send) {
    CaptureStderr();
    storeAllocationsToFail = 1;
    send(buildPacket(1, {{1, 0, 1, 0, 0, {0}}}));
    // Frame 2 must come in a read of its own, after frame 1 met the failure.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (storeAllocationsToFail != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    send(buildPacket(1, {{1, 0, 2, 0, 0, {0}}}));
    const auto got = receiveFrames(handle, 0, 1);
    EXPECT_EQ(GetCapturedStderr(), kOutOfMemoryDroppingData + std::string("\n"));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].id, 2u);
}

TEST(ThreadFaults, TcpClientWithoutThreadsFailsThatAttemptAndWithoutMemoryDropsAFrame) {
    QUILVANE_Init();  // its discovery sockets' threads are not the ones meant to fail
    std::uint16_t port = 0;
    const int listener = tcpListen(port);
    CaptureStdout();
    CaptureStderr();
    threadStartsToFail = 1;
    const int handle = openTcpClient(port);
    EXPECT_EQ(countLines(GetCapturedStderr(), kThreadStartFailed, true), 1);
    EXPECT_EQ(countLines(GetCapturedStdout(), kConnectClient + std::string("1")), 1)
        << "the second attempt connects";
    ASSERT_GE(handle, 0);
    closeSocket(tcpAccept(listener));  // the first attempt's connection, closed by the library
    const int device = tcpAccept(listener);

    losesOneFrameWithoutMemory(handle, [&](const auto& packet) { sendBytes(device, packet); });
    EXPECT_EQ(QUILVANE_Close(handle), 0);
    closeSocket(device);
    closeSocket(listener);
}

TEST(ThreadFaults, TcpServerRefusesADeviceItHasNoThreadForAndServesTheOthers) {
    QUILVANE_Init();
    const std::uint16_t port = freePort();
    const int handle = openTcpServer(port);
    ASSERT_GE(handle, 0);
    const int first = connectDevice(handle, port, 1);

    CaptureStderr();
    threadStartsToFail = 1;
    const int refused = tcpConnect(port);
    EXPECT_TRUE(readToEnd(refused).empty()) << "the device without a thread is closed";
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(
        std::tuple(countLines(err, kThreadStartFailed, true), countLines(err, kClientRefusedNoThread, true)),
        std::tuple(1, 1))
        << err;
    closeSocket(refused);

    const int later = connectDevice(handle, port, 3);
    losesOneFrameWithoutMemory(handle, [&](const auto& packet) { sendBytes(first, packet); });
    EXPECT_EQ(QUILVANE_Close(handle), 0);
    closeSocket(first);
    closeSocket(later);

    // A server without its own threads does not listen, but its handle is there to close.
    CaptureStderr();
    threadStartsToFail = 1;
    const int silent = openTcpServer(port);
    EXPECT_EQ(countLines(GetCapturedStderr(), kThreadStartFailed, true), 1);
    ASSERT_GE(silent, 0);
    EXPECT_THROW(tcpConnect(port), std::runtime_error) << "nothing listens";
    EXPECT_EQ(QUILVANE_Close(silent), 0);
}

TEST(ThreadFaults, UdpWithoutMemoryDropsAFrameAndWithoutAThreadStillSends) {
    QUILVANE_Init();
    std::uint16_t devicePort = 0;
    const int device = udpSocket(devicePort);
    const std::uint16_t port = freePort(true);
    auto params = openParams(QUILVANE_UDP, "127.0.0.1", port, "127.0.0.1", devicePort);
    const int handle = QUILVANE_Open(&params);
    ASSERT_GE(handle, 0);
    losesOneFrameWithoutMemory(0, [&](const auto& packet) { sendTo(device, port, packet); });
    EXPECT_EQ(QUILVANE_Close(handle), 0);

    CaptureStderr();
    threadStartsToFail = 1;
    const int deaf = QUILVANE_Open(&params);
    EXPECT_EQ(countLines(GetCapturedStderr(), kThreadStartFailed, true), 1);
    ASSERT_GE(deaf, 0);
    const CanFrame frame = makeFrame(0x55, {1});
    EXPECT_EQ(QUILVANE_Send_CAN(deaf, &frame), 0);
    EXPECT_EQ(splitPackets(receiveDatagram(device)).at(0).frames.at(0).id, 0x55u);
    EXPECT_EQ(QUILVANE_Close(deaf), 0);
    closeSocket(device);
}

TEST(ThreadFaults, SenderWithoutAThreadAndAnEscapedExceptionEachLeaveALine) {
    CaptureStderr();
    threadStartsToFail = 1;
    { quilvane::SendQueue queue; }
    quilvane::startThread([] { throw std::runtime_error("lost its device"); }).join();
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(countLines(err, kThreadStartFailed, true), 1) << err;
    EXPECT_EQ(countLines(err, kThreadEndedByError + std::string("lost its device")), 1) << err;
}

}  // namespace
