// Connections coming and going under load: nothing leaks, nothing is mixed
// up between handles, and the send queue drains through the transports.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "buffering/send_queue.h"
#include "library_session.h"
#include "transport/chunk_queue.h"

namespace {

std::size_t entriesIn(const char* folder) {
    auto it = std::filesystem::directory_iterator(folder);
    return static_cast<std::size_t>(std::distance(it, std::filesystem::directory_iterator()));
}

TEST(Lifecycle, RepeatedSessionsLeaveNoThreadOrSocketBehind) {
    constexpr int kSessions = 200;
    SimProcess sim({"--tcp-listen", "127.0.0.1:0", "--connections", std::to_string(kSessions), "--echo",
                    "--duration", "120"});
    const std::uint16_t port = sim.readyPort();
    QUILVANE_Init();
    const std::size_t threads = entriesIn("/proc/self/task");
    const std::size_t descriptors = entriesIn("/proc/self/fd");

    CaptureStdout();  // a few lines per session
    for (int i = 0; i < kSessions; ++i) {
        const int handle = openTcpClient(port);
        ASSERT_EQ(handle, 0);
        const CanFrame frame = makeFrame(static_cast<std::uint32_t>(i), {static_cast<std::uint8_t>(i)});
        QUILVANE_Send_CAN(handle, &frame);
        const auto echo = receiveFrames(handle, 0, 1);
        ASSERT_EQ(echo.size(), 1u) << "session " << i;
        EXPECT_EQ(echo[0].id, static_cast<std::uint32_t>(i));
        ASSERT_EQ(QUILVANE_Close(handle), 0);
    }
    GetCapturedStdout();
    EXPECT_EQ(entriesIn("/proc/self/task"), threads);
    EXPECT_EQ(entriesIn("/proc/self/fd"), descriptors);
}

TEST(Lifecycle, TrafficOnSeveralHandlesWhileOthersOpenAndClose) {
    constexpr int kWorkers = 3;
    constexpr int kFrames = 300;
    std::vector<std::unique_ptr<SimProcess>> sims;
    std::vector<int> handles;
    CaptureStdout();
    for (int w = 0; w < kWorkers; ++w) {
        sims.push_back(std::make_unique<SimProcess>(
            std::vector<std::string>{"--tcp-listen", "127.0.0.1:0", "--echo", "--duration", "60"}));
        // Distinct local ports keep the connection keys apart; the client binds nothing.
        handles.push_back(openTcpClient(sims.back()->readyPort(), "", static_cast<std::uint16_t>(w + 1)));
        ASSERT_GE(handles.back(), 0);
    }

    std::atomic<bool> trafficDone{false};
    std::atomic<int> churned{0};
    std::thread churn([&] {
        for (int i = 0; !trafficDone.load() && i < 1000; ++i) {
            auto params =
                openParams(i % 2 ? 4 : QUILVANE_UDP, "127.0.0.1", static_cast<std::uint16_t>(40000 + i % 7));
            const int handle = QUILVANE_Open(&params);
            if (handle >= 0) {
                QUILVANE_Close(handle);
                ++churned;
            }
        }
    });
    std::vector<std::thread> workers;
    std::vector<int> received(kWorkers, 0);
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            const auto channel = static_cast<std::uint8_t>(w);
            for (int i = 0; i < kFrames; ++i) {
                const CanFrame frame = makeFrame(static_cast<std::uint32_t>(i), {channel}, channel);
                QUILVANE_Send_CAN(handles[w], &frame);
            }
            const auto echoes = receiveFrames(handles[w], channel, kFrames, 20);
            received[w] = static_cast<int>(echoes.size());
            for (std::size_t i = 0; i < echoes.size(); ++i) {
                if (echoes[i].id != i || echoes[i].data[0] != channel)
                    received[w] = -1;
            }
        });
    }
    for (auto& t : workers)
        t.join();
    trafficDone = true;
    churn.join();
    for (int handle : handles)
        EXPECT_EQ(QUILVANE_Close(handle), 0);
    GetCapturedStdout();
    for (int w = 0; w < kWorkers; ++w)
        EXPECT_EQ(received[w], kFrames) << "worker " << w;
    EXPECT_GT(churned.load(), 0);
}

TEST(Lifecycle, SendQueueDrainsThroughTheTransportsAndReportsFailures) {
    SimProcess sim({"--tcp-listen", "127.0.0.1:0", "--echo", "--duration", "20"});
    CaptureStdout();
    const int client = openTcpClient(sim.readyPort());
    auto other = openParams(4);
    const int orphan = QUILVANE_Open(&other);
    EXPECT_EQ(QUILVANE_Get_Send_Queue_Size(client), 0u);

    CaptureStderr();
    auto* queue = quilvane::SendQueue::instance();
    for (std::uint32_t id = 1; id <= 25; ++id)
        queue->enqueue(client, makeFrame(id, {1}));
    queue->enqueue(orphan, makeFrame(99, {}));
    const auto echoes = receiveFrames(client, 0, 25);
    ASSERT_EQ(echoes.size(), 25u);
    for (std::uint32_t i = 0; i < 25; ++i)
        EXPECT_EQ(echoes[i].id, i + 1);
    EXPECT_TRUE(eventually([&] { return queue->size(orphan) == 0; }));
    QUILVANE_Close(client);
    QUILVANE_Exit();  // the sender thread ends and is joined
    GetCapturedStdout();
    EXPECT_EQ(GetCapturedStderr(), "Failed to send data for handle: " + std::to_string(orphan) + "\n");
}

TEST(ChunkQueue, DropsBeyondItsBoundAndDrainsBeforeStopping) {
    quilvane::ChunkQueue<int> queue;
    int dropped = 0;
    for (int i = 0; i < 1002; ++i)
        queue.push(int{i}, true, [&] { ++dropped; });
    EXPECT_EQ(dropped, 2);
    std::atomic<bool> running{false};
    int chunk = -1;
    ASSERT_TRUE(queue.waitPop(chunk, running)) << "a queued chunk is handed out after the stop";
    EXPECT_EQ(chunk, 0);
    queue.clear();
    EXPECT_FALSE(queue.waitPop(chunk, running));
}

}  // namespace
