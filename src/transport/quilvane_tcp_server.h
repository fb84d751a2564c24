// Connection of type 2: we listen and devices connect. One handle for all of
// them: a send goes to every connected device, and every device's frames are
// filed under the handle. Each device's stream is reassembled on its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/net.h"
#include "platform/thread.h"
#include "transport/stream_chunk_queue.h"

namespace quilvane {

class QuilvaneTcpServer {
  public:
    explicit QuilvaneTcpServer(std::int32_t handle);
    ~QuilvaneTcpServer();
    QuilvaneTcpServer(const QuilvaneTcpServer&) = delete;
    QuilvaneTcpServer& operator=(const QuilvaneTcpServer&) = delete;

    // True when listening on the port on every local address.
    bool start(std::uint16_t port);
    // The same bytes to every connected device.
    void sendToClients(const std::uint8_t* data, int length);
    // Tells every thread to end, without waiting for them; stop() still
    // joins them. Lets several connections wind down at once.
    void requestStop();
    // Idempotent; every thread of the object has ended when it returns.
    void stop();

  private:
    // Each connection's stream has its own run in the queue and its own
    // reassembly cache (see StreamChunkQueue), which go with the connection.
    struct ClientSource {
        net::Socket sock = net::kInvalidSocket;
        std::int32_t handle = 0;
    };
    using ClientQueue = StreamChunkQueue<ClientSource>;

    void acceptLoop();
    // Starts the device's thread, or refuses the device when none can be made.
    void serveClient(net::Socket client);
    void clientLoop(net::Socket sock, const ClientQueue::StreamPtr& stream);
    void processLoop();
    // Decodes the stream's waiting bytes, taken into `taken`: waiting for
    // the stream's processing mutex, or, unless `wait`, only if it is free.
    void processStream(ClientQueue::Stream& stream, std::vector<std::uint8_t>& taken, bool wait);
    void joinFinishedClients();
    bool sendToClient(net::Socket sock, const std::uint8_t* data, int length);

    std::atomic<net::Socket> listenSocket{net::kInvalidSocket};
    // Every thread runs while it is set.
    std::atomic<bool> running{false};
    // From a successful start until stop begins: only the caller that
    // clears it tears the server down.
    std::atomic<bool> live{false};
    platform::Thread acceptThread;
    platform::Thread processThread;
    std::mutex clientsMutex;
    std::unordered_map<net::Socket, platform::Thread> clientThreads;
    // Threads of devices that left by themselves; joined later instead of
    // detached, so no thread ever outlives the object.
    std::vector<platform::Thread> finishedClients;
    std::int32_t handle;
    ClientQueue chunkQueue;
};

}  // namespace quilvane
