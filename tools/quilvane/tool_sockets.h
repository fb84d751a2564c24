// The tool's own sockets, for what the library does not do (quilvane serve's
// listening socket, its clients and its beacon). Every OS socket call of the
// tool is in tool_sockets.cpp, POSIX or Winsock; failures come out as text,
// never as a platform's error number. Addresses are IPv4 in host order.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace toolnet {

// Winsock wants WSAStartup before the first socket; nothing to do on POSIX.
class SocketSystem {
  public:
    SocketSystem();
    ~SocketSystem();
    SocketSystem(const SocketSystem&) = delete;
    SocketSystem& operator=(const SocketSystem&) = delete;
    // Why sockets cannot be used; empty when they can.
    const std::string& error() const { return error_; }

  private:
    std::string error_;
};

struct Endpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
};
std::string formatEndpoint(const Endpoint& endpoint);

// An open socket, closed on destruction. Every socket made here is non-blocking.
class Socket {
  public:
    Socket() = default;
    ~Socket() { close(); }
    Socket(Socket&& other) noexcept : handle_(other.handle_) { other.handle_ = kInvalid; }
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool valid() const { return handle_ != kInvalid; }
    void close();
    // The OS handle, for tool_sockets.cpp only.
    std::intptr_t handle() const { return handle_; }
    static Socket adopt(std::intptr_t handle) {
        Socket socket;
        socket.handle_ = handle;
        return socket;
    }

  private:
    static constexpr std::intptr_t kInvalid = -1;
    std::intptr_t handle_ = kInvalid;
};

enum class IoStatus { Done, WouldBlock, Closed, Failed };
struct IoResult {
    IoStatus status = IoStatus::Failed;
    std::size_t count = 0;
};

Socket listenTcp(const Endpoint& at, std::string& error);
// The address and port a socket is bound to (the port the system chose for 0).
Endpoint localEndpoint(const Socket& socket);
// One waiting connection, with TCP_NODELAY and a send buffer of `sendBuffer`
// bytes (0: the system's); invalid when none waits.
Socket acceptTcp(const Socket& listener, Endpoint& peer, int sendBuffer);
IoResult receiveBytes(const Socket& socket, char* into, std::size_t size);
IoResult sendBytes(const Socket& socket, const char* bytes, std::size_t count);

struct PollEntry {
    const Socket* socket = nullptr;
    bool wantRead = false;
    bool wantWrite = false;
    bool readable = false;  // also set for a closed or failed socket, so that its read tells
    bool writable = false;
};
// Waits until one entry is ready or `timeout` passed; false when the wait
// itself failed.
bool pollSockets(std::vector<PollEntry>& entries, std::chrono::microseconds timeout);

// Lets other threads end a pollSockets wait: a datagram to itself on loopback.
class Waker {
  public:
    explicit Waker(std::string& error);
    bool valid() const { return socket_.valid(); }
    const Socket& socket() const { return socket_; }
    void wake() const;
    void drain() const;

  private:
    Socket socket_;
};

// A local IPv4 subnet that has a broadcast address (loopback has none).
struct Subnet {
    std::uint32_t address = 0;
    std::uint32_t broadcast = 0;
};
std::vector<Subnet> broadcastSubnets(std::string& error);
// A UDP socket bound to `local` (port 0) that may broadcast.
Socket broadcastSender(std::uint32_t local, std::string& error);
bool sendDatagram(const Socket& socket, const Endpoint& to, const std::string& bytes, std::string& error);
std::string hostName();

}  // namespace toolnet
