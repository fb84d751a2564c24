// Windows Sockets 2, as it is.
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

}  // namespace

bool setIntOption(Socket s, int level, int name, int value) {
    return ::setsockopt(raw(s), level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

void startup() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
}

void cleanup() {
    WSACleanup();
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
    return ::listen(raw(s), SOMAXCONN) == 0;
}

int connectTo(Socket s, const Endpoint& remote) {
    sockaddr_in a = toSockaddr(remote);
    return ::connect(raw(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : -1;
}

int waitWritable(Socket s, int milliseconds) {
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(raw(s), &writable);
    timeval tv{milliseconds / 1000, (milliseconds % 1000) * 1000};
    return ::select(0, nullptr, &writable, nullptr, &tv);
}

int pendingError(Socket s) {
    int value = 0;
    int length = sizeof value;
    ::getsockopt(raw(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value), &length);
    return value;
}

Socket acceptFrom(Socket listener, Endpoint* peer) {
    sockaddr_in a{};
    int length = sizeof a;
    SOCKET s = ::accept(raw(listener), reinterpret_cast<sockaddr*>(&a), &length);
    if (s == INVALID_SOCKET)
        return kInvalidSocket;
    if (peer)
        *peer = fromSockaddr(a);
    return static_cast<Socket>(s);
}

int sendBytes(Socket s, const void* data, int length) {
    return ::send(raw(s), static_cast<const char*>(data), length, 0);
}

int receiveBytes(Socket s, void* buffer, int capacity) {
    return ::recv(raw(s), static_cast<char*>(buffer), capacity, 0);
}

int sendTo(Socket s, const void* data, int length, const Endpoint& to) {
    sockaddr_in a = toSockaddr(to);
    return ::sendto(raw(s), static_cast<const char*>(data), length, 0, reinterpret_cast<sockaddr*>(&a),
                    sizeof a);
}

int receiveFrom(Socket s, void* buffer, int capacity, Endpoint* from) {
    sockaddr_in a{};
    int length = sizeof a;
    int n =
        ::recvfrom(raw(s), static_cast<char*>(buffer), capacity, 0, reinterpret_cast<sockaddr*>(&a), &length);
    if (n >= 0 && from)
        *from = fromSockaddr(a);
    return n;
}

}  // namespace quilvane::net
