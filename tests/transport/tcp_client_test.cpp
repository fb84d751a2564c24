// TCP client connections, end to end against the simulator playing the
// device, with the log lines they write.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include "library_session.h"

namespace {

std::size_t entriesIn(const char* folder) {
    auto it = std::filesystem::directory_iterator(folder);
    return static_cast<std::size_t>(std::distance(it, std::filesystem::directory_iterator()));
}

TEST(TcpClient, SessionsMakeTheRoundTripThroughAnEchoingDeviceAndLeaveNothingBehind) {
    constexpr int kSessions = 200;
    SimProcess sim({"--tcp-listen", "127.0.0.1:0", "--connections", std::to_string(kSessions), "--echo",
                    "--duration", "120"});
    const std::uint16_t port = sim.readyPort();
    QUILVANE_Init();
    const std::size_t threads = entriesIn("/proc/self/task");
    const std::size_t descriptors = entriesIn("/proc/self/fd");

    std::vector<CanFrame> sent = {makeFrame(0, {0x11, 0x22}), makeFrame(0xFFFFFFFF, {}, 1),
                                  makeFrame(0x18DAF110, std::vector<std::uint8_t>(64, 0xA5), 1)};
    sent[1].flags = 0xBEEF;
    sent[1].timestamp = 99;  // never sent
    for (int session = 0; session < kSessions; ++session) {
        CaptureStdout();
        const int handle = openTcpClient(port);
        ASSERT_EQ(handle, 0);
        sent[0].id = static_cast<std::uint32_t>(session);  // no echo of an earlier session may come
        for (const auto& f : sent)
            EXPECT_EQ(QUILVANE_Send_CAN(handle, &f), 0);
        auto got = receiveFrames(handle, 0, 1);
        const auto channel1 = receiveFrames(handle, 1, 2);
        got.insert(got.end(), channel1.begin(), channel1.end());
        ASSERT_EQ(got.size(), 3u) << "session " << session;
        EXPECT_EQ(fieldsOf(got[0]), fieldsOf(sent[0]));
        EXPECT_EQ(fieldsOf(got[1]), fieldsOf(makeFrame(0x1FFFFFFF, {}, 1, 0xBEEF)))
            << "top three id bits cleared";
        EXPECT_EQ(fieldsOf(got[2]), fieldsOf(sent[2]));
        EXPECT_EQ(got[1].timestamp, 0u);
        ASSERT_EQ(QUILVANE_Close(handle), 0);
        EXPECT_EQ(QUILVANE_Close(handle), -1);

        const std::string out = GetCapturedStdout();
        EXPECT_EQ(countLines(out, "TCP Client connected to 127.0.0.1:" + std::to_string(port)), 1) << out;
        EXPECT_EQ(countLines(out, "connnect client:0"), 1) << "a client that never failed binds nothing";
        for (const char* line : {"TCP Client recv thread started", "TCP Client process thread started",
                                 "TCP Client recv thread stopped", "TCP Client process thread stopped",
                                 "TCP Client disconnected"}) {
            EXPECT_EQ(countLines(out, line), 1) << line;
        }
    }
    EXPECT_EQ(entriesIn("/proc/self/task"), threads);
    EXPECT_EQ(entriesIn("/proc/self/fd"), descriptors);
}

TEST(TcpClient, StreamsCutAnywhereAreReassembled) {
    for (const char* fault : {"cut", "byte-at-a-time"}) {
        SimProcess sim({"--tcp-listen", "127.0.0.1:0", "--generate", "300", "--record", "mixed",
                        "--records-per-packet", "3", "--data-length", "12", "--fault", fault, "--ids",
                        "256-1023"});
        const int handle = openTcpClient(sim.readyPort());
        ASSERT_GE(handle, 0);
        auto frames = receiveFrames(handle, 0, 300);
        ASSERT_EQ(frames.size(), 300u) << fault;
        for (std::uint32_t seq = 0; seq < frames.size(); ++seq) {
            // Odd packets carry FD records; classic records hold at most 8 bytes.
            const bool classic = (seq / 3) % 2 == 0;
            EXPECT_EQ(frames[seq].timestamp, seq);
            EXPECT_EQ(frames[seq].id, 256 + seq % 768);
            EXPECT_EQ(frames[seq].dataLength, classic ? 8 : 12);
            EXPECT_EQ(frames[seq].data[3], static_cast<std::uint8_t>(seq + 3));
        }
        EXPECT_EQ(QUILVANE_Close(handle), 0);
    }
}

TEST(TcpClient, RefusedConnectionMakesThreeAttemptsAndMovesTheLocalPort) {
    const std::uint16_t port = freePort();
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(openTcpClient(port), -1);
    const std::string err = GetCapturedStderr();
    std::string out = GetCapturedStdout();
    EXPECT_EQ(countLines(err, "Connect failed", true), 3) << err;
    EXPECT_EQ(countLines(out, "connnect client:", true), 0);

    CanFrame frame{};
    EXPECT_EQ(QUILVANE_Recv_CAN(0, 0, &frame, 1), -1) << "the failed handle is not open";
    SimProcess sim({"--tcp-listen", "127.0.0.1:0", "--duration", "30"});
    CaptureStdout();
    EXPECT_EQ(openTcpClient(sim.readyPort()), 0) << "its number is handed out again";
    out = GetCapturedStdout();
    EXPECT_EQ(countLines(out, "connnect client:3"), 1) << "three failures moved the local port to 3: " << out;
    EXPECT_EQ(QUILVANE_Close(0), 0) << "returns while the receive thread waits on a silent device";
}

TEST(TcpClient, ConnectTimesOutWhenTheDeviceNeverAnswers) {
    // A listener whose accept queue is full drops further connection requests.
    std::uint16_t port = 0;
    const int listener = tcpListen(port);
    ASSERT_EQ(::listen(listener, 0), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i)
        fillers.push_back(tcpConnect(port, false));

    CaptureStderr();
    EXPECT_EQ(openTcpClient(port), -1);
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(countLines(err, "Connect timeout (3s)"), 3) << err;
    for (int fd : fillers)
        ::close(fd);
    ::close(listener);
}

TEST(TcpClient, DeviceThatClosesOrResetsEndsTheConnectionQuietly) {
    {
        SimProcess sim(
            {"--tcp-listen", "127.0.0.1:0", "--generate", "5", "--fault", "close", "--fault-at", "2"});
        CaptureStdout();
        CaptureStderr();
        const int handle = openTcpClient(sim.readyPort());
        EXPECT_EQ(receiveFrames(handle, 0, 2).size(), 2u);
        EXPECT_EQ(sim.summary()["sent_packets"], 2u);
        EXPECT_EQ(QUILVANE_Close(handle), 0);
        const std::string out = GetCapturedStdout();
        EXPECT_EQ(GetCapturedStderr(), "") << "a plain close is no error";
        EXPECT_EQ(countLines(out, "TCP Client recv thread stopped"), 1);
        EXPECT_EQ(countLines(out, "TCP Client disconnected"), 1);
    }
    {
        SimProcess sim(
            {"--tcp-listen", "127.0.0.1:0", "--generate", "3", "--fault", "reset", "--fault-at", "2"});
        const int handle = openTcpClient(sim.readyPort());
        sim.summary();  // the device is gone
        CaptureStdout();
        CaptureStderr();
        const CanFrame frame = makeFrame(1, {1});
        for (int i = 0; i < 50; ++i) {
            EXPECT_EQ(QUILVANE_Send_CAN(handle, &frame), 0) << "the transport's failure is no result";
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const std::string out = GetCapturedStdout();
        const std::string err = GetCapturedStderr();
        EXPECT_EQ(countLines(err, "Connection lost during send"), 1) << "later sends fail silently: " << err;
        EXPECT_EQ(countLines(out, "TCP Client disconnected"), 1);
        EXPECT_EQ(countLines(err, "Recv error", true), 0) << "a reset is not reported by the reader";
        EXPECT_EQ(QUILVANE_Close(handle), 0);
    }
}

TEST(TcpClient, UndecodableFloodIsDroppedWithAMessageAndDecodingResumes) {
    SimProcess sim({"--tcp-listen", "127.0.0.1:0", "--generate", "20", "--fault", "flood"});
    CaptureStderr();
    const int handle = openTcpClient(sim.readyPort());
    auto summary = sim.summary();
    const auto frames = receiveFrames(handle, 0, summary["sent_frames"], 5);
    EXPECT_EQ(QUILVANE_Close(handle), 0);
    const std::string err = GetCapturedStderr();
    EXPECT_GE(countLines(err, "Client cache overflow, clearing cache"), 1) << err;
    EXPECT_FALSE(frames.empty()) << "frames after the flood still arrive";
}

}  // namespace
