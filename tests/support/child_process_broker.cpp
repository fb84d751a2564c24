// ChildProcess in a Windows test program under wine: the child is a Linux
// program that sim_broker runs (see tests/tools/sim_broker.cpp); the
// connection to the broker carries the child's standard output, and its
// end is the child's.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <stdexcept>

#include "child_process.h"

namespace {

int connectToBroker() {
    const char* port = std::getenv("QUILVANE_SIM_BROKER_PORT");
    if (port == nullptr)
        throw std::runtime_error(
            "QUILVANE_SIM_BROKER_PORT is not set: run through tests/windows/wine_run.sh");
    [[maybe_unused]] static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::atoi(port)));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s != INVALID_SOCKET && connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return static_cast<int>(s);
    closesocket(s);
    throw std::runtime_error("cannot reach sim_broker");
}

}  // namespace

ChildProcess::~ChildProcess() {
    // The broker closes only once the killed child is reaped: waiting for
    // that keeps the simulator's ports from outliving this object.
    finish(0);
    if (broker_ >= 0)
        closesocket(broker_);
}

// Under wine the child gets no SpawnOptions.
void ChildProcess::spawn(const std::vector<std::string>& args, const SpawnOptions&) {
    std::string request;
    for (const std::string& arg : args) {
        if (arg.empty() || arg.find('\n') != std::string::npos)
            throw std::runtime_error("an argument the broker cannot pass: '" + arg + "'");
        request += arg + '\n';
    }
    request += '\n';
    broker_ = connectToBroker();
    if (send(broker_, request.data(), static_cast<int>(request.size()), 0) !=
        static_cast<int>(request.size()))
        throw std::runtime_error("cannot send the arguments to sim_broker");
}

void ChildProcess::collect(int waitMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<SOCKET>(broker_), &readable);
    timeval timeout{waitMs / 1000, waitMs % 1000 * 1000};
    if (select(0, &readable, nullptr, nullptr, &timeout) != 1)
        return;
    char chunk[65536];
    const int n = recv(broker_, chunk, sizeof chunk, 0);
    if (n > 0) {
        out_.append(chunk, static_cast<std::size_t>(n));
    } else {
        closesocket(broker_);
        broker_ = -1;
    }
}

bool ChildProcess::streamsOpen() const {
    return broker_ >= 0;
}

// Whatever the signal: the broker kills the child once this side is shut.
void ChildProcess::interrupt(int) {
    if (streamsOpen())
        shutdown(broker_, SD_SEND);
}

// The exit status does not come through the broker: status_ stays -1.
int ChildProcess::finish(int timeoutMs) {
    if (!readUntil([this] { return !streamsOpen(); }, timeoutMs)) {
        interrupt();
        readUntil([this] { return !streamsOpen(); }, 5000);
    }
    return status_;
}
