#include "transport/quilvane_tcp_server.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <system_error>

#include "common/library_thread.h"
#include "common/log.h"
#include "common/log_lines.h"
#include "transport/stop_check.h"

namespace quilvane {

QuilvaneTcpServer::QuilvaneTcpServer(std::int32_t handle) : handle(handle) {}

QuilvaneTcpServer::~QuilvaneTcpServer() {
    stop();
}

bool QuilvaneTcpServer::start(std::uint16_t port) {
    if (live.load())
        return true;

    net::Socket s = net::openTcp();
    if (s == net::kInvalidSocket) {
        logError(log_lines::kSocketCreationFailed, net::lastError());
        return false;
    }
    if (!net::setReuseAddress(s))
        logError(log_lines::kReuseAddressFailed, net::lastError());
    if (!net::bindTo(s, net::Endpoint{0, port})) {
        logError(log_lines::kBindFailed, net::lastError());
        net::closeSocket(s);
        return false;
    }
    if (!net::listenOn(s)) {
        logError(log_lines::kListenFailed, net::lastError());
        net::closeSocket(s);
        return false;
    }
    listenSocket.store(s);
    logInfo(log_lines::kTcpServerStartedOnPort, port);
    running.store(true);
    try {
        processThread = startThread([this] { processLoop(); });
        acceptThread = startThread([this] { acceptLoop(); });
    } catch (const std::system_error& e) {
        logError(log_lines::kThreadStartFailed, e.what());
        requestStop();
        processThread.join();
        net::closeSocket(listenSocket.exchange(net::kInvalidSocket));
        return false;
    }
    live.store(true);
    return true;
}

// False when the server stopped while waiting for room.
bool QuilvaneTcpServer::sendToClient(net::Socket sock, const std::uint8_t* data, int length) {
    const int sent = sendWhole(sock, data, length, running);
    if (sent == kSendStopped)
        return false;
    if (sent >= 0)
        return true;
    const int code = net::lastError();
    if (code == net::kErrConnReset || code == net::kErrNotConnected || code == net::kErrShutdown) {
        // The device's own thread sees its socket end and removes it.
        net::shutdownBoth(sock);
    } else {
        logError(log_lines::kSendToClientFailed, code);
    }
    return true;
}

void QuilvaneTcpServer::sendToClients(const std::uint8_t* data, int length) {
    std::lock_guard lock(clientsMutex);
    for (auto& [sock, thread] : clientThreads) {
        if (!sendToClient(sock, data, length))
            return;
    }
}

void QuilvaneTcpServer::requestStop() {
    running.store(false);
    chunkQueue.wake();
}

void QuilvaneTcpServer::stop() {
    if (!live.exchange(false))
        return;
    requestStop();

    // Every thread sees the flag within one wait; each socket is released
    // only after the threads that use it have ended.
    net::Socket listener = listenSocket.exchange(net::kInvalidSocket);
    net::shutdownBoth(listener);  // wakes the accept thread at once where the system can
    if (acceptThread.joinable())
        acceptThread.join();
    net::closeSocket(listener);

    std::vector<std::pair<net::Socket, platform::Thread>> takenOver;
    std::vector<platform::Thread> finished;
    {
        std::lock_guard lock(clientsMutex);
        for (auto& [sock, thread] : clientThreads) {
            net::shutdownBoth(sock);
            takenOver.emplace_back(sock, std::move(thread));
        }
        clientThreads.clear();
        finished.swap(finishedClients);
    }
    for (auto& [sock, thread] : takenOver) {
        if (thread.joinable())
            thread.join();
        net::closeSocket(sock);
    }
    for (auto& thread : finished) {
        if (thread.joinable())
            thread.join();
    }
    if (processThread.joinable())
        processThread.join();
    logInfo(log_lines::kTcpServerStopped);
}

void QuilvaneTcpServer::joinFinishedClients() {
    std::vector<platform::Thread> finished;
    {
        std::lock_guard lock(clientsMutex);
        finished.swap(finishedClients);
    }
    for (auto& thread : finished) {
        if (thread.joinable())
            thread.join();
    }
}

void QuilvaneTcpServer::acceptLoop() {
    logInfo(log_lines::kAcceptThreadStarted);
    while (running.load()) {
        net::Endpoint peer;
        net::Socket client = net::kInvalidSocket;
        const int result = net::acceptWithin(listenSocket.load(), kStopCheckMs, &client, &peer);
        if (result == net::kWaitTimedOut || !running.load()) {
            if (result == 0)
                net::closeSocket(client);  // too late: nobody would serve it
            continue;
        }
        if (result != 0) {
            logError(log_lines::kAcceptFailed, net::lastError());
            continue;
        }
        logInfo(log_lines::kNewClientConnected, net::formatAddress(peer.address), ":", peer.port);
        joinFinishedClients();
        serveClient(client);
    }
    logInfo(log_lines::kAcceptThreadStopped);
}

void QuilvaneTcpServer::serveClient(net::Socket client) {
    try {
        auto stream = std::make_shared<ClientQueue::Stream>(ClientSource{client, handle});
        // Under the lock, so that the thread finds its own entry when it ends.
        std::lock_guard lock(clientsMutex);
        auto& entry = clientThreads[client];
        entry = startThread([this, client, stream] { clientLoop(client, stream); }, kDeviceThreadStack);
    } catch (const std::exception& e) {
        {
            std::lock_guard lock(clientsMutex);
            clientThreads.erase(client);
        }
        logErrorQuietly(log_lines::kThreadStartFailed, e.what());
        logErrorQuietly(log_lines::kClientRefusedNoThread, net::socketNumber(client));
        net::closeSocket(client);
    }
}

void QuilvaneTcpServer::clientLoop(net::Socket sock, const ClientQueue::StreamPtr& stream) {
    const std::uint32_t number = net::socketNumber(sock);
    if (!net::setNoDelay(sock))
        logError(log_lines::kDisableNagleFailed, net::lastError());
    net::setSendBufferSize(sock, 512);
    logInfo(log_lines::kClientThreadStarted, number);

    std::uint8_t buffer[4096];
    std::vector<std::uint8_t> taken;
    int result = 0;
    while (running.load()) {
        result = net::receiveWithin(sock, buffer, sizeof buffer, kStopCheckMs);
        if (result == net::kWaitTimedOut)
            continue;
        if (result <= 0)
            break;
        dropOnOutOfMemory([&] {
            if (chunkQueue.push(stream, buffer, static_cast<std::size_t>(result),
                                [&] { logError(log_lines::kQueueFullDroppingDataFromClient, number); }))
                processStream(*stream, taken, false);
        });
        if (!running.load())
            break;
    }
    if (result == -1 && running.load()) {
        int code = net::lastError();
        if (code != net::kErrConnReset)
            logError(log_lines::kRecvError, code);
    }

    bool ownsSocket = false;
    {
        std::lock_guard lock(clientsMutex);
        auto it = clientThreads.find(sock);
        if (it != clientThreads.end() && it->second.isCurrent()) {
            finishedClients.push_back(std::move(it->second));
            clientThreads.erase(it);
            ownsSocket = true;
        }
    }
    if (ownsSocket) {
        net::shutdownBoth(sock);
        net::closeSocket(sock);
    }
    // The device's cache goes once every byte queued before the end has been
    // decoded, so no tail of the stream is cut off; a stop drops the tail.
    if (running.load())
        dropOnOutOfMemory([&] { processStream(*stream, taken, true); });
    chunkQueue.end(*stream);
    logInfo(log_lines::kClientDisconnected, number);
}

void QuilvaneTcpServer::processLoop() {
    logInfo(log_lines::kProcessThreadStarted);
    std::vector<std::uint8_t> taken;
    while (const ClientQueue::StreamPtr stream = chunkQueue.waitNext(running))
        dropOnOutOfMemory([&] { processStream(*stream, taken, true); });
    logInfo(log_lines::kProcessThreadStopped);
}

void QuilvaneTcpServer::processStream(ClientQueue::Stream& stream, std::vector<std::uint8_t>& taken,
                                      bool wait) {
    chunkQueue.drain(stream, taken, wait, [&] {
        logError(log_lines::kCacheOverflowForClient, net::socketNumber(stream.source.sock));
    });
}

}  // namespace quilvane
