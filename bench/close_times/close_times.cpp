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

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
using Fd = SOCKET;
void closeFd(Fd fd) {
    closesocket(fd);
}
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
using Fd = int;
void closeFd(Fd fd) {
    close(fd);
}
#endif

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

Fd listenOnLoopback(std::uint16_t& port) {
    Fd fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t length = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), length);
    listen(fd, 8);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    port = ntohs(a.sin_port);
    return fd;
}

Fd connectTo(std::uint16_t port) {
    Fd fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = loopback(port);
    connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    return fd;
}

std::uint16_t freePort() {
    std::uint16_t port = 0;
    closeFd(listenOnLoopback(port));
    return port;
}

OpenParams params(std::uint32_t type, std::uint16_t localPort, std::uint16_t remotePort) {
    OpenParams p{};
    p.type = type;
    p.localPort = localPort;
    std::strcpy(p.remoteIp, "127.0.0.1");
    p.remotePort = remotePort;
    return p;
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
    const Fd listener = listenOnLoopback(port);
    OpenParams p = params(QUILVANE_TCP_CLIENT, 0, port);
    const int handle = QUILVANE_Open(&p);
    const Fd device = accept(listener, nullptr, nullptr);
    std::this_thread::sleep_for(20ms);
    const double ms = timed([&] { QUILVANE_Close(handle); });
    closeFd(device);
    closeFd(listener);
    return ms;
}

double serverWithTwoSilentDevices() {
    const std::uint16_t port = freePort();
    OpenParams p = params(QUILVANE_TCP_SERVER, port, 0);
    const int handle = QUILVANE_Open(&p);
    const Fd a = connectTo(port);
    const Fd b = connectTo(port);
    std::this_thread::sleep_for(50ms);  // both accepted
    const double ms = timed([&] { QUILVANE_Close(handle); });
    closeFd(a);
    closeFd(b);
    return ms;
}

// The device writes packets as fast as the connection takes them while
// another thread polls QUILVANE_Recv_CAN.
double clientWithStreamingDeviceAndPoller() {
    std::uint16_t port = 0;
    const Fd listener = listenOnLoopback(port);
    std::atomic<bool> streaming{true};
    std::thread device([&] {
        const Fd fd = accept(listener, nullptr, nullptr);
        std::vector<std::uint8_t> burst;
        for (int i = 0; i < 64; ++i) {
            const auto packet = quilvane::test::fdPacket(static_cast<std::uint32_t>(i));
            burst.insert(burst.end(), packet.begin(), packet.end());
        }
        while (streaming &&
               send(fd, reinterpret_cast<const char*>(burst.data()), static_cast<int>(burst.size()), 0) > 0) {
        }
        closeFd(fd);
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
    closeFd(listener);
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
    const Fd listener = listenOnLoopback(port);
    OpenParams client = params(QUILVANE_TCP_CLIENT, 0, port);
    QUILVANE_Open(&client);
    const Fd device = accept(listener, nullptr, nullptr);
    OpenParams server = params(QUILVANE_TCP_SERVER, freePort(), 0);
    QUILVANE_Open(&server);
    OpenParams udp = params(QUILVANE_UDP, 0, 9);
    std::strcpy(udp.localIp, "127.0.0.1");
    QUILVANE_Open(&udp);
    std::this_thread::sleep_for(50ms);
    std::fprintf(stderr, "close: exit %.1f ms\n", timed([] { QUILVANE_Exit(); }));
    closeFd(device);
    closeFd(listener);
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
