// The library's only view of the operating system's network interfaces.
// Windows Sockets and IP Helper behind it on Windows, BSD sockets and
// getifaddrs on Linux. Error numbers are always the Windows Sockets ones, read
// with lastError() right after a failed call, on the same thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quilvane::net {

// Wide enough for a Windows SOCKET and a POSIX descriptor alike.
using Socket = std::uintptr_t;
inline constexpr Socket kInvalidSocket = static_cast<Socket>(-1);

// Windows Sockets error numbers the library tells apart.
inline constexpr int kErrInterrupted = 10004;          // WSAEINTR
inline constexpr int kErrWouldBlock = 10035;           // WSAEWOULDBLOCK
inline constexpr int kErrMessageSize = 10040;          // WSAEMSGSIZE
inline constexpr int kErrAddressNotAvailable = 10049;  // WSAEADDRNOTAVAIL
inline constexpr int kErrConnReset = 10054;            // WSAECONNRESET
inline constexpr int kErrNotConnected = 10057;         // WSAENOTCONN
inline constexpr int kErrShutdown = 10058;             // WSAESHUTDOWN
inline constexpr int kErrTimedOut = 10060;             // WSAETIMEDOUT

// An IPv4 endpoint; address and port in host order.
struct Endpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
};

// Windows Sockets for the whole process: started by the first call, whose
// result every later call repeats (0, or the error number). cleanup() ends
// it once nothing uses a socket any more. Nothing to do on Linux.
int startup();
void cleanup();

int lastError();

Socket openTcp();
Socket openUdp();
// Only once no other thread uses the socket: its number may be handed out
// again at once.
void closeSocket(Socket s);
// Ends both directions: the peer sees the connection end.
void shutdownBoth(Socket s);

bool setReuseAddress(Socket s);
bool setNoDelay(Socket s);
bool setSendBufferSize(Socket s, int bytes);
bool setBroadcast(Socket s);
bool setReceiveTimeout(Socket s, int milliseconds);
bool setNonBlocking(Socket s, bool on);

// A UDP socket bound to one adapter's address also receives what is sent
// to that adapter's broadcast addresses, as on Windows.
bool bindTo(Socket s, const Endpoint& local);
// The listener is non-blocking from here on: only acceptWithin uses it.
bool listenOn(Socket s);
// Returns 0 or -1 (lastError() kErrWouldBlock while a non-blocking connect
// runs). Address 0.0.0.0 or port 0 is refused with kErrAddressNotAvailable,
// as Windows does: it must never reach this host.
int connectTo(Socket s, const Endpoint& remote);
// select() on the write set: >0 ready, 0 time-out, <0 failure.
int waitWritable(Socket s, int milliseconds);
// SO_ERROR, as a Windows Sockets error number (0: none).
int pendingError(Socket s);

// No thread ever waits on a socket for longer than it is told: a closing
// thread only has to clear a flag and wait one such period, and never has to
// close a socket under a call in progress (which Windows forbids).
// Each returns kWaitTimedOut when the socket was not ready in time.
inline constexpr int kWaitTimedOut = -2;

// 0 and *accepted set (a blocking socket), -1 on failure, or kWaitTimedOut.
int acceptWithin(Socket listener, int milliseconds, Socket* accepted, Endpoint* peer);
// Bytes read (0: the peer closed), -1 on failure, or kWaitTimedOut.
int receiveWithin(Socket s, void* buffer, int capacity, int milliseconds);
// One datagram, or -1 (kErrMessageSize when it was longer than capacity:
// nothing of it is returned), or kWaitTimedOut.
int receiveFromWithin(Socket s, void* buffer, int capacity, Endpoint* from, int milliseconds);
// Bytes the socket took, possibly fewer than length; -1 on failure, or
// kWaitTimedOut when it could take none.
int sendWithin(Socket s, const void* data, int length, int milliseconds);
// One datagram; bytes sent or -1.
int sendTo(Socket s, const void* data, int length, const Endpoint& to);

// Handle as written in log lines: an unsigned 32-bit decimal number.
std::uint32_t socketNumber(Socket s);

// inet_pton: false (and *address untouched) when the text is no IPv4 address.
bool parseAddress(const std::string& text, std::uint32_t* address);
// inet_addr: 0xFFFFFFFF for text that does not parse, as for "255.255.255.255".
std::uint32_t addressOrNone(const std::string& text);
// inet_ntop: dotted text.
std::string formatAddress(std::uint32_t address);

struct AdapterAddress {
    std::string address;
    std::string mask;
};
// Every IPv4 address of every adapter with its mask, in adapter order,
// each adapter's addresses in their own order, without "0.0.0.0".
std::vector<AdapterAddress> listAdapters();

}  // namespace quilvane::net
