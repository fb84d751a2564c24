// Producers pushing into several handles and channels while one consumer
// pops; also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "buffering/receive_frame_store.h"

namespace quilvane {
namespace {

constexpr std::uint64_t kBound = ReceiveFrameStore::kMaxFramesPerQueue;

// Three producers, producer p pushing `count` frames numbered from 0 to each
// of channels 0 and 1 under handle p, in batches that mix the two.
std::vector<std::thread> startProducers(std::uint64_t count) {
    std::vector<std::thread> producers;
    for (int p = 0; p < 3; ++p) {
        producers.emplace_back([p, count] {
            std::vector<CanFrame> batch;
            for (std::uint64_t i = 0; i < count; ++i) {
                batch.push_back(CanFrame{i, 0, 0, 0, 0, {}});
                batch.push_back(CanFrame{i, 0, 0, 1, 0, {}});
                if (batch.size() >= 94 || i + 1 == count) {
                    ReceiveFrameStore::instance()->push(p, batch);
                    batch.clear();
                }
            }
        });
    }
    return producers;
}

// Pops queue `q` (handle q / 2, channel q % 2) until frame `last` arrives or
// a minute passes. Returns the numbers seen, which must rise.
std::vector<std::uint64_t> drain(int q, std::uint64_t last) {
    std::vector<std::uint64_t> seen;
    CanFrame out[256];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while ((seen.empty() || seen.back() != last) && std::chrono::steady_clock::now() < deadline) {
        const std::int32_t n = ReceiveFrameStore::instance()->pop(q / 2, q % 2, out, 256);
        for (std::int32_t i = 0; i < n; ++i) {
            EXPECT_TRUE(seen.empty() || out[i].timestamp > seen.back()) << "queue " << q;
            seen.push_back(out[i].timestamp);
        }
    }
    return seen;
}

TEST(ReceiveFrameStoreThreads, ConsumerGetsEveryFrameBelowTheBound) {
    auto producers = startProducers(20000);
    for (int q = 0; q < 6; ++q)
        EXPECT_EQ(drain(q, 19999).size(), 20000u) << "queue " << q;
    for (std::thread& t : producers)
        t.join();
}

TEST(ReceiveFrameStoreThreads, FullQueuesDropTheOldestFrames) {
    constexpr std::uint64_t kCount = kBound + 5000;
    auto producers = startProducers(kCount);
    const auto read = drain(0, kCount - 1);  // read while the others overflow
    ASSERT_FALSE(read.empty());
    EXPECT_EQ(read.back(), kCount - 1);
    for (std::thread& t : producers)
        t.join();
    for (int q = 1; q < 6; ++q) {
        const auto seen = drain(q, kCount - 1);
        ASSERT_EQ(seen.size(), kBound) << "queue " << q;
        EXPECT_EQ(seen.front(), kCount - kBound) << "queue " << q;
    }
}

}  // namespace
}  // namespace quilvane
