// BSD sockets with Windows Sockets semantics: the error numbers, a receive
// time-out reported as a time-out, connects and sends to 0.0.0.0 refused,
// datagrams too long for the buffer reported rather than cut.
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "platform/broadcast_receivers.h"
#include "platform/socket_api.h"

namespace quilvane::net {
namespace {

thread_local int tlsLastError = 0;

int windowsError(int err) {
    switch (err) {
        case EINTR:
            return kErrInterrupted;
        case EAGAIN:  // EWOULDBLOCK is the same number on Linux
        case EINPROGRESS:
            return kErrWouldBlock;
        case EALREADY:
            return 10037;
        case EBADF:
        case ENOTSOCK:
            return 10038;
        case EDESTADDRREQ:
            return 10039;
        case EMSGSIZE:
            return kErrMessageSize;
        case EPROTOTYPE:
            return 10041;
        case ENOPROTOOPT:
            return 10042;
        case EPROTONOSUPPORT:
            return 10043;
        case EOPNOTSUPP:
            return 10045;
        case EAFNOSUPPORT:
            return 10047;
        case EADDRINUSE:
            return 10048;
        case EADDRNOTAVAIL:
            return kErrAddressNotAvailable;
        case ENETDOWN:
            return 10050;
        case ENETUNREACH:
            return 10051;
        case ENETRESET:
            return 10052;
        case ECONNABORTED:
            return 10053;
        case ECONNRESET:
            return kErrConnReset;
        case ENOBUFS:
        case ENOMEM:
            return 10055;
        case EISCONN:
            return 10056;
        case ENOTCONN:
            return kErrNotConnected;
        case EPIPE:
        case ESHUTDOWN:
            return kErrShutdown;
        case ETIMEDOUT:
            return kErrTimedOut;
        case ECONNREFUSED:
            return 10061;
        case EHOSTDOWN:
            return 10064;
        case EHOSTUNREACH:
            return 10065;
        case EMFILE:
        case ENFILE:
            return 10024;
        case EACCES:
        case EPERM:
            return 10013;
        case EFAULT:
            return 10014;
        default:
            return 10022;  // WSAEINVAL
    }
}

int fail(int err) {
    tlsLastError = windowsError(err);
    return -1;
}

int fd(Socket s) {
    return static_cast<int>(s);
}

Socket open(int type, int protocol) {
    int s = ::socket(AF_INET, type | SOCK_CLOEXEC, protocol);
    if (s < 0) {
        fail(errno);
        return kInvalidSocket;
    }
    return static_cast<Socket>(s);
}

// poll() on one socket, again after a signal: >0 ready, 0 time-out, <0 failure.
int waitFor(Socket s, short events, int milliseconds) {
    pollfd p{fd(s), events, 0};
    int r;
    do {
        r = ::poll(&p, 1, milliseconds);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? fail(errno) : r;
}

// The calls below first try without waiting, so that a busy socket costs one
// system call; they wait only when nothing is there.
template <class Attempt>
int attemptWithin(Socket s, short events, int milliseconds, Attempt&& attempt) {
    for (int round = 0; round < 2; ++round) {
        const int n = attempt();
        if (n >= 0 || (errno != EAGAIN && errno != EINTR))
            return n;
        if (round == 0) {
            if (int ready = waitFor(s, events, milliseconds); ready <= 0)
                return ready == 0 ? kWaitTimedOut : -1;
        }
    }
    return kWaitTimedOut;
}

}  // namespace

bool setIntOption(Socket s, int level, int name, int value) {
    if (::setsockopt(fd(s), level, name, &value, sizeof value) != 0)
        return fail(errno), false;
    return true;
}

int startup() {
    return 0;
}
void cleanup() {}

int lastError() {
    return tlsLastError;
}

Socket openTcp() {
    return open(SOCK_STREAM, IPPROTO_TCP);
}
Socket openUdp() {
    return open(SOCK_DGRAM, IPPROTO_UDP);
}

void closeSocket(Socket s) {
    if (s == kInvalidSocket)
        return;
    forgetBroadcastReceivers(fd(s));
    ::close(fd(s));
}

void shutdownBoth(Socket s) {
    if (::shutdown(fd(s), SHUT_RDWR) != 0)
        fail(errno);
}

bool setReceiveTimeout(Socket s, int milliseconds) {
    timeval tv{};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
    if (::setsockopt(fd(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0)
        return fail(errno), false;
    return true;
}

bool setNonBlocking(Socket s, bool on) {
    int flags = ::fcntl(fd(s), F_GETFL);
    if (flags < 0)
        return fail(errno), false;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (::fcntl(fd(s), F_SETFL, flags) != 0)
        return fail(errno), false;
    return true;
}

bool bindTo(Socket s, const Endpoint& local) {
    sockaddr_in a = toSockaddr(local);
    if (::bind(fd(s), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return fail(errno), false;
    addBroadcastReceivers(fd(s), local.address);
    return true;
}

bool listenOn(Socket s) {
    if (::listen(fd(s), SOMAXCONN) != 0)
        return fail(errno), false;
    return setNonBlocking(s, true);
}

int connectTo(Socket s, const Endpoint& remote) {
    if (remote.address == 0 || remote.port == 0)
        return fail(EADDRNOTAVAIL);
    sockaddr_in a = toSockaddr(remote);
    if (::connect(fd(s), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return fail(errno);
    return 0;
}

int waitWritable(Socket s, int milliseconds) {
    return waitFor(s, POLLOUT, milliseconds);
}

int pendingError(Socket s) {
    int value = 0;
    socklen_t length = sizeof value;
    ::getsockopt(fd(s), SOL_SOCKET, SO_ERROR, &value, &length);
    return value == 0 ? 0 : windowsError(value);
}

int acceptWithin(Socket listener, int milliseconds, Socket* accepted, Endpoint* peer) {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    // accept4 does not pass the listener's non-blocking mode on.
    const int n = attemptWithin(listener, POLLIN, milliseconds, [&] {
        length = sizeof a;
        return ::accept4(fd(listener), reinterpret_cast<sockaddr*>(&a), &length, SOCK_CLOEXEC);
    });
    if (n < 0)
        return n == kWaitTimedOut ? n : fail(errno);
    *accepted = static_cast<Socket>(n);
    if (peer)
        *peer = fromSockaddr(a);
    return 0;
}

int receiveWithin(Socket s, void* buffer, int capacity, int milliseconds) {
    const int n = attemptWithin(s, POLLIN, milliseconds, [&] {
        return static_cast<int>(::recv(fd(s), buffer, static_cast<size_t>(capacity), MSG_DONTWAIT));
    });
    return n == -1 ? fail(errno) : n;
}

int receiveFromWithin(Socket s, void* buffer, int capacity, Endpoint* from, int milliseconds) {
    const int n = receiveDatagramWithin(fd(s), buffer, capacity, from, milliseconds);
    return n == -1 ? fail(errno) : n;
}

int sendWithin(Socket s, const void* data, int length, int milliseconds) {
    const int n = attemptWithin(s, POLLOUT, milliseconds, [&] {
        return static_cast<int>(
            ::send(fd(s), data, static_cast<size_t>(length), MSG_DONTWAIT | MSG_NOSIGNAL));
    });
    // Linux says EPIPE once the peer has reset or closed the connection,
    // where Windows says WSAECONNRESET; the library never half-closes a
    // socket it still sends on.
    return n == -1 ? fail(errno == EPIPE ? ECONNRESET : errno) : n;
}

int sendTo(Socket s, const void* data, int length, const Endpoint& to) {
    if (to.address == 0)
        return fail(EADDRNOTAVAIL);
    sockaddr_in a = toSockaddr(to);
    ssize_t n = ::sendto(fd(s), data, static_cast<size_t>(length), MSG_NOSIGNAL,
                         reinterpret_cast<sockaddr*>(&a), sizeof a);
    return n < 0 ? fail(errno) : static_cast<int>(n);
}

}  // namespace quilvane::net
