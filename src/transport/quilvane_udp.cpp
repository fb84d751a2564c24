#include "transport/quilvane_udp.h"

#include <cstring>
#include <system_error>

#include "buffering/receive_frame_store.h"
#include "codec/packet_decoder.h"
#include "common/library_thread.h"
#include "common/log.h"
#include "common/log_lines.h"
#include "discovery/device_info_parser.h"
#include "transport/stop_check.h"

namespace quilvane {
namespace {

constexpr int kDatagramSize = 2048;
constexpr int kJsonTextSize = 1024;

std::uint8_t rotateRight2(std::uint8_t b) {
    return static_cast<std::uint8_t>((b >> 2) | (b << 6));
}

}  // namespace

QuilvaneUdp::QuilvaneUdp() = default;

QuilvaneUdp::~QuilvaneUdp() {
    stop();
}

bool QuilvaneUdp::initialize(const std::string& localIp, std::uint16_t localPort) {
    std::lock_guard lock(sendMutex);  // a sender never meets a socket being replaced
    net::closeSocket(udpSocket.exchange(net::kInvalidSocket));

    net::Socket s = net::openUdp();
    if (s == net::kInvalidSocket) {
        logError(log_lines::kSocketCreationFailed, net::lastError());
        return false;
    }
    if (!net::setBroadcast(s)) {
        logError(log_lines::kSetBroadcastFailed, net::lastError());
        net::closeSocket(s);
        return false;
    }
    if (!net::setReceiveTimeout(s, 100))
        logError(log_lines::kSetTimeoutFailed, net::lastError());

    net::Endpoint local{0, localPort};
    if (!localIp.empty())
        net::parseAddress(localIp, &local.address);
    if (!net::bindTo(s, local)) {
        logError(log_lines::kBindFailed, net::lastError());
        net::closeSocket(s);
        return false;
    }
    udpSocket.store(s);
    logInfo(log_lines::kBoundTo, localIp.empty() ? std::string("0.0.0.0") : localIp, ":", localPort);
    return true;
}

void QuilvaneUdp::setTarget(const std::string& ip, std::uint16_t port) {
    std::lock_guard lock(sendMutex);
    targetIp = ip;
    targetPort = port;
    targetAddress = net::Endpoint{0, port};
    net::parseAddress(ip, &targetAddress.address);
    logInfo(log_lines::kTargetSetTo, ip, ":", port);
}

bool QuilvaneUdp::send(const std::uint8_t* data, int length) {
    if (udpSocket.load() == net::kInvalidSocket) {
        logError(log_lines::kSocketNotInitialized);
        return false;
    }
    std::lock_guard lock(sendMutex);
    if (targetIp.empty()) {
        logError(log_lines::kTargetNotSet);
        return false;
    }
    net::Socket s = udpSocket.load();
    if (s == net::kInvalidSocket) {  // stopped meanwhile
        logError(log_lines::kSocketNotInitialized);
        return false;
    }
    if (net::sendTo(s, data, length, targetAddress) == -1) {
        logError(log_lines::kSendFailed, net::lastError());
        return false;
    }
    return true;
}

bool QuilvaneUdp::startReceive(bool startPaused) {
    if (running.load())
        return true;
    if (udpSocket.load() == net::kInvalidSocket) {
        logError(log_lines::kSocketNotInitialized);
        return false;
    }
    {
        std::lock_guard lock(stateMutex);
        paused = startPaused;
    }
    running.exchange(true);
    try {
        receiveThread = startThread([this] { receiveLoop(); });
    } catch (const std::system_error& e) {
        logError(log_lines::kThreadStartFailed, e.what());
        running.store(false);
        return false;
    }
    if (!startPaused)
        stateChanged.notify_one();
    return true;
}

void QuilvaneUdp::requestStop() {
    running.exchange(false);
    {
        std::lock_guard lock(stateMutex);  // a thread about to wait is asleep by now
    }
    stateChanged.notify_one();
    // Linux wakes a thread waiting on the socket at once; Windows ignores it
    // and the thread sees the flag after its wait.
    std::lock_guard lock(sendMutex);
    if (const net::Socket s = udpSocket.load(); s != net::kInvalidSocket)
        net::shutdownBoth(s);
}

void QuilvaneUdp::stop() {
    requestStop();
    if (receiveThread.joinable())
        receiveThread.join();
    std::lock_guard lock(sendMutex);
    net::closeSocket(udpSocket.exchange(net::kInvalidSocket));
}

void QuilvaneUdp::setPaused(bool value) {
    {
        std::lock_guard lock(stateMutex);
        paused = value;
    }
    if (!value)
        stateChanged.notify_one();
}

void QuilvaneUdp::clearResults() {
    std::lock_guard lock(resultMutex);
    deviceInfos.clear();
    pelixRecords.clear();
}

std::vector<DeviceInfo> QuilvaneUdp::deviceInfoResults() {
    std::lock_guard lock(resultMutex);
    return deviceInfos;
}

std::vector<PelixDeviceRecord> QuilvaneUdp::pelixResults() {
    std::lock_guard lock(resultMutex);
    return pelixRecords;
}

void QuilvaneUdp::receiveLoop() {
    logInfo(log_lines::kReceiveThreadStarted);
    std::uint8_t datagram[kDatagramSize];
    while (running.load()) {
        {
            std::unique_lock lock(stateMutex);
            stateChanged.wait(lock, [&] { return !paused || !running.load(); });
        }
        if (!running.load())
            break;

        int n = net::receiveFromWithin(udpSocket.load(), datagram, kDatagramSize, nullptr, kStopCheckMs);
        if (!running.load())
            break;
        if (n == net::kWaitTimedOut)
            continue;
        if (n == -1) {
            // The receive time-out can no longer run out here (the wait
            // above ends first); it stays as quiet as before.
            int code = net::lastError();
            if (code != net::kErrTimedOut && code != net::kErrShutdown && code != net::kErrInterrupted)
                logError(log_lines::kReceiveError, code);
            continue;
        }
        dropOnOutOfMemory([&] { classify(datagram, n); });
    }
    logInfo(log_lines::kReceiveThreadStopped);
}

void QuilvaneUdp::classify(const std::uint8_t* datagram, int n) {
    std::uint8_t rotated[kDatagramSize];
    for (int i = 0; i < n; ++i)
        rotated[i] = rotateRight2(datagram[i]);

    if (n > 6 && ((rotated[4] << 8) | rotated[5]) + 10 == n) {
        const int textLength = n - 10;
        if (textLength >= kJsonTextSize) {
            logError(log_lines::kSearchReplyTooLong, textLength);
            return;
        }
        char text[kJsonTextSize];
        std::memcpy(text, rotated + 6, static_cast<std::size_t>(textLength));
        text[textLength] = '\0';
        DeviceInfo info{};
        parseDeviceInfo(text, info);
        std::lock_guard lock(resultMutex);
        deviceInfos.push_back(info);
        return;
    }
    if (n == static_cast<int>(sizeof(PelixDeviceRecord)) && rotated[0] == 0x00 && rotated[1] == 0x02 &&
        rotated[2] == 0x00 && rotated[3] == 0x02) {
        PelixDeviceRecord record;
        std::memcpy(record.bytes, rotated, sizeof record.bytes);
        std::lock_guard lock(resultMutex);
        pelixRecords.push_back(record);
        return;
    }
    // CAN traffic: each datagram by itself, no reassembly across datagrams.
    auto frames = decodePackets(datagram, n);
    if (auto* store = ReceiveFrameStore::instance())
        store->push(0, frames);
}

}  // namespace quilvane
