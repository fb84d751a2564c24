// Connection of type 1: we connect to the device's TCP server. A receive
// thread reads chunks and queues them; a processing thread reassembles and
// decodes them into the receive frame store under this connection's handle.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/net.h"
#include "platform/thread.h"
#include "transport/chunk_queue.h"

namespace quilvane {

class QuilvaneTcpClient {
  public:
    explicit QuilvaneTcpClient(std::int32_t handle);
    ~QuilvaneTcpClient();
    QuilvaneTcpClient(const QuilvaneTcpClient&) = delete;
    QuilvaneTcpClient& operator=(const QuilvaneTcpClient&) = delete;

    // 0 when connected (also when it already was), -1 when the attempt
    // failed; a failed attempt leaves the object ready for the next one.
    int connectToServer();
    // Bytes the socket took, or -1.
    int send(const std::uint8_t* data, int length);
    // Tells both threads to end, without waiting for them; disconnect()
    // still joins them. Lets several connections wind down at once. A
    // connection attempt under way gives up, and no later one is made.
    void requestStop();
    bool closing() const { return stopRequested.load(); }
    // Idempotent; must not run on the object's own threads.
    void disconnect();

    // Set by the opener: the device, and the local address to bind to
    // (bound only when both localIp and localPort are given).
    std::string serverIp;
    std::uint16_t serverPort = 0;
    std::string localIp;
    std::uint16_t localPort = 0;

  private:
    struct ReceivedChunk {
        std::vector<std::uint8_t> data;
        std::int32_t handle = 0;
    };

    void receiveLoop();
    void processLoop();
    void processChunk(const ReceivedChunk& chunk);
    void closeFailedAttempt();

    std::atomic<net::Socket> sock{net::kInvalidSocket};
    std::int32_t handle;
    // Both threads run while it is set; sends are refused once it is clear.
    std::atomic<bool> connected{false};
    // From a successful connect until disconnect begins: only the caller
    // that clears it tears the connection down.
    std::atomic<bool> live{false};
    // Set once by requestStop: the object is being closed.
    std::atomic<bool> stopRequested{false};
    platform::Thread receiveThread;
    platform::Thread processThread;
    // Held by a send for its whole packet, so a packet that leaves in pieces
    // is never interleaved with another's; disconnect takes it to release
    // the socket, so a send never writes to a descriptor that was closed and
    // handed out again.
    std::mutex sendMutex;
    ChunkQueue<ReceivedChunk> chunkQueue;
    std::mutex cacheMutex;
    std::vector<std::uint8_t> cache;
    std::uint8_t receiveBuffer[4096];
};

}  // namespace quilvane
