// Closing and exiting while connections are busy in every way a device can
// keep them busy: nobody connected, connected and silent, a peer that never
// reads, a device sending at full speed, a device that never answers the
// connect. A call that hangs fails the program at once, since its thread
// could never be joined.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>

#include "sim_process.h"
#include "transport_support.h"

namespace {

using namespace std::chrono_literals;

void mustReturnWithin2s(const std::string& what, std::future<void>& done) {
    if (done.wait_for(2s) == std::future_status::ready)
        return;
    std::fprintf(stderr, "FAILED: %s did not return within 2 s\n", what.c_str());
    std::fflush(stderr);
    std::_Exit(1);
}

// The close of `handle` (or with -1 QUILVANE_Exit) on a thread of its own; its result.
int within2s(const std::string& what, int handle) {
    int result = 0;
    std::future<void> done = std::async(std::launch::async, [&] {
        if (handle < 0)
            QUILVANE_Exit();
        else
            result = QUILVANE_Close(handle);
    });
    mustReturnWithin2s(what, done);
    return result;
}

TEST(Close, TcpServerWithNoDeviceOrTwoSilentDevices) {
    for (const std::uint32_t devices : {0u, 2u}) {
        const std::uint16_t port = freePort();
        const int handle = openTcpServer(port);
        ASSERT_GE(handle, 0);
        std::vector<int> fds;
        for (std::uint32_t id = 0; id < devices; ++id)
            fds.push_back(connectDevice(handle, port, 0xA + id));
        std::this_thread::sleep_for(50ms);  // the accept thread is waiting
        EXPECT_EQ(within2s("closing a server with " + std::to_string(devices) + " devices", handle), 0);
        for (const int fd : fds) {
            EXPECT_TRUE(readToEnd(fd).empty()) << "the server closed the device's connection";
            closeSocket(fd);
        }
    }
}

TEST(Close, TcpClientWhoseDeviceIsConnectedAndSilent) {
    ClientAndDevice c;
    ASSERT_GE(c.handle, 0);
    std::this_thread::sleep_for(50ms);  // the receive thread is waiting
    EXPECT_EQ(within2s("closing a client with a silent device", c.handle), 0);
    EXPECT_TRUE(readToEnd(c.device).empty());
}

TEST(Close, TcpClientWhileOneThreadReceivesAndAnotherIsBlockedSending) {
    // The device never reads: sends fill both buffers and then wait.
    ClientAndDevice c;
    const int handle = c.handle;
    ASSERT_GE(handle, 0);

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
    EXPECT_EQ(within2s("closing under a blocked send", handle), 0);
    mustReturnWithin2s("the blocked QUILVANE_Send_CAN", sender);
    mustReturnWithin2s("the polling QUILVANE_Recv_CAN", receiver);
}

TEST(Close, TcpClientWhileTheDeviceSendsAtFullSpeed) {
    SimProcess sim({"--tcp-listen", "127.0.0.1:0", "--generate", "100000000", "--duration", "30"});
    const int handle = openTcpClient(sim.readyPort());
    ASSERT_GE(handle, 0);
    EXPECT_GT(receiveFrames(handle, 0, 10000, 4).size(), 0u);
    EXPECT_EQ(within2s("closing a client under a flood", handle), 0);
}

TEST(Exit, WithOneConnectionOfEachTypeOpen) {
    ClientAndDevice client;
    ASSERT_GE(client.handle, 0);
    const std::uint16_t serverPort = freePort();
    const int server = openTcpServer(serverPort);
    ASSERT_GE(server, 0);
    const int serverDevice = connectDevice(server, serverPort, 0xC);
    auto udp = openParams(QUILVANE_UDP, "127.0.0.1", 0, "127.0.0.1", freePort(true));
    ASSERT_GE(QUILVANE_Open(&udp), 0);
    within2s("QUILVANE_Exit", -1);
    EXPECT_TRUE(readToEnd(client.device).empty());
    EXPECT_TRUE(readToEnd(serverDevice).empty());
    closeSocket(serverDevice);
}

// A TCP client open making its attempts on a thread of its own, to a
// listener whose queue is full: that drops further connection requests, so
// each attempt waits as for a device that does not answer (three of 3 s).
struct AttemptingClient {
    explicit AttemptingClient(int expectedHandle) {
        opening = std::async(std::launch::async, [this] { handle = QUILVANE_Open(&params); });
        // Its handle is taken at once: a read of it answers 0, not -1.
        CanFrame frame;
        for (int i = 0; i < 2000 && QUILVANE_Recv_CAN(expectedHandle, 0, &frame, 1) != 0; ++i)
            std::this_thread::sleep_for(1ms);
    }
    ~AttemptingClient() {
        for (const int fd : fillers)
            closeSocket(fd);
        closeSocket(listener);
    }
    bool attempting() const { return opening.wait_for(0s) == std::future_status::timeout; }

    std::uint16_t port = 0;
    int listener = tcpListen(port, 0);
    int fillers[2] = {tcpConnect(port, false), tcpConnect(port, false)};
    OpenParams params = openParams(QUILVANE_TCP_CLIENT, "", 2, "127.0.0.1", port);
    std::atomic<int> handle{-2};
    std::future<void> opening;
};

// Meanwhile its key is taken and every other call goes on without waiting
// for it: had one waited, the attempts would be over by the end.
TEST(Close, TcpClientStillMakingItsAttemptsHoldsUpNoOtherCallAndACloseEndsThem) {
    SimProcess live({"--tcp-listen", "127.0.0.1:0", "--connections", "100", "--echo", "--duration", "60"});
    ASSERT_EQ(openTcpClient(live.readyPort()), 0);
    AttemptingClient client(1);
    ASSERT_TRUE(client.attempting());
    EXPECT_EQ(QUILVANE_Open(&client.params), -1) << "the key is taken while the attempts run";
    for (std::uint32_t id = 0; id < 200; ++id) {
        const CanFrame f = makeFrame(id, {0});
        ASSERT_EQ(QUILVANE_Send_CAN(0, &f), 0);
        const auto echo = receiveFrames(0, 0, 1);
        ASSERT_TRUE(echo.size() == 1 && echo[0].id == id) << id;
    }
    // Another local port, so another key.
    const OpenParams other = openParams(QUILVANE_TCP_CLIENT, "", 3, "127.0.0.1", live.readyPort());
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(QUILVANE_Open(&other), 2) << "the attempting client's number is not handed out";
        ASSERT_EQ(QUILVANE_Close(2), 0);
    }
    EXPECT_TRUE(client.attempting()) << "the attempts ended early, or a call waited for them";
    EXPECT_EQ(within2s("closing a client making its attempts", 1), 0);
    mustReturnWithin2s("the QUILVANE_Open making its attempts", client.opening);
    EXPECT_EQ(client.handle, -1);
}

TEST(Exit, WhileATcpClientIsStillMakingItsAttempts) {
    QUILVANE_Init();
    AttemptingClient client(0);
    ASSERT_TRUE(client.attempting()) << "the attempt did not wait";
    within2s("QUILVANE_Exit", -1);
    mustReturnWithin2s("the QUILVANE_Open making its attempts", client.opening);
    EXPECT_EQ(client.handle, -1);
}

}  // namespace
