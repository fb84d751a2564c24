// Resident memory of an application that opens a TCP client to a device and
// never reads, while the device sends as fast as it can. Linux only (reads
// /proc/self/status); run by scripts/flood-memory.sh, which plays the device.
//
//   flood_memory PORT [SECONDS]
// Samples VmRSS every 250 ms until it has not grown by more than 1 MiB for
// 5 s, or SECONDS (120) have passed, and prints one line:
//   rss: before KiB, peak KiB, growth KiB, settled|still-growing after S s
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "quilvane_sdk.h"

namespace {

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
        status.ignore(4096, '\n');
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: flood_memory PORT [SECONDS]\n");
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(std::atoi(argv[1]));
    const int limitSeconds = argc > 2 ? std::atoi(argv[2]) : 120;
    using Clock = std::chrono::steady_clock;
    constexpr long kSettleKiB = 1024;
    constexpr auto kSettleTime = std::chrono::seconds(5);

    QUILVANE_Init();
    const long before = residentKiB();
    OpenParams p{};
    p.type = QUILVANE_TCP_CLIENT;
    std::snprintf(p.remoteIp, sizeof p.remoteIp, "127.0.0.1");
    p.remotePort = port;
    const int handle = QUILVANE_Open(&p);
    if (handle < 0) {
        std::fprintf(stderr, "flood_memory: open failed (%d)\n", handle);
        return 1;
    }

    const auto start = Clock::now();
    long peak = before;
    auto lastGrowth = start;
    bool settled = false;
    while (Clock::now() - start < std::chrono::seconds(limitSeconds)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const long now = residentKiB();
        if (now > peak + kSettleKiB) {
            lastGrowth = Clock::now();
        }
        if (now > peak) {
            peak = now;
        }
        if (Clock::now() - lastGrowth >= kSettleTime) {
            settled = true;
            break;
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("rss: before %ld KiB, peak %ld KiB, growth %ld KiB, %s after %.1f s\n", before, peak,
                peak - before, settled ? "settled" : "still-growing", seconds);
    std::fflush(stdout);
    QUILVANE_Close(handle);
    QUILVANE_Exit();
    return settled ? 0 : 1;
}
