// How much one TCP server handle of the library holds, through the public
// exports only, on Linux and as a Windows program (run under wine by
// scripts/rack-capacity.sh, which plays the devices with quilvane-sim).
//
//   rack_capacity devices PORT SECONDS [EXPECTED]
// Devices connect in echo mode. In rounds the program clears the handle,
// sends one frame (to every connected device) and counts that frame's
// echoes on channel 0 until none came for a second: echoes are devices
// served. A send holds the server's list of devices, which new devices wait
// for, so the next round waits twice as long as the send took (at least a
// second). It stops when EXPECTED echoes came back, when the count has not
// grown for 30 s (devices that wait to be accepted arrive in bursts under a
// loaded system), or with a last round once SECONDS have passed (which may
// take as long as a send), and prints
//   devices: N
//
//   rack_capacity flood PORT SECONDS [SETTLE]
// Devices send as fast as they can and nobody reads. Memory is sampled
// every 250 ms until it has grown by less than 1 MiB in SETTLE seconds (5),
// or SECONDS have passed; then the handle is closed and the library ended.
// A channel queue grows by doubling, so while many queues fill at the same
// pace the memory holds still for seconds between steps: give a SETTLE
// longer than such a pause.
//   resident KiB: before B peak P settled S
//   private KiB: ...          (Linux RssAnon; Windows committed private regions)
//   address space KiB: ...    (Linux VmSize; Windows reserved + committed)
//   flood: settled|still-growing|no-growth after T s (last growth at G s)
//   closed: close C ms, exit E ms
// Both modes print "listening PORT" once the handle is open.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "open_params.h"
#include "quilvane_sdk.h"

#if defined(_WIN32)
#include <windows.h>

#include <psapi.h>
#else
#include <fstream>
#endif

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Memory {
    long residentKiB = 0;
    long privateKiB = 0;
    long addressSpaceKiB = 0;
};

#if defined(_WIN32)
Memory sampleMemory() {
    Memory m;
    PROCESS_MEMORY_COUNTERS counters{};
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        m.residentKiB = static_cast<long>(counters.WorkingSetSize / 1024);
    // Private bytes and address space from the regions themselves: wine
    // gives PrivateUsage as swap use (0 without swap), and what a 32-bit
    // process runs out of is address space, thread stacks included. Wine
    // shows address space outside its own reserve as reserved, so there the
    // last figure reads high by a constant.
    unsigned long long privateBytes = 0;
    unsigned long long used = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (const char* at = nullptr; VirtualQuery(at, &region, sizeof region) == sizeof region;) {
        if (region.State != MEM_FREE)
            used += region.RegionSize;
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
            privateBytes += region.RegionSize;
        const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
        if (next <= at)
            break;
        at = next;
    }
    m.privateKiB = static_cast<long>(privateBytes / 1024);
    m.addressSpaceKiB = static_cast<long>(used / 1024);
    return m;
}
#else
Memory sampleMemory() {
    Memory m;
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        long* field = key == "VmRSS:"     ? &m.residentKiB
                      : key == "RssAnon:" ? &m.privateKiB
                      : key == "VmSize:"  ? &m.addressSpaceKiB
                                          : nullptr;
        if (field)
            status >> *field;
        status.ignore(4096, '\n');
    }
    return m;
}
#endif

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int openServer(std::uint16_t port) {
    const OpenParams p = openParams(QUILVANE_TCP_SERVER, "", port);
    const int handle = QUILVANE_Open(&p);
    if (handle >= 0) {
        std::printf("listening %u\n", port);
        std::fflush(stdout);
    }
    return handle;
}

void closeAndExit(int handle) {
    auto start = Clock::now();
    const int closed = QUILVANE_Close(handle);
    const double closeMs = millisecondsSince(start);
    start = Clock::now();
    QUILVANE_Exit();
    const double exitMs = millisecondsSince(start);
    std::printf("closed: close %.1f ms (result %d), exit %.1f ms\n", closeMs, closed, exitMs);
}

// Echoes of the frame with this id on channel 0, until none came for a
// second (10 s at most).
int countEchoes(int handle, std::uint32_t id) {
    std::vector<CanFrame> frames(1024);
    int echoes = 0;
    const auto limit = Clock::now() + 10s;
    auto quietUntil = Clock::now() + 1s;
    while (Clock::now() < std::min(quietUntil, limit)) {
        const int n = QUILVANE_Recv_CAN(handle, 0, frames.data(), static_cast<int>(frames.size()));
        const auto matching = std::count_if(frames.begin(), frames.begin() + std::max(n, 0),
                                            [id](const CanFrame& f) { return f.id == id; });
        if (matching > 0) {
            echoes += static_cast<int>(matching);
            quietUntil = Clock::now() + 1s;
        } else if (n <= 0) {
            std::this_thread::sleep_for(5ms);
        }
    }
    return echoes;
}

int devices(int handle, int limitSeconds, int expected) {
    constexpr auto kWithoutGrowth = 30s;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::seconds(limitSeconds);
    int best = 0;
    auto lastGrowth = start;
    for (std::uint32_t round = 1;; ++round) {
        QUILVANE_Clear_Buffer(handle);
        const CanFrame frame = makeFrame(0x100 + round, {0x11, 0x22});
        const auto sendStart = Clock::now();
        QUILVANE_Send_CAN(handle, &frame);
        const double sendMs = millisecondsSince(sendStart);
        const int echoes = countEchoes(handle, frame.id);
        std::printf("round %u: echoes %d (send %.1f ms)\n", round, echoes, sendMs);
        std::fflush(stdout);
        if (echoes > best) {
            best = echoes;
            lastGrowth = Clock::now();
        }
        if ((expected > 0 && best >= expected) || (best > 0 && Clock::now() - lastGrowth >= kWithoutGrowth) ||
            Clock::now() >= deadline)
            break;
        const auto pause = std::chrono::duration_cast<Clock::duration>(std::max(1000.0, 2 * sendMs) * 1ms);
        std::this_thread::sleep_for(std::min(pause, deadline - Clock::now()));
    }
    const Memory m = sampleMemory();
    std::printf("devices: %d\n", best);
    std::printf("memory KiB: resident %ld private %ld address space %ld\n", m.residentKiB, m.privateKiB,
                m.addressSpaceKiB);
    return best;
}

void printFigure(const char* name, long before, long peak, long settled) {
    std::printf("%s KiB: before %ld peak %ld settled %ld\n", name, before, peak, settled);
}

bool flood(const Memory& before, int limitSeconds, int settleSeconds) {
    constexpr long kSettleKiB = 1024;
    const auto settleTime = std::chrono::seconds(settleSeconds);
    const auto start = Clock::now();
    Memory peak = before;
    Memory last = before;
    // Growth is measured from the last sample that was more than 1 MiB above
    // the one before it; the clock only starts once the devices send.
    long mark = before.residentKiB;
    auto markTime = start;
    bool growing = false;
    bool settled = false;
    while (Clock::now() - start < std::chrono::seconds(limitSeconds)) {
        std::this_thread::sleep_for(250ms);
        last = sampleMemory();
        peak.residentKiB = std::max(peak.residentKiB, last.residentKiB);
        peak.privateKiB = std::max(peak.privateKiB, last.privateKiB);
        peak.addressSpaceKiB = std::max(peak.addressSpaceKiB, last.addressSpaceKiB);
        if (last.residentKiB > mark + kSettleKiB) {
            mark = last.residentKiB;
            markTime = Clock::now();
            growing = true;
        }
        if (growing && Clock::now() - markTime >= settleTime) {
            settled = true;
            break;
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    printFigure("resident", before.residentKiB, peak.residentKiB, last.residentKiB);
    printFigure("private", before.privateKiB, peak.privateKiB, last.privateKiB);
    printFigure("address space", before.addressSpaceKiB, peak.addressSpaceKiB, last.addressSpaceKiB);
    const char* state = settled ? "settled" : growing ? "still-growing" : "no-growth";
    std::printf("flood: %s after %.1f s (last growth at %.1f s)\n", state, seconds,
                std::chrono::duration<double>(markTime - start).count());
    std::fflush(stdout);
    return settled;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (argc < 4 || (mode != "devices" && mode != "flood")) {
        std::fprintf(stderr,
                     "usage: rack_capacity devices PORT SECONDS [EXPECTED]\n"
                     "       rack_capacity flood PORT SECONDS [SETTLE]\n");
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(std::atoi(argv[2]));
    const int limitSeconds = std::atoi(argv[3]);

    QUILVANE_Init();
    const Memory before = sampleMemory();
    const int handle = openServer(port);
    if (handle < 0) {
        std::fprintf(stderr, "rack_capacity: open failed (%d)\n", handle);
        return 1;
    }
    bool ok = true;
    if (mode == "devices")
        ok = devices(handle, limitSeconds, argc > 4 ? std::atoi(argv[4]) : 0) > 0;
    else
        ok = flood(before, limitSeconds, argc > 4 ? std::atoi(argv[4]) : 5);
    closeAndExit(handle);
    std::fflush(stdout);
    return ok ? 0 : 1;
}
