// How long QUILVANE_Close and QUILVANE_Exit take while devices keep the
// connection busy, through the public exports only, on Linux and as a
// Windows program. The devices are played here, on loopback.
//
//   close_times [TRIES] >/dev/null   each close case TRIES times (20): median and worst
//   close_times exit >/dev/null      one QUILVANE_Exit with one connection of each type
// The figures go to standard error, in lines that start with "close: ".
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "packet_builder.h"
#include "quilvane_sdk.h"

#include "open_params.h"
#include "test_wire.h"

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <signal.h>
#include <sys/socket.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

OpenParams params(std::uint32_t type, std::uint16_t localPort, std::uint16_t remotePort) {
    return openParams(type, "", localPort, "127.0.0.1", remotePort);
}

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double timed(const std::function<void()>& call) {
    const auto start = Clock::now();
    call();
    return millisecondsSince(start);
}

// One try: sets a connection up, returns the close's duration in ms.
double serverWithoutDevices() {
    OpenParams p = params(QUILVANE_TCP_SERVER, freePort(), 0);
    const int handle = QUILVANE_Open(&p);
    std::this_thread::sleep_for(20ms);
    return timed([&] { QUILVANE_Close(handle); });
}

double clientWithSilentDevice() {
    std::uint16_t port = 0;
    const int listener = tcpListen(port);
    OpenParams p = params(QUILVANE_TCP_CLIENT, 0, port);
    const int handle = QUILVANE_Open(&p);
    const int device = tcpAccept(listener);
    std::this_thread::sleep_for(20ms);
    const double ms = timed([&] { QUILVANE_Close(handle); });
    closeSocket(device);
    closeSocket(listener);
    return ms;
}

double serverWithTwoSilentDevices() {
    const std::uint16_t port = freePort();
    OpenParams p = params(QUILVANE_TCP_SERVER, port, 0);
    const int handle = QUILVANE_Open(&p);
    const int a = tcpConnect(port);
    const int b = tcpConnect(port);
    std::this_thread::sleep_for(50ms);  // both accepted
    const double ms = timed([&] { QUILVANE_Close(handle); });
    closeSocket(a);
    closeSocket(b);
    return ms;
}

// The device writes packets as fast as the connection takes them while
// another thread polls QUILVANE_Recv_CAN.
double clientWithStreamingDeviceAndPoller() {
    std::uint16_t port = 0;
    const int listener = tcpListen(port);
    std::atomic<bool> streaming{true};
    std::thread device([&] {
        const int fd = tcpAccept(listener);
        std::vector<std::uint8_t> burst;
        for (int i = 0; i < 64; ++i) {
            const auto packet = quilvane::test::fdPacket(static_cast<std::uint32_t>(i));
            burst.insert(burst.end(), packet.begin(), packet.end());
        }
        while (streaming &&
               send(fd, reinterpret_cast<const char*>(burst.data()), static_cast<int>(burst.size()), 0) > 0) {
        }
        closeSocket(fd);
    });
    OpenParams p = params(QUILVANE_TCP_CLIENT, 0, port);
    const int handle = QUILVANE_Open(&p);
    std::thread poller([&] {
        CanFrame frames[256];
        while (QUILVANE_Recv_CAN(handle, 0, frames, 256) >= 0) {
        }
    });
    std::this_thread::sleep_for(100ms);
    const double ms = timed([&] { QUILVANE_Close(handle); });
    streaming = false;
    poller.join();
    device.join();
    closeSocket(listener);
    return ms;
}

// Figures go to standard error: standard output carries the library's lines.
void report(const char* name, std::vector<double> times) {
    std::sort(times.begin(), times.end());
    std::fprintf(stderr, "close: %-44s median %7.1f ms   worst %7.1f ms   (%zu tries)\n", name,
                 times[times.size() / 2], times.back(), times.size());
}

int exitWithOneOfEachType() {
    std::uint16_t port = 0;
    const int listener = tcpListen(port);
    OpenParams client = params(QUILVANE_TCP_CLIENT, 0, port);
    QUILVANE_Open(&client);
    const int device = tcpAccept(listener);
    OpenParams server = params(QUILVANE_TCP_SERVER, freePort(), 0);
    QUILVANE_Open(&server);
    OpenParams udp = params(QUILVANE_UDP, 0, 9);
    std::strcpy(udp.localIp, "127.0.0.1");
    QUILVANE_Open(&udp);
    std::this_thread::sleep_for(50ms);
    std::fprintf(stderr, "close: exit %.1f ms\n", timed([] { QUILVANE_Exit(); }));
    closeSocket(device);
    closeSocket(listener);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
#else
    signal(SIGPIPE, SIG_IGN);  // the streaming device writes on after the close
#endif
    QUILVANE_Init();
    if (argc > 1 && std::string(argv[1]) == "exit")
        return exitWithOneOfEachType();

    const int tries = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const struct {
        const char* name;
        double (*run)();
    } cases[] = {
        {"TCP server, no device", serverWithoutDevices},
        {"TCP client, silent device", clientWithSilentDevice},
        {"TCP server, two silent devices", serverWithTwoSilentDevices},
        {"TCP client, streaming device, Recv polling", clientWithStreamingDeviceAndPoller},
    };
    for (const auto& c : cases) {
        std::vector<double> times;
        for (int i = 0; i < tries; ++i)
            times.push_back(c.run());
        report(c.name, times);
    }
    return 0;
}
