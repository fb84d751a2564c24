#include "buffering/receive_frame_store.h"

#include <gtest/gtest.h>

#include <chrono>

namespace quilvane {
namespace {

using Clock = std::chrono::steady_clock;

CanFrame frame(std::uint8_t channel, std::uint64_t sequence) {
    CanFrame f{};
    f.channel = channel;
    f.timestamp = sequence;
    return f;
}

std::vector<std::uint64_t> popSequences(std::int32_t handle, std::int32_t channel, std::int32_t maxCount) {
    std::vector<CanFrame> out(static_cast<std::size_t>(std::max(maxCount, 1)));
    const std::int32_t n = ReceiveFrameStore::instance()->pop(handle, channel, out.data(), maxCount);
    std::vector<std::uint64_t> seqs;
    for (std::int32_t i = 0; i < n; ++i)
        seqs.push_back(out[i].timestamp);
    return seqs;
}

using Seqs = std::vector<std::uint64_t>;

TEST(ReceiveFrameStore, FilesFramesPerHandleAndChannelInArrivalOrder) {
    auto* store = ReceiveFrameStore::instance();
    store->push(1, {frame(0, 1), frame(1, 2), frame(0, 3), frame(1, 4), frame(0, 5)});
    store->push(2, {frame(0, 6)});

    EXPECT_EQ(popSequences(1, 0, 0), Seqs{});
    EXPECT_EQ(popSequences(1, 1 + 256, 8), (Seqs{2, 4})) << "only the low 8 bits select the channel";
    EXPECT_EQ(popSequences(1, 0, 2), (Seqs{1, 3}));
    EXPECT_EQ(popSequences(1, 0, 8), (Seqs{5}));
    EXPECT_EQ(popSequences(2, 256, 8), (Seqs{6}));
    EXPECT_EQ(popSequences(3, 0, 8), Seqs{}) << "unknown handle";
}

TEST(ReceiveFrameStore, KeepsTheNewestFramesOfAFullQueue) {
    constexpr std::size_t kBound = ReceiveFrameStore::kMaxFramesPerQueue;
    std::vector<CanFrame> batch;
    for (std::uint64_t i = 0; i < kBound + 1; ++i)
        batch.push_back(frame(9, i));
    auto* store = ReceiveFrameStore::instance();
    store->push(1, batch);
    store->push(1, {frame(9, kBound + 1), frame(8, 0)});

    std::vector<CanFrame> out(kBound + 1);
    ASSERT_EQ(store->pop(1, 9, out.data(), static_cast<std::int32_t>(out.size())),
              static_cast<std::int32_t>(kBound));
    EXPECT_EQ(out.front().timestamp, 2u);
    EXPECT_EQ(out[kBound - 1].timestamp, kBound + 1);
    EXPECT_EQ(popSequences(1, 8, 8), Seqs{0}) << "another channel is not trimmed";
}

// An existing empty queue waits about 2 ms; one never filled does not wait.
TEST(ReceiveFrameStore, WaitsBrieflyOnlyOnAnExistingEmptyQueue) {
    auto* store = ReceiveFrameStore::instance();
    store->push(1, {frame(0, 1)});
    store->push(2, {});
    store->clear(1);
    store->clear(5);  // no entry: nothing happens

    CanFrame out[4];
    const auto start = Clock::now();
    EXPECT_EQ(store->pop(1, 0, out, 4), 0) << "clear empties the queue";
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(1));
    EXPECT_LT(waited, std::chrono::seconds(1));

    // Not waiting cannot be timed reliably; at least nothing comes back.
    EXPECT_EQ(store->pop(2, 0, out, 4), 0);
    store->push(1, {frame(0, 7)});
    EXPECT_EQ(popSequences(1, 0, 4), Seqs{7}) << "clear keeps the queue usable";
}

TEST(ReceiveFrameStore, IsGoneAfterDestroy) {
    ReceiveFrameStore::instance()->push(1, {frame(0, 1)});
    ReceiveFrameStore::destroyInstance();
    EXPECT_EQ(ReceiveFrameStore::instance(), nullptr);
}

}  // namespace
}  // namespace quilvane
