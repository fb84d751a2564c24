// The simulator's own small layer over the operating system: sockets, the
// adapters, and the start and stop of the process. What differs between
// POSIX and Windows stays in net_posix.cpp / net_win32.cpp and
// adapters_posix.cpp / adapters_win32.cpp; the rest of the simulator sees
// only this header. Errors come back as text, in the same words on both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "options.h"

namespace sim {

// Once, first thing: sockets usable, and standard output and error written
// byte for byte (no carriage return before a newline). False, with `error`
// set, when the socket system cannot start.
bool startSystem(std::string& error);
// Ctrl-C and SIGTERM (on Windows a console's Ctrl-C or Ctrl-Break) call
// `stop`, from a signal handler or another thread; a broken connection gives
// a failed send instead of SIGPIPE.
void onStopRequest(void (*stop)());

// An IPv4 address and port, both in host byte order.
struct Address {
    uint32_t ip = 0;
    uint16_t port = 0;
};

// Four decimal numbers up to 255 without leading zeros, dot-separated.
bool parseIpv4(const std::string& text, uint32_t& ip);
Address toAddress(const Endpoint& endpoint);  // its host was checked when parsing options
std::string formatAddress(const Address& address);

class Socket {
  public:
    // A descriptor, or a SOCKET on Windows, whose INVALID_SOCKET is all bits set too.
    using Handle = std::intptr_t;
    static constexpr Handle kInvalid = -1;

    Socket() = default;
    explicit Socket(Handle handle) : handle_(handle) {}
    Socket(Socket&& other) noexcept : handle_(other.release()), device_(other.device_) {}
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { close(); }

    Handle handle() const { return handle_; }
    bool valid() const { return handle_ != kInvalid; }
    Handle release();
    void close();

    // For a layer that has to emulate bindUdp's device (Windows): the
    // interface whose datagrams alone the socket takes (0: any), and whether
    // it was asked for any local address, which localAddress then shows.
    struct Device {
        unsigned index = 0;
        bool anyAddress = false;
    };
    const Device& device() const { return device_; }
    void setDevice(const Device& device) { device_ = device; }

  private:
    Handle handle_ = kInvalid;
    Device device_;
};

// The address the socket is bound to, with the port the system chose.
std::string localAddress(const Socket& socket);

// Every socket made here is non-blocking, so that no send outlives the run.
Socket listenTcp(const Endpoint& endpoint, std::string& error);
// Connect bounded by timeoutMs; an invalid socket on failure.
Socket connectTcp(const Endpoint& endpoint, int timeoutMs, std::string& error);
// With a device, only datagrams that arrive on that interface reach the
// socket, and what it sends leaves by it.
Socket bindUdp(const Endpoint& endpoint, const std::string& device, std::string& error);
// Accepts one pending connection, with TCP_NODELAY.
Socket acceptTcp(const Socket& listener);

// Waits up to timeoutMs until one of `sockets` has input (or an error or
// end to report); which do.
std::vector<bool> waitReadable(const std::vector<const Socket*>& sockets, int timeoutMs);
bool waitReadable(const Socket& socket, int timeoutMs);
bool waitWritable(const Socket& socket, int timeoutMs);

// Besides a byte count, what one read or write can give.
constexpr long kWouldWait = -1;  // nothing to read yet, or no room to write
constexpr long kFailed = -2;     // the connection is broken, or another error

// Bytes read from a connection; 0 once the peer has closed.
long receive(const Socket& socket, uint8_t* bytes, size_t count);
// Bytes written to a connection.
long sendSome(const Socket& socket, const uint8_t* bytes, size_t count);
// One datagram: its length, kWouldWait or kFailed. interfaceIndex, when
// not 0, is the interface it leaves by.
long sendDatagramOnce(const Socket& socket, const uint8_t* bytes, size_t count, const Address& to,
                      unsigned interfaceIndex);
// For sockets that use receiveDatagram's interfaceIndex: each datagram tells
// the interface it came in on.
void enableArrivalInterface(const Socket& socket);
void allowBroadcast(const Socket& socket);
// One datagram: its length, or a negative result. interfaceIndex is 0 when unknown.
long receiveDatagram(const Socket& socket, std::vector<uint8_t>& buffer, Address& source,
                     unsigned& interfaceIndex);

// Asked while a send waits for room; true gives up.
using GiveUp = std::function<bool()>;

// Sends every byte, waiting out a full send buffer; false on error or when
// giveUp says so.
bool sendAll(const Socket& socket, const uint8_t* bytes, size_t count, const GiveUp& giveUp);
bool sendDatagram(const Socket& socket, const uint8_t* bytes, size_t count, const Address& to,
                  const GiveUp& giveUp, unsigned interfaceIndex = 0);

// Our side sends no more: the peer reads the end of the stream.
void shutdownSending(const Socket& socket);
// Closes with SO_LINGER 0 so that the peer sees a reset.
void resetConnection(Socket& socket);

// A network interface and its IPv4 addresses.
struct Adapter {
    struct Ipv4 {
        uint32_t address = 0;
        uint32_t netmask = 0;
    };
    unsigned index = 0;
    std::string name;         // as --device gives it: "eth0"; on Windows the friendly name
    bool broadcasts = false;  // neither loopback nor point-to-point
    std::vector<Ipv4> ipv4;
};

std::vector<Adapter> listAdapters();

}  // namespace sim
