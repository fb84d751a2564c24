// Windows Sockets 2, as it is.
#include <atomic>
#include <mutex>

#include "platform/socket_api.h"

namespace quilvane::net {
namespace {

SOCKET raw(Socket s) {
    return static_cast<SOCKET>(s);
}

Socket open(int type, int protocol) {
    SOCKET s = ::socket(AF_INET, type, protocol);
    return s == INVALID_SOCKET ? kInvalidSocket : static_cast<Socket>(s);
}

std::once_flag startOnce;
int startResult = 0;
std::atomic<bool> started{false};

// select() on one socket: >0 ready, 0 time-out, <0 failure.
int waitFor(Socket s, bool writable, int milliseconds) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(raw(s), &set);
    timeval tv{milliseconds / 1000, (milliseconds % 1000) * 1000};
    return ::select(0, writable ? nullptr : &set, writable ? &set : nullptr, nullptr, &tv);
}

// What a wait gave when it did not find the socket ready.
int notReady(int waited) {
    return waited == 0 ? kWaitTimedOut : -1;
}

}  // namespace

bool setIntOption(Socket s, int level, int name, int value) {
    return ::setsockopt(raw(s), level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

int startup() {
    std::call_once(startOnce, [] {
        WSADATA data;
        startResult = ::WSAStartup(MAKEWORD(2, 2), &data);
        started = startResult == 0;
    });
    return startResult;
}

void cleanup() {
    if (started.exchange(false))
        ::WSACleanup();
}

int lastError() {
    return WSAGetLastError();
}

Socket openTcp() {
    return open(SOCK_STREAM, IPPROTO_TCP);
}
Socket openUdp() {
    return open(SOCK_DGRAM, IPPROTO_UDP);
}

void closeSocket(Socket s) {
    if (s != kInvalidSocket)
        ::closesocket(raw(s));
}

void shutdownBoth(Socket s) {
    ::shutdown(raw(s), SD_BOTH);
}

bool setReceiveTimeout(Socket s, int milliseconds) {
    return setIntOption(s, SOL_SOCKET, SO_RCVTIMEO, milliseconds);
}

bool setNonBlocking(Socket s, bool on) {
    u_long mode = on ? 1 : 0;
    return ::ioctlsocket(raw(s), FIONBIO, &mode) == 0;
}

bool bindTo(Socket s, const Endpoint& local) {
    sockaddr_in a = toSockaddr(local);
    return ::bind(raw(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

bool listenOn(Socket s) {
    // Non-blocking, so that a connection that went away between select and
    // accept cannot leave the accept thread waiting for the next one.
    return ::listen(raw(s), SOMAXCONN) == 0 && setNonBlocking(s, true);
}

int connectTo(Socket s, const Endpoint& remote) {
    // Windows refuses these itself; wine would pass them on to the host.
    if (remote.address == 0 || remote.port == 0) {
        ::WSASetLastError(WSAEADDRNOTAVAIL);
        return -1;
    }
    sockaddr_in a = toSockaddr(remote);
    return ::connect(raw(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : -1;
}

int waitWritable(Socket s, int milliseconds) {
    return waitFor(s, true, milliseconds);
}

int pendingError(Socket s) {
    int value = 0;
    int length = sizeof value;
    ::getsockopt(raw(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value), &length);
    return value;
}

int acceptWithin(Socket listener, int milliseconds, Socket* accepted, Endpoint* peer) {
    if (int ready = waitFor(listener, false, milliseconds); ready <= 0)
        return notReady(ready);
    sockaddr_in a{};
    int length = sizeof a;
    SOCKET s = ::accept(raw(listener), reinterpret_cast<sockaddr*>(&a), &length);
    if (s == INVALID_SOCKET)
        return ::WSAGetLastError() == WSAEWOULDBLOCK ? kWaitTimedOut : -1;
    // An accepted socket inherits the listener's non-blocking mode.
    setNonBlocking(static_cast<Socket>(s), false);
    *accepted = static_cast<Socket>(s);
    if (peer)
        *peer = fromSockaddr(a);
    return 0;
}

int receiveWithin(Socket s, void* buffer, int capacity, int milliseconds) {
    if (int ready = waitFor(s, false, milliseconds); ready <= 0)
        return notReady(ready);
    return ::recv(raw(s), static_cast<char*>(buffer), capacity, 0);
}

int receiveFromWithin(Socket s, void* buffer, int capacity, Endpoint* from, int milliseconds) {
    if (int ready = waitFor(s, false, milliseconds); ready <= 0)
        return notReady(ready);
    sockaddr_in a{};
    int length = sizeof a;
    int n =
        ::recvfrom(raw(s), static_cast<char*>(buffer), capacity, 0, reinterpret_cast<sockaddr*>(&a), &length);
    if (n >= 0 && from)
        *from = fromSockaddr(a);
    return n;
}

int sendWithin(Socket s, const void* data, int length, int milliseconds) {
    if (int ready = waitFor(s, true, milliseconds); ready <= 0)
        return notReady(ready);
    return ::send(raw(s), static_cast<const char*>(data), length, 0);
}

int sendTo(Socket s, const void* data, int length, const Endpoint& to) {
    sockaddr_in a = toSockaddr(to);
    return ::sendto(raw(s), static_cast<const char*>(data), length, 0, reinterpret_cast<sockaddr*>(&a),
                    sizeof a);
}

}  // namespace quilvane::net
