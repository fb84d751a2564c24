// The receive store's queues: filing, bounds and order, also with producers
// pushing into several handles and channels while one consumer pops (also
// run under ThreadSanitizer).
#include "buffering/receive_frame_store.h"

#include <gtest/gtest.h>

#include <chrono>
#include <new>
#include <string>
#include <thread>

#include "common/fault_injection.h"
#include "common/log_lines.h"

namespace quilvane {
namespace {

using Seqs = std::vector<std::uint64_t>;
using Frames = std::vector<CanFrame>;
constexpr std::uint64_t kBound = ReceiveFrameStore::kMaxFramesPerQueue;

CanFrame frame(std::uint8_t channel, std::uint64_t sequence) {
    return CanFrame{sequence, 0, 0, channel, 0, {}};
}

// Frames first to first + count - 1 of the channel.
Frames run(std::uint8_t channel, std::uint64_t first, std::uint64_t count) {
    Frames frames;
    for (std::uint64_t i = first; i < first + count; ++i)
        frames.push_back(frame(channel, i));
    return frames;
}

Seqs pop(std::int32_t handle, std::int32_t channel, std::int32_t maxCount) {
    std::vector<CanFrame> out(kBound + 1);
    const std::int32_t n = ReceiveFrameStore::instance()->pop(handle, channel, out.data(), maxCount);
    Seqs seqs;
    for (std::int32_t i = 0; i < n; ++i)
        seqs.push_back(out[i].timestamp);
    return seqs;
}

// Filing per handle and channel in arrival order, and clearing a handle, are
// checked by the fuzz targets through the store. Not there: pops of part of a
// queue, and the channel argument's unused bits.
TEST(ReceiveFrameStore, PopsTakeFromTheFrontOfTheLowEightBitsChannel) {
    ReceiveFrameStore::instance()->push(
        1, Frames{frame(0, 1), frame(1, 2), frame(0, 3), frame(1, 4), frame(0, 5)});
    EXPECT_EQ(pop(1, 0, 0), Seqs{});
    EXPECT_EQ(pop(1, 1 + 256, 8), (Seqs{2, 4}));
    EXPECT_EQ(pop(1, 0, 2), (Seqs{1, 3}));
    EXPECT_EQ(pop(1, 0, 8), Seqs{5});
}

TEST(ReceiveFrameStore, KeepsTheNewestFramesOfAFullQueue) {
    ReceiveFrameStore::instance()->push(1, run(9, 0, kBound + 1));
    ReceiveFrameStore::instance()->push(1, Frames{frame(9, kBound + 1), frame(8, 0)});
    const Seqs got = pop(1, 9, kBound + 1);
    ASSERT_EQ(got.size(), kBound);
    EXPECT_EQ(got.front(), 2u);
    EXPECT_EQ(got.back(), kBound + 1);
    EXPECT_EQ(pop(1, 8, 8), Seqs{0}) << "other queues are not trimmed";
}

// The budget is shared by every handle and channel: a queue that cannot
// grow keeps what it holds and drops the rest as a full queue does, with a
// line when the drops begin and one with their count when they end. Memory
// that runs out drops that push alone.
TEST(ReceiveFrameStore, BudgetAndFailedAllocationsDropWithALine) {
    faults::receiveBudgetFrames = 1000;
    auto* store = ReceiveFrameStore::instance();
    testing::internal::CaptureStderr();
    store->push(1, run(0, 0, 600));    // grows to 1000 frames, the whole budget
    store->push(2, run(1, 0, 600));    // no room: every frame dropped
    store->push(1, run(0, 600, 500));  // the queue drops its oldest within what it has
    const std::string full = testing::internal::GetCapturedStderr();
    EXPECT_EQ(full, std::string(log_lines::kReceiveBudgetFull) + "\n");
    EXPECT_EQ(pop(2, 1, 8), Seqs{});
    const Seqs kept = pop(1, 0, 2000);
    ASSERT_EQ(kept.size(), 1000u);
    EXPECT_EQ(kept.front(), 100u);

    testing::internal::CaptureStderr();
    store->push(1, run(0, 0, 10));
    store->clear(1);
    store->push(2, run(1, 0, 10));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string(log_lines::kReceiveBudgetDropped) + "700\n");
    EXPECT_EQ(pop(2, 1, 20).size(), 10u) << "a cleared handle gave its memory back";

    faults::storeAllocationsToFail = 1;
    EXPECT_THROW(store->push(3, run(0, 0, 5)), std::bad_alloc);
    store->push(3, run(0, 5, 5));
    EXPECT_EQ(pop(3, 0, 20), (Seqs{5, 6, 7, 8, 9}));
}

// Pops queue `q` (handle q / 2, channel q % 2) until frame `last` arrives or
// a minute passes. Returns the numbers seen, which must rise.
Seqs drain(int q, std::uint64_t last) {
    Seqs seen;
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

// Three producers, producer p pushing frames numbered from 0 to each of
// channels 0 and 1 under handle p, in batches that mix the two, while queue
// 0 is read: the five unread queues hold exactly the newest frames, none lost.
TEST(ReceiveFrameStoreThreads, FullQueuesDropTheOldestFrames) {
    constexpr std::uint64_t kCount = kBound + 5000;
    std::vector<std::thread> producers;
    for (int p = 0; p < 3; ++p) {
        producers.emplace_back([p] {
            Frames batch;
            for (std::uint64_t i = 0; i < kCount; ++i) {
                batch.push_back(frame(0, i));
                batch.push_back(frame(1, i));
                if (batch.size() >= 94 || i + 1 == kCount) {
                    ReceiveFrameStore::instance()->push(p, batch);
                    batch.clear();
                }
            }
        });
    }
    const Seqs read = drain(0, kCount - 1);  // read while the others overflow
    EXPECT_TRUE(!read.empty() && read.back() == kCount - 1);
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
