#include "transport/quilvane_tcp_client.h"

#include <system_error>

#include "codec/stream_reassembly.h"
#include "common/library_thread.h"
#include "common/log.h"
#include "common/log_lines.h"
#include "transport/stop_check.h"

namespace quilvane {

namespace {
constexpr int kConnectTimeoutMs = 3000;
}  // namespace

QuilvaneTcpClient::QuilvaneTcpClient(std::int32_t handle) : handle(handle) {}

QuilvaneTcpClient::~QuilvaneTcpClient() {
    disconnect();
}

void QuilvaneTcpClient::closeFailedAttempt() {
    net::closeSocket(sock.exchange(net::kInvalidSocket));
}

int QuilvaneTcpClient::connectToServer() {
    if (live.load())
        return 0;
    if (stopRequested.load())
        return -1;

    net::Socket s = net::openTcp();
    if (s == net::kInvalidSocket) {
        logError(log_lines::kSocketCreationFailed, net::lastError());
        return -1;
    }
    sock.store(s);
    if (!net::setReuseAddress(s))
        logError(log_lines::kReuseAddressFailed, net::lastError());

    if (!localIp.empty() && localPort != 0) {
        net::Endpoint local{0, localPort};
        net::parseAddress(localIp, &local.address);  // unparsable text binds to 0.0.0.0
        if (!net::bindTo(s, local)) {
            logError(log_lines::kBindFailed, net::lastError());
            closeFailedAttempt();
            return -1;
        }
    }

    net::setNonBlocking(s, true);
    net::Endpoint server{0, serverPort};
    net::parseAddress(serverIp, &server.address);
    if (net::connectTo(s, server) != 0) {
        int code = net::lastError();
        if (code != net::kErrWouldBlock) {
            logError(log_lines::kConnectFailed, code);
            closeFailedAttempt();
            return -1;
        }
        // In pieces, so that a close of the connection being opened ends
        // the attempt within one of them.
        int ready = 0;
        for (int waited = 0; ready == 0 && waited < kConnectTimeoutMs; waited += kStopCheckMs) {
            if (stopRequested.load()) {
                closeFailedAttempt();
                return -1;
            }
            ready = net::waitWritable(s, kStopCheckMs);
        }
        if (ready == 0) {
            logError(log_lines::kConnectTimeout);
            closeFailedAttempt();
            return -1;
        }
        if (ready < 0) {
            logError(log_lines::kConnectSelectFailed, net::lastError());
            closeFailedAttempt();
            return -1;
        }
        if (int pending = net::pendingError(s); pending != 0) {
            logError(log_lines::kConnectFailedAfterSelect, pending);
            closeFailedAttempt();
            return -1;
        }
    }
    net::setNonBlocking(s, false);

    if (!net::setNoDelay(s))
        logError(log_lines::kDisableNagleFailed, net::lastError());
    net::setSendBufferSize(s, 512);
    logInfo(log_lines::kTcpClientConnectedTo, serverIp, ":", serverPort);

    connected.store(true);
    try {
        receiveThread = startThread([this] { receiveLoop(); });
        processThread = startThread([this] { processLoop(); });
    } catch (const std::system_error& e) {
        logError(log_lines::kThreadStartFailed, e.what());
        connected.store(false);
        net::shutdownBoth(s);
        receiveThread.join();
        chunkQueue.clear();
        closeFailedAttempt();
        return -1;
    }
    live.store(true);
    return 0;
}

int QuilvaneTcpClient::send(const std::uint8_t* data, int length) {
    {
        std::lock_guard whole(sendMutex);
        const net::Socket s = sock.load();
        if (!connected.load() || s == net::kInvalidSocket)
            return -1;
        const int sent = sendWhole(s, data, length, connected);
        if (sent == kSendStopped)
            return -1;
        if (sent >= 0)
            return sent;
    }
    int code = net::lastError();
    if (code == net::kErrConnReset || code == net::kErrNotConnected) {
        logError(log_lines::kConnectionLostDuringSend);
        disconnect();
    } else {
        logError(log_lines::kSendFailed, code);
    }
    return -1;
}

void QuilvaneTcpClient::requestStop() {
    stopRequested.store(true);
    connected.store(false);
    chunkQueue.wake();
}

void QuilvaneTcpClient::disconnect() {
    requestStop();  // also ends an attempt under way
    if (!live.exchange(false))
        return;

    // Each thread sees the flag within one wait; the socket is released
    // only after both have ended, so no call is ever under way on it.
    net::Socket s = sock.load();
    if (s != net::kInvalidSocket)
        net::shutdownBoth(s);
    if (receiveThread.joinable())
        receiveThread.join();
    if (processThread.joinable())
        processThread.join();
    {
        std::lock_guard lock(sendMutex);
        net::closeSocket(sock.exchange(net::kInvalidSocket));
    }

    chunkQueue.clear();
    {
        std::lock_guard lock(cacheMutex);
        cache.clear();
    }
    logInfo(log_lines::kTcpClientDisconnected);
}

void QuilvaneTcpClient::receiveLoop() {
    logInfo(log_lines::kTcpClientRecvThreadStarted);
    int result = 0;
    while (connected.load()) {
        result = net::receiveWithin(sock.load(), receiveBuffer, sizeof receiveBuffer, kStopCheckMs);
        if (result == net::kWaitTimedOut)
            continue;
        if (result <= 0)
            break;
        dropOnOutOfMemory([&] {
            ReceivedChunk chunk{std::vector<std::uint8_t>(receiveBuffer, receiveBuffer + result), handle};
            chunkQueue.push(std::move(chunk), true, [] { logError(log_lines::kQueueFullDroppingData); });
        });
        if (!connected.load())
            break;
    }
    // A failure caused by our own disconnect is no error worth a line.
    if (result == -1 && connected.load()) {
        int code = net::lastError();
        if (code != net::kErrConnReset)
            logError(log_lines::kRecvError, code);
    }
    logInfo(log_lines::kTcpClientRecvThreadStopped);
}

void QuilvaneTcpClient::processLoop() {
    logInfo(log_lines::kTcpClientProcessThreadStarted);
    std::deque<ReceivedChunk> batch;
    while (connected.load()) {
        if (!chunkQueue.waitTakeAll(batch, connected))
            break;
        for (const ReceivedChunk& chunk : batch) {
            if (!chunk.data.empty())
                dropOnOutOfMemory([&] { processChunk(chunk); });
        }
    }
    logInfo(log_lines::kTcpClientProcessThreadStopped);
}

void QuilvaneTcpClient::processChunk(const ReceivedChunk& chunk) {
    std::lock_guard lock(cacheMutex);
    if (!reassembleChunk(cache, chunk.data.data(), chunk.data.size(), chunk.handle)) {
        logError(log_lines::kCacheOverflow);
    }
}

}  // namespace quilvane
