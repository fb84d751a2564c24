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
inline constexpr int kErrInterrupted = 10004;   // WSAEINTR
inline constexpr int kErrWouldBlock = 10035;    // WSAEWOULDBLOCK
inline constexpr int kErrConnReset = 10054;     // WSAECONNRESET
inline constexpr int kErrNotConnected = 10057;  // WSAENOTCONN
inline constexpr int kErrShutdown = 10058;      // WSAESHUTDOWN
inline constexpr int kErrTimedOut = 10060;      // WSAETIMEDOUT

// An IPv4 endpoint; address and port in host order.
struct Endpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
};

// Pairs WSAStartup / WSACleanup; nothing to do on Linux.
void startup();
void cleanup();

int lastError();

Socket openTcp();
Socket openUdp();
// Wakes a call blocked on the socket in another thread, then releases it.
void closeSocket(Socket s);
// Ends both directions; a blocked recv on the socket returns.
void shutdownBoth(Socket s);

bool setReuseAddress(Socket s);
bool setNoDelay(Socket s);
bool setSendBufferSize(Socket s, int bytes);
bool setBroadcast(Socket s);
bool setReceiveTimeout(Socket s, int milliseconds);
bool setNonBlocking(Socket s, bool on);

bool bindTo(Socket s, const Endpoint& local);
bool listenOn(Socket s);
// Returns 0 or -1 (lastError() kErrWouldBlock while a non-blocking connect runs).
int connectTo(Socket s, const Endpoint& remote);
// select() on the write set: >0 ready, 0 time-out, <0 failure.
int waitWritable(Socket s, int milliseconds);
// SO_ERROR, as a Windows Sockets error number (0: none).
int pendingError(Socket s);
Socket acceptFrom(Socket listener, Endpoint* peer);

// Byte counts, or -1 on failure.
int sendBytes(Socket s, const void* data, int length);
int receiveBytes(Socket s, void* buffer, int capacity);
int sendTo(Socket s, const void* data, int length, const Endpoint& to);
int receiveFrom(Socket s, void* buffer, int capacity, Endpoint* from);

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
