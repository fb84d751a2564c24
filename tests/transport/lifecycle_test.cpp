// Connections coming and going under load: nothing leaks, nothing is mixed
// up between handles, and the send queue drains through the transports.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "buffering/send_queue.h"
#include "library_session.h"
#include "transport/chunk_queue.h"

namespace {

TEST(Lifecycle, TrafficOnSeveralHandlesWhileOthersOpenAndClose) {
    constexpr std::uint32_t kFrames = 300;
    std::vector<std::unique_ptr<SimProcess>> sims;
    std::vector<int> handles;
    CaptureStdout();
    for (std::uint16_t w = 0; w < 3; ++w) {
        sims.push_back(std::make_unique<SimProcess>(
            std::vector<std::string>{"--tcp-listen", "127.0.0.1:0", "--echo", "--duration", "60"}));
        // Distinct local ports keep the connection keys apart; the client binds nothing.
        handles.push_back(openTcpClient(sims.back()->readyPort(), w + 1));
        ASSERT_GE(handles.back(), 0);
    }
    std::vector<std::thread> workers;
    std::vector<std::uint32_t> received(3, 0);  // echoes in order, on the worker's own handle and channel
    std::atomic<int> running{3};
    for (std::uint8_t w = 0; w < 3; ++w) {
        workers.emplace_back([&, w] {
            for (std::uint32_t i = 0; i < kFrames; ++i) {
                const CanFrame frame = makeFrame(i, {w}, w);
                QUILVANE_Send_CAN(handles[w], &frame);
            }
            for (const CanFrame& echo : receiveFrames(handles[w], w, kFrames, 20))
                received[w] += echo.id == received[w] && echo.data[0] == w;
            --running;
        });
    }
    int churned = 0;
    for (int i = 0; running > 0 && i < 1000; ++i) {
        auto params =
            openParams(i % 2 ? 4 : QUILVANE_UDP, "127.0.0.1", static_cast<std::uint16_t>(40000 + i % 7));
        const int handle = QUILVANE_Open(&params);
        churned += handle >= 0 && QUILVANE_Close(handle) >= -1;
    }
    for (auto& t : workers)
        t.join();
    for (int handle : handles)
        EXPECT_EQ(QUILVANE_Close(handle), 0);
    GetCapturedStdout();
    EXPECT_EQ(received, std::vector<std::uint32_t>(3, kFrames));
    EXPECT_GT(churned, 0);
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
