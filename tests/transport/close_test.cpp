// Closing and exiting while connections are busy in every way a device can
// keep them busy: nobody connected, connected and silent, a peer that never
// reads, a device sending at full speed. A call that hangs fails the program
// at once, since its thread could never be joined.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "open_params.h"
#include "quilvane_sdk.h"
#include "sim_process.h"
#include "test_wire.h"

namespace {

using namespace std::chrono_literals;

void mustReturnWithin2s(const std::string& what, std::future<void>& done) {
    if (done.wait_for(2s) == std::future_status::ready)
        return;
    std::fprintf(stderr, "FAILED: %s did not return within 2 s\n", what.c_str());
    std::fflush(stderr);
    std::_Exit(1);
}

// Runs `call` on a thread of its own and gives its result.
int within2s(const std::string& what, std::function<int()> call) {
    int result = 0;
    std::future<void> done = std::async(std::launch::async, [&] { result = call(); });
    mustReturnWithin2s(what, done);
    return result;
}

int openTcpClient(std::uint16_t port) {
    auto params = openParams(QUILVANE_TCP_CLIENT, "", 0, "127.0.0.1", port);
    return QUILVANE_Open(&params);
}

int openTcpServer(std::uint16_t port) {
    auto params = openParams(QUILVANE_TCP_SERVER, "", port);
    return QUILVANE_Open(&params);
}

// Frames from a device prove it was accepted; then it falls silent.
void announce(int handle, int device, std::uint32_t id) {
    sendBytes(device, buildPacket(1, {{1, 0, id, 0, 0, {0}}}));
    CanFrame frame{};
    for (int tries = 0; tries < 2000 && QUILVANE_Recv_CAN(handle, 0, &frame, 1) == 0; ++tries)
        std::this_thread::sleep_for(2ms);
    EXPECT_EQ(frame.id, id) << "the device was not accepted";
}

TEST(Close, TcpServerThatNoDeviceReached) {
    const int handle = openTcpServer(freePort());
    ASSERT_GE(handle, 0);
    std::this_thread::sleep_for(50ms);  // the accept thread is waiting
    EXPECT_EQ(within2s("closing a server without devices", [&] { return QUILVANE_Close(handle); }), 0);
}

TEST(Close, TcpServerWithTwoSilentDevices) {
    const std::uint16_t port = freePort();
    const int handle = openTcpServer(port);
    ASSERT_GE(handle, 0);
    const int a = tcpConnect(port);
    announce(handle, a, 0xA);
    const int b = tcpConnect(port);
    announce(handle, b, 0xB);
    EXPECT_EQ(within2s("closing a server with silent devices", [&] { return QUILVANE_Close(handle); }), 0);
    EXPECT_TRUE(readToEnd(a).empty()) << "the server closed the device's connection";
    closeSocket(a);
    closeSocket(b);
}

TEST(Close, TcpClientWhoseDeviceIsConnectedAndSilent) {
    std::uint16_t port = 0;
    const int listener = tcpListen(port);
    const int handle = openTcpClient(port);
    ASSERT_GE(handle, 0);
    const int device = tcpAccept(listener);
    std::this_thread::sleep_for(50ms);  // the receive thread is waiting
    EXPECT_EQ(within2s("closing a client with a silent device", [&] { return QUILVANE_Close(handle); }), 0);
    EXPECT_TRUE(readToEnd(device).empty());
    closeSocket(device);
    closeSocket(listener);
}

TEST(Close, TcpClientWhileOneThreadReceivesAndAnotherIsBlockedSending) {
    // The device never reads: sends fill both buffers and then wait.
    std::uint16_t port = 0;
    const int listener = tcpListen(port);
    const int handle = openTcpClient(port);
    ASSERT_GE(handle, 0);
    const int device = tcpAccept(listener);

    std::atomic<long> sends{0};
    std::future<void> sender = std::async(std::launch::async, [&] {
        const CanFrame frame = makeFrame(0x123, std::vector<std::uint8_t>(64, 0x5A));
        while (QUILVANE_Send_CAN(handle, &frame) == 0)
            ++sends;
    });
    std::future<void> receiver = std::async(std::launch::async, [&] {
        CanFrame frames[16];
        while (QUILVANE_Recv_CAN(handle, 0, frames, 16) >= 0) {
        }
    });
    // Blocked: sends come back only at the trickle the full window lets
    // through (bounded, should they never block).
    long before = 0;
    bool blocked = false;
    for (int i = 0; i < 100 && !blocked; ++i) {
        before = sends.load();
        std::this_thread::sleep_for(200ms);
        blocked = sends.load() - before < 50;
    }
    EXPECT_TRUE(blocked) << "the sender never blocked";
    EXPECT_EQ(within2s("closing under a blocked send", [&] { return QUILVANE_Close(handle); }), 0);
    mustReturnWithin2s("the blocked QUILVANE_Send_CAN", sender);
    mustReturnWithin2s("the polling QUILVANE_Recv_CAN", receiver);
    closeSocket(device);
    closeSocket(listener);
}

TEST(Close, TcpClientWhileTheDeviceSendsAtFullSpeed) {
    SimProcess sim({"--tcp-listen", "127.0.0.1:0", "--generate", "100000000", "--duration", "30"});
    const int handle = openTcpClient(sim.readyPort());
    ASSERT_GE(handle, 0);
    CanFrame frames[256];
    int got = 0;
    for (int i = 0; i < 2000 && got < 10000; ++i) {
        const int n = QUILVANE_Recv_CAN(handle, 0, frames, 256);
        got += n > 0 ? n : 0;
        if (n <= 0)
            std::this_thread::sleep_for(1ms);
    }
    EXPECT_GT(got, 0);
    EXPECT_EQ(within2s("closing a client under a flood", [&] { return QUILVANE_Close(handle); }), 0);
}

TEST(Exit, WithOneConnectionOfEachTypeOpen) {
    std::uint16_t port = 0;
    const int listener = tcpListen(port);
    const int client = openTcpClient(port);
    ASSERT_GE(client, 0);
    const int device = tcpAccept(listener);
    const std::uint16_t serverPort = freePort();
    const int server = openTcpServer(serverPort);
    ASSERT_GE(server, 0);
    const int serverDevice = tcpConnect(serverPort);
    announce(server, serverDevice, 0xC);
    auto udp = openParams(QUILVANE_UDP, "127.0.0.1", 0, "127.0.0.1", freePort(true));
    ASSERT_GE(QUILVANE_Open(&udp), 0);
    within2s("QUILVANE_Exit", [] {
        QUILVANE_Exit();
        return 0;
    });
    EXPECT_TRUE(readToEnd(device).empty());
    EXPECT_TRUE(readToEnd(serverDevice).empty());
    for (const int fd : {device, serverDevice, listener})
        closeSocket(fd);
}

}  // namespace
