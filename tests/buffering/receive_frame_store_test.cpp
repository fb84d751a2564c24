#include "buffering/receive_frame_store.h"

#include <gtest/gtest.h>

#include <chrono>

namespace quilvane {
namespace {

using Seqs = std::vector<std::uint64_t>;
using Frames = std::vector<CanFrame>;
constexpr std::size_t kBound = ReceiveFrameStore::kMaxFramesPerQueue;

CanFrame frame(std::uint8_t channel, std::uint64_t sequence) {
    CanFrame f{};
    f.channel = channel;
    f.timestamp = sequence;
    return f;
}

Seqs pop(std::int32_t handle, std::int32_t channel, std::int32_t maxCount) {
    std::vector<CanFrame> out(kBound + 1);
    const std::int32_t n = ReceiveFrameStore::instance()->pop(handle, channel, out.data(), maxCount);
    Seqs seqs;
    for (std::int32_t i = 0; i < n; ++i)
        seqs.push_back(out[i].timestamp);
    return seqs;
}

TEST(ReceiveFrameStore, FilesFramesPerHandleAndChannelInArrivalOrder) {
    auto* store = ReceiveFrameStore::instance();
    store->push(1, Frames{frame(0, 1), frame(1, 2), frame(0, 3), frame(1, 4), frame(0, 5)});
    store->push(2, Frames{frame(0, 6)});
    EXPECT_EQ(pop(1, 0, 0), Seqs{});
    EXPECT_EQ(pop(1, 1 + 256, 8), (Seqs{2, 4})) << "the low 8 bits select the channel";
    EXPECT_EQ(pop(1, 0, 2), (Seqs{1, 3}));
    EXPECT_EQ(pop(1, 0, 8), Seqs{5});
    EXPECT_EQ(pop(2, 0, 8), Seqs{6});
    EXPECT_EQ(pop(3, 0, 8), Seqs{});
}

TEST(ReceiveFrameStore, KeepsTheNewestFramesOfAFullQueue) {
    std::vector<CanFrame> batch;
    for (std::uint64_t i = 0; i < kBound + 1; ++i)
        batch.push_back(frame(9, i));
    auto* store = ReceiveFrameStore::instance();
    store->push(1, batch);
    store->push(1, Frames{frame(9, kBound + 1), frame(8, 0)});
    const Seqs got = pop(1, 9, kBound + 1);
    ASSERT_EQ(got.size(), kBound);
    EXPECT_EQ(got.front(), 2u);
    EXPECT_EQ(got.back(), kBound + 1);
    EXPECT_EQ(pop(1, 8, 8), Seqs{0}) << "other queues are not trimmed";
}

TEST(ReceiveFrameStore, ClearEmptiesQueuesWhichThenWaitBriefly) {
    auto* store = ReceiveFrameStore::instance();
    store->push(1, Frames{frame(0, 1), frame(1, 2)});
    store->clear(1);
    store->clear(5);  // no entry: nothing happens
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(pop(1, 1, 4), Seqs{});
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(1));
    EXPECT_LT(waited, std::chrono::seconds(1));
    store->push(1, Frames{frame(0, 7)});
    EXPECT_EQ(pop(1, 0, 4), Seqs{7});
}

}  // namespace
}  // namespace quilvane
