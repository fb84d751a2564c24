// ChildProcess in a Windows test program under wine: the child is a Linux
// program that sim_broker runs (see tests/tools/sim_broker.cpp for the
// messages); this side only talks to it over loopback.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "child_process.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned char kKill = 9;  // SIGKILL where the child runs

int millisecondsLeft(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return static_cast<int>(std::max<decltype(left)>(left, 0));
}

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

bool sendAll(int fd, const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
        const int n = send(fd, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

ChildProcess::~ChildProcess() {
    // The broker kills the child once the connection closes; waiting for the
    // exit keeps a killed simulator's ports from outliving this object.
    if (streamsOpen()) {
        interrupt(kKill);
        readUntil([this] { return exited_; }, 5000);
    }
    if (broker_ >= 0)
        closesocket(broker_);
}

void ChildProcess::spawn(const std::vector<std::string>& args, const SpawnOptions& options) {
    if (!options.input.empty() || options.errorTerminal)
        throw std::runtime_error("under wine a child gets neither standard input nor a terminal");
    std::string request;
    for (const std::string& arg : args) {
        if (arg.empty() || arg.find('\n') != std::string::npos)
            throw std::runtime_error("an argument the broker cannot pass: '" + arg + "'");
        request += arg + '\n';
    }
    broker_ = connectToBroker();
    if (!sendAll(broker_, request + '\n'))
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
    if (n <= 0) {
        closesocket(broker_);
        broker_ = -1;
        return;
    }
    received_.append(chunk, static_cast<std::size_t>(n));
    while (received_.size() >= 5) {
        const auto* head = reinterpret_cast<const unsigned char*>(received_.data());
        const std::size_t length = std::size_t{head[1]} << 24 | head[2] << 16 | head[3] << 8 | head[4];
        if (received_.size() < 5 + length)
            break;
        const std::string bytes = received_.substr(5, length);
        if (head[0] == 'o') {
            out_ += bytes;
        } else if (head[0] == 'e') {
            err_ += bytes;
        } else if (head[0] == 'x') {
            status_ = std::atoi(bytes.c_str());
            exited_ = true;
        }
        received_.erase(0, 5 + length);
    }
}

bool ChildProcess::readUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        const int left = millisecondsLeft(end);
        if (left == 0 || !streamsOpen())
            return done();
        collect(std::min(left, 50));
    }
    return true;
}

bool ChildProcess::streamsOpen() const {
    return broker_ >= 0 && !exited_;
}

void ChildProcess::interrupt(int signal) {
    const char byte = static_cast<char>(signal);
    if (streamsOpen())
        send(broker_, &byte, 1, 0);
}

int ChildProcess::finish(int timeoutMs) {
    if (finished_)
        return status_;
    finished_ = true;
    if (!readUntil([this] { return exited_; }, timeoutMs)) {
        interrupt(kKill);
        readUntil([this] { return exited_; }, 5000);
    }
    return status_;
}
