// The library's TCP client path on loopback, each beside a plain socket doing
// the same I/O: sending, receiving a stream from the simulator, and the round
// trip of one frame echoed by the simulator.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <thread>
#include <vector>

#include "codec/packet_decoder.h"
#include "codec/packet_encoder.h"
#include "open_params.h"
#include "quilvane_sdk.h"
#include "sim_process.h"
#include "test_wire.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPacketSize = 87;

// Reads and discards everything one client sends, until it closes.
class Sink {
  public:
    Sink() : listener_(tcpListen(port_)) {
        thread_ = std::thread([this] {
            const int fd = tcpAccept(listener_);
            char buffer[65536];
            while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
            }
            ::close(fd);
        });
    }
    ~Sink() {
        thread_.join();
        ::close(listener_);
    }
    std::uint16_t port() const { return port_; }

  private:
    std::uint16_t port_ = 0;
    int listener_;
    std::thread thread_;
};

int openClient(std::uint16_t port) {
    auto params = openParams(QUILVANE_TCP_CLIENT, "", 0, "127.0.0.1", port);
    return QUILVANE_Open(&params);
}

// A plain client socket set up as the library sets up its own.
int rawClient(std::uint16_t port) {
    const int fd = tcpConnect(port);
    const int one = 1, sendBuffer = 512;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    return fd;
}

CanFrame benchFrame() {
    CanFrame f{};
    f.id = 0x123;
    f.dataLength = 8;
    return f;
}

void BM_SendCan(benchmark::State& state) {
    Sink sink;
    const int handle = openClient(sink.port());
    const CanFrame frame = benchFrame();
    for (auto _ : state)
        QUILVANE_Send_CAN(handle, &frame);
    state.SetItemsProcessed(state.iterations());
    QUILVANE_Close(handle);
}

void BM_RawSend(benchmark::State& state) {
    Sink sink;
    const int fd = rawClient(sink.port());
    std::uint8_t packet[1024] = {};
    quilvane::encodePacket(packet, benchFrame(), 80);
    for (auto _ : state)
        ::send(fd, packet, kPacketSize, MSG_NOSIGNAL);
    state.SetItemsProcessed(state.iterations());
    ::close(fd);
}

// One stream of kStreamFrames frames from the simulator per iteration, timed
// from the connection to the last frame; a lost frame fails the run.
constexpr int kStreamFrames = 200000;

SimProcess streamingSim() {
    return SimProcess({"--tcp-listen", "127.0.0.1:0", "--generate", std::to_string(kStreamFrames), "--rate",
                       "0", "--data-length", "8", "--duration", "60"});
}

void BM_ReceiveStream(benchmark::State& state) {
    std::vector<CanFrame> buffer(4096);
    for (auto _ : state) {
        SimProcess sim = streamingSim();
        const auto start = Clock::now();
        const int handle = openClient(sim.readyPort());
        int received = 0;
        const auto deadline = start + std::chrono::seconds(30);
        while (received < kStreamFrames && Clock::now() < deadline) {
            const int n = QUILVANE_Recv_CAN(handle, 0, buffer.data(), static_cast<int>(buffer.size()));
            if (n > 0)
                received += n;
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        QUILVANE_Close(handle);
        if (received != kStreamFrames || sim.summary()["sent_frames"] != kStreamFrames) {
            state.SkipWithError("frames were lost");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kStreamFrames);
}

void BM_RawReceiveDecode(benchmark::State& state) {
    for (auto _ : state) {
        SimProcess sim = streamingSim();
        const auto start = Clock::now();
        const int fd = rawClient(sim.readyPort());
        std::vector<std::uint8_t> cache;
        std::uint8_t chunk[4096];
        std::size_t received = 0;
        while (received < kStreamFrames) {
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                break;
            cache.insert(cache.end(), chunk, chunk + n);
            std::int32_t consumed = -1;
            received +=
                quilvane::decodePackets(cache.data(), static_cast<std::int32_t>(cache.size()), &consumed)
                    .size();
            cache.erase(cache.begin(), consumed < 0 ? cache.end() : cache.begin() + consumed);
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        ::close(fd);
        if (received != kStreamFrames) {
            state.SkipWithError("frames were lost");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kStreamFrames);
}

// Round trips through an echoing simulator; median and 99th percentile in
// microseconds as counters.
void reportRoundTrips(benchmark::State& state, std::vector<double>& micros) {
    std::sort(micros.begin(), micros.end());
    if (micros.empty())
        return;
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
}

void BM_RoundTrip(benchmark::State& state) {
    SimProcess sim({"--tcp-listen", "127.0.0.1:0", "--echo", "--duration", "120"});
    const int handle = openClient(sim.readyPort());
    const CanFrame frame = benchFrame();
    CanFrame echo;
    std::vector<double> micros;
    for (auto _ : state) {
        const auto start = Clock::now();
        QUILVANE_Send_CAN(handle, &frame);
        while (QUILVANE_Recv_CAN(handle, 0, &echo, 1) != 1) {
        }
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    reportRoundTrips(state, micros);
    QUILVANE_Close(handle);
}

void BM_RawRoundTrip(benchmark::State& state) {
    SimProcess sim({"--tcp-listen", "127.0.0.1:0", "--echo", "--duration", "120"});
    const int fd = rawClient(sim.readyPort());
    std::uint8_t packet[1024] = {};
    quilvane::encodePacket(packet, benchFrame(), 80);
    std::vector<std::uint8_t> echo;
    std::vector<double> micros;
    for (auto _ : state) {
        const auto start = Clock::now();
        ::send(fd, packet, kPacketSize, MSG_NOSIGNAL);
        echo.clear();
        readExactly(fd, echo, kPacketSize);
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    reportRoundTrips(state, micros);
    ::close(fd);
}

// Bounded runs: each stops by itself.
BENCHMARK(BM_SendCan)->MinTime(2.0);
BENCHMARK(BM_RawSend)->MinTime(2.0);
BENCHMARK(BM_ReceiveStream)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawReceiveDecode)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RoundTrip)->Iterations(20000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawRoundTrip)->Iterations(20000)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // The library's progress lines go to standard output; the report goes to
    // standard error (and to --benchmark_out) so that they do not mix.
    benchmark::ConsoleReporter console;
    console.SetOutputStream(&std::cerr);
    console.SetErrorStream(&std::cerr);
    QUILVANE_Init();
    benchmark::RunSpecifiedBenchmarks(&console);
    benchmark::Shutdown();
    return 0;
}
