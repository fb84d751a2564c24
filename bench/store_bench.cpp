// Receive frame store: throughput with one producer and one consumer thread,
// beside the bare copying the same frames need; and its memory at the bound.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "buffering/receive_frame_store.h"

namespace {

using quilvane::ReceiveFrameStore;

constexpr std::size_t kBatch = 47;
constexpr std::size_t kPop = 256;
constexpr std::size_t kBatchesPerRound = 4000;  // 188,000 frames, under the bound
constexpr std::size_t kFramesPerRound = kBatch * kBatchesPerRound;

std::vector<CanFrame> makeBatch() {
    std::vector<CanFrame> batch(kBatch);
    for (std::size_t i = 0; i < kBatch; ++i) {
        batch[i].id = static_cast<std::uint32_t>(i);
        batch[i].dataLength = 8;
    }
    return batch;
}

void BM_StorePushPop(benchmark::State& state) {
    ReceiveFrameStore* store = ReceiveFrameStore::instance();
    const std::int32_t handle = 1;
    const std::vector<CanFrame> batch = makeBatch();
    std::vector<CanFrame> out(kPop);
    std::size_t lost = 0;
    for (auto _ : state) {
        std::thread producer([&] {
            for (std::size_t b = 0; b < kBatchesPerRound; ++b)
                store->push(handle, batch);
        });
        std::size_t received = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (received < kFramesPerRound && std::chrono::steady_clock::now() < deadline) {
            received += static_cast<std::size_t>(store->pop(handle, 0, out.data(), kPop));
        }
        producer.join();
        lost += kFramesPerRound - received;
    }
    state.counters["lost"] = static_cast<double>(lost);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kFramesPerRound));
}
BENCHMARK(BM_StorePushPop)->UseRealTime()->Unit(benchmark::kMillisecond);

// The copies any store makes: each frame into the store and out again, on one
// thread, with no locking.
void BM_FrameCopyBaseline(benchmark::State& state) {
    const std::vector<CanFrame> batch = makeBatch();
    std::vector<CanFrame> held(kFramesPerRound);
    std::vector<CanFrame> out(kPop);
    for (auto _ : state) {
        for (std::size_t b = 0; b < kBatchesPerRound; ++b) {
            std::memcpy(held.data() + b * kBatch, batch.data(), kBatch * sizeof(CanFrame));
        }
        for (std::size_t at = 0; at < kFramesPerRound; at += kPop) {
            const std::size_t n = std::min(kPop, kFramesPerRound - at);
            std::memcpy(out.data(), held.data() + at, n * sizeof(CanFrame));
            benchmark::DoNotOptimize(out.data());
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kFramesPerRound));
}
BENCHMARK(BM_FrameCopyBaseline)->UseRealTime()->Unit(benchmark::kMillisecond);

long residentBytes() {
    long size = 0;
    long resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &size, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * sysconf(_SC_PAGESIZE);
}

// Resident memory one queue adds when filled to its bound, against the
// frames' own bytes. Meaningful only as the first thing a process does, so
// scripts/bench.sh runs it alone.
void BM_StoreMemoryAtBound(benchmark::State& state) {
    constexpr std::size_t kBound = ReceiveFrameStore::kMaxFramesPerQueue;
    ReceiveFrameStore* store = ReceiveFrameStore::instance();
    const std::vector<CanFrame> batch = makeBatch();
    store->push(2, {});
    double ratio = 0;
    for (auto _ : state) {
        const long before = residentBytes();
        for (std::size_t pushed = 0; pushed < kBound + kBatch; pushed += kBatch)
            store->push(2, batch);
        const long after = residentBytes();
        ratio = static_cast<double>(after - before) / static_cast<double>(kBound * sizeof(CanFrame));
        state.PauseTiming();
        store->clear(2);
        state.ResumeTiming();
    }
    state.counters["resident_per_frame_bytes"] = ratio;
}
BENCHMARK(BM_StoreMemoryAtBound)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
