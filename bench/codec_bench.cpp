// Decoder and encoder speed, each beside a memcpy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "codec/packet_decoder.h"
#include "codec/packet_encoder.h"

namespace {

using quilvane::decodePackets;
using quilvane::encodePacket;

constexpr std::size_t kStreamBytes = 1 << 20;
constexpr std::size_t kPacketSize = 87;

CanFrame sampleFrame(std::uint32_t i) {
    CanFrame f{};
    f.id = 0x100 + i;
    f.flags = static_cast<std::uint16_t>(i);
    f.channel = static_cast<std::uint8_t>(i % 4);
    f.dataLength = static_cast<std::uint8_t>(i % 65);
    for (int b = 0; b < 64; ++b)
        f.data[b] = static_cast<std::uint8_t>(i + b);
    return f;
}

// As many whole 87-byte packets as fit in 1 MiB, back to back.
const std::vector<std::uint8_t>& packetStream() {
    static const std::vector<std::uint8_t> stream = [] {
        std::vector<std::uint8_t> s(kStreamBytes / kPacketSize * kPacketSize);
        for (std::size_t at = 0, i = 0; at < s.size(); at += kPacketSize, ++i) {
            encodePacket(s.data() + at, sampleFrame(static_cast<std::uint32_t>(i)), 80);
        }
        return s;
    }();
    return stream;
}

void BM_DecodePackets(benchmark::State& state) {
    const auto& stream = packetStream();
    for (auto _ : state) {
        std::int32_t consumed = 0;
        auto frames = decodePackets(stream.data(), static_cast<std::int32_t>(stream.size()), &consumed);
        benchmark::DoNotOptimize(frames.data());
        benchmark::DoNotOptimize(consumed);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_DecodePackets);

void BM_MemcpyStream(benchmark::State& state) {
    const auto& stream = packetStream();
    std::vector<std::uint8_t> copy(stream.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), stream.data(), stream.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_MemcpyStream);

void BM_EncodePacket(benchmark::State& state) {
    const CanFrame frame = sampleFrame(64);
    std::uint8_t out[1024] = {};
    for (auto _ : state) {
        benchmark::DoNotOptimize(&frame);
        benchmark::DoNotOptimize(encodePacket(out, frame, 80));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodePacket);

void BM_Memcpy87(benchmark::State& state) {
    std::uint8_t packet[kPacketSize] = {};
    encodePacket(packet, sampleFrame(64), 80);
    std::uint8_t out[1024] = {};
    std::uint8_t* target = out;
    for (auto _ : state) {
        benchmark::DoNotOptimize(target);  // the copy must land somewhere visible
        benchmark::DoNotOptimize(packet);
        std::memcpy(target, packet, kPacketSize);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Memcpy87);

}  // namespace

BENCHMARK_MAIN();
