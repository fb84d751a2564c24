// Producers pushing into several handles and channels while one consumer
// pops; run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "buffering/receive_frame_store.h"

namespace quilvane {
namespace {

constexpr int kProducers = 3;
constexpr std::uint8_t kChannels = 2;

// Producer p pushes `count` frames per channel under handle p, in batches of
// mixed channels, numbering each channel's frames from 0.
void produce(int p, std::uint64_t count) {
    std::vector<CanFrame> batch;
    for (std::uint64_t i = 0; i < count; ++i) {
        for (std::uint8_t c = 0; c < kChannels; ++c) {
            CanFrame f{};
            f.channel = c;
            f.timestamp = i;
            batch.push_back(f);
        }
        if (batch.size() >= 94 || i + 1 == count) {
            ReceiveFrameStore::instance()->push(p, batch);
            batch.clear();
        }
    }
}

TEST(ReceiveFrameStoreThreads, ConsumerGetsEveryFrameInOrderBelowTheBound) {
    constexpr std::uint64_t kPerQueue = 20000;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back(produce, p, kPerQueue);

    std::uint64_t next[kProducers][kChannels] = {};
    std::uint64_t received = 0;
    bool inOrder = true;
    std::vector<CanFrame> out(256);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (received < kProducers * kChannels * kPerQueue && std::chrono::steady_clock::now() < deadline) {
        for (int p = 0; p < kProducers; ++p) {
            for (std::uint8_t c = 0; c < kChannels; ++c) {
                const std::int32_t n = ReceiveFrameStore::instance()->pop(p, c, out.data(), 256);
                for (std::int32_t i = 0; i < n; ++i)
                    inOrder &= out[i].timestamp == next[p][c]++;
                received += static_cast<std::uint64_t>(n);
            }
        }
    }
    for (std::thread& t : producers)
        t.join();
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(received, kProducers * kChannels * kPerQueue);
}

TEST(ReceiveFrameStoreThreads, FullQueuesKeepTheNewestFrames) {
    constexpr std::uint64_t kBound = ReceiveFrameStore::kMaxFramesPerQueue;
    constexpr std::uint64_t kPerQueue = kBound + 5000;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back(produce, p, kPerQueue);
    // The consumer reads one queue meanwhile; the others fill past the bound.
    std::uint64_t next = 0;
    bool inOrder = true;
    std::vector<CanFrame> out(256);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (next < kPerQueue && std::chrono::steady_clock::now() < deadline) {
        const std::int32_t n = ReceiveFrameStore::instance()->pop(0, 0, out.data(), 256);
        for (std::int32_t i = 0; i < n; ++i) {
            inOrder &= out[i].timestamp >= next;
            next = out[i].timestamp + 1;
        }
    }
    for (std::thread& t : producers)
        t.join();
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(next, kPerQueue) << "the last frame pushed arrives";

    std::vector<CanFrame> all(kBound + 1);
    for (int p = 0; p < kProducers; ++p) {
        for (std::uint8_t c = p == 0 ? 1 : 0; c < kChannels; ++c) {
            ASSERT_EQ(ReceiveFrameStore::instance()->pop(p, c, all.data(), kBound + 1),
                      static_cast<std::int32_t>(kBound));
            EXPECT_EQ(all.front().timestamp, kPerQueue - kBound);
            EXPECT_EQ(all[kBound - 1].timestamp, kPerQueue - 1);
        }
    }
}

}  // namespace
}  // namespace quilvane
