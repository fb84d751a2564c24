// Small POSIX socket layer: an owning descriptor and the few set-ups the
// simulator needs. Errors are returned as text for the caller to print.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "options.h"

namespace sim {

class Socket {
  public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    Socket(Socket&& other) noexcept : fd_(other.release()) {}
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { close(); }

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();
    void close();

  private:
    int fd_ = -1;
};

sockaddr_in toSockaddr(const Endpoint& endpoint);
std::string formatAddress(const sockaddr_in& address);
// The address the socket is bound to, with the port the system chose.
std::string localAddress(const Socket& socket);

Socket listenTcp(const Endpoint& endpoint, std::string& error);
// Connect bounded by timeoutMs; an invalid socket on failure. Every socket
// made here is non-blocking, so that no send outlives the run.
Socket connectTcp(const Endpoint& endpoint, int timeoutMs, std::string& error);
Socket bindUdp(const Endpoint& endpoint, std::string& error);
// Accepts one pending connection, non-blocking, with TCP_NODELAY.
Socket acceptTcp(const Socket& listener);

// Asked while a send waits for room; true gives up.
using GiveUp = std::function<bool()>;

// Sends every byte, waiting out a full send buffer; false on error or when
// giveUp says so.
bool sendAll(int fd, const uint8_t* bytes, size_t count, const GiveUp& giveUp);
// interfaceIndex, when not 0, is the interface the datagram leaves by.
bool sendDatagram(int fd, const uint8_t* bytes, size_t count, const sockaddr_in& to, const GiveUp& giveUp,
                  unsigned interfaceIndex = 0);
// For sockets that use receiveDatagram: each datagram tells the interface it
// came in on.
void enableArrivalInterface(const Socket& socket);
void allowBroadcast(const Socket& socket);
// One datagram: its length, or -1. interfaceIndex is 0 when unknown.
ssize_t receiveDatagram(int fd, std::vector<uint8_t>& buffer, sockaddr_in& source, unsigned& interfaceIndex);
// Closes with SO_LINGER 0 so that the peer sees a reset.
void resetConnection(Socket& socket);

}  // namespace sim
