// ChildProcess under wine: sim_broker (tests/tools/sim_broker.cpp) runs the
// child; the connection to it carries the child's standard output, and its
// end is the child's.
#include <winsock2.h>

#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "child_process.h"

ChildProcess::~ChildProcess() {
    // The broker closes only once the killed child is reaped: waiting for
    // that keeps the simulator's ports from outliving this object.
    finish(0);
    if (broker_ >= 0)
        closesocket(broker_);
}

void ChildProcess::spawn(const std::vector<std::string>& args, const SpawnOptions&) {
    std::string request;
    for (const std::string& arg : args)
        request += arg.empty() || arg.find('\n') != std::string::npos
                       ? throw std::runtime_error("an argument the broker cannot pass: '" + arg + "'")
                       : arg + '\n';
    request += '\n';
    const char* port = std::getenv("QUILVANE_SIM_BROKER_PORT");
    if (port == nullptr)
        throw std::runtime_error(
            "QUILVANE_SIM_BROKER_PORT is not set: run through tests/windows/wine_run.sh");
    [[maybe_unused]] static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    broker_ = static_cast<int>(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::atoi(port)));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(broker_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        send(broker_, request.data(), static_cast<int>(request.size()), 0) !=
            static_cast<int>(request.size()))
        throw std::runtime_error("cannot reach sim_broker");
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
    if (n > 0)
        out_.append(chunk, static_cast<std::size_t>(n));
    else
        closesocket(std::exchange(broker_, -1));
}

bool ChildProcess::streamsOpen() const {
    return broker_ >= 0;
}

// Whatever the signal: the broker kills the child once this side is shut.
void ChildProcess::interrupt(int) {
    if (streamsOpen())
        shutdown(broker_, SD_SEND);
}

int ChildProcess::finish(int timeoutMs) {
    if (!readUntil([this] { return !streamsOpen(); }, timeoutMs)) {
        interrupt();
        readUntil([this] { return !streamsOpen(); }, 5000);
    }
    return status_;
}
