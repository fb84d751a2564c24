#include "tool_sockets.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h.
#include <iphlpapi.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

#include <algorithm>

namespace toolnet {

namespace {

#if defined(_WIN32)
using Native = SOCKET;
using Length = int;
constexpr Native kNoSocket = INVALID_SOCKET;

std::string lastErrorText() {
    const int code = WSAGetLastError();
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    std::string result(text, n);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == '.'))
        result.pop_back();
    return result.empty() ? "socket failure " + std::to_string(code) : result;
}

bool wouldBlock() {
    return WSAGetLastError() == WSAEWOULDBLOCK;
}

bool interrupted() {
    return WSAGetLastError() == WSAEINTR;
}

void closeNative(Native s) {
    closesocket(s);
}

bool makeNonBlocking(Native s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}

Native openSocket(int type) {
    const Native s = socket(AF_INET, type, 0);
    if (s != kNoSocket && !makeNonBlocking(s)) {
        closesocket(s);
        return kNoSocket;
    }
    return s;
}

constexpr int kSendFlags = 0;
#else
using Native = int;
using Length = socklen_t;
constexpr Native kNoSocket = -1;

std::string lastErrorText() {
    return std::strerror(errno);
}

bool wouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

bool interrupted() {
    return errno == EINTR;
}

void closeNative(Native s) {
    ::close(s);
}

Native openSocket(int type) {
    return socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

constexpr int kSendFlags = MSG_NOSIGNAL;  // a client that went away is an error, not SIGPIPE
#endif

Native native(const Socket& socket) {
    return static_cast<Native>(socket.handle());
}

Socket wrap(Native s) {
    return s == kNoSocket ? Socket() : Socket::adopt(static_cast<std::intptr_t>(s));
}

void setInt(Native s, int level, int option, int value) {
    setsockopt(s, level, option, reinterpret_cast<const char*>(&value), sizeof value);
}

sockaddr_in toSockaddr(const Endpoint& endpoint) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(endpoint.address);
    address.sin_port = htons(endpoint.port);
    return address;
}

Endpoint fromSockaddr(const sockaddr_in& address) {
    return {ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

Socket boundSocket(int type, const Endpoint& at, std::string& error) {
    Socket socket = wrap(openSocket(type));
    if (!socket.valid()) {
        error = "cannot create a socket: " + lastErrorText();
        return {};
    }
#if !defined(_WIN32)
    // Lets a restarted server take its port back at once. Windows' version
    // of the option would let another program take a port in use.
    setInt(native(socket), SOL_SOCKET, SO_REUSEADDR, 1);
#endif
    const sockaddr_in address = toSockaddr(at);
    if (bind(native(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = "cannot bind to " + formatEndpoint(at) + ": " + lastErrorText();
        return {};
    }
    return socket;
}

}  // namespace

SocketSystem::SocketSystem() {
#if defined(_WIN32)
    WSADATA data;
    if (const int code = WSAStartup(MAKEWORD(2, 2), &data); code != 0) {
        error_ = "Winsock cannot start (" + std::to_string(code) + ")";
    }
#endif
}

SocketSystem::~SocketSystem() {
#if defined(_WIN32)
    if (error_.empty())
        WSACleanup();
#endif
}

std::string formatEndpoint(const Endpoint& endpoint) {
    const std::uint32_t a = endpoint.address;
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." +
           std::to_string((a >> 8) & 0xFF) + "." + std::to_string(a & 0xFF) + ":" +
           std::to_string(endpoint.port);
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = other.handle_;
        other.handle_ = kInvalid;
    }
    return *this;
}

void Socket::close() {
    if (handle_ != kInvalid) {
        closeNative(static_cast<Native>(handle_));
        handle_ = kInvalid;
    }
}

Socket listenTcp(const Endpoint& at, std::string& error) {
    Socket socket = boundSocket(SOCK_STREAM, at, error);
    if (socket.valid() && listen(native(socket), SOMAXCONN) != 0) {
        error = "cannot listen on " + formatEndpoint(at) + ": " + lastErrorText();
        return {};
    }
    return socket;
}

Endpoint localEndpoint(const Socket& socket) {
    sockaddr_in address{};
    Length length = sizeof address;
    getsockname(native(socket), reinterpret_cast<sockaddr*>(&address), &length);
    return fromSockaddr(address);
}

Socket acceptTcp(const Socket& listener, Endpoint& peer, int sendBuffer) {
    sockaddr_in address{};
    Length length = sizeof address;
#if defined(_WIN32)
    Socket socket = wrap(accept(native(listener), reinterpret_cast<sockaddr*>(&address), &length));
    if (socket.valid() && !makeNonBlocking(native(socket)))
        return {};
#else
    Socket socket = wrap(accept4(native(listener), reinterpret_cast<sockaddr*>(&address), &length,
                                 SOCK_CLOEXEC | SOCK_NONBLOCK));
#endif
    if (!socket.valid())
        return {};
    peer = fromSockaddr(address);
    setInt(native(socket), IPPROTO_TCP, TCP_NODELAY, 1);
    if (sendBuffer > 0)
        setInt(native(socket), SOL_SOCKET, SO_SNDBUF, sendBuffer);
    return socket;
}

IoResult receiveBytes(const Socket& socket, char* into, std::size_t size) {
    while (true) {
        const auto n = recv(native(socket), into, static_cast<int>(std::min<std::size_t>(size, 1 << 20)), 0);
        if (n > 0)
            return {IoStatus::Done, static_cast<std::size_t>(n)};
        if (n == 0)
            return {IoStatus::Closed, 0};
        if (interrupted())
            continue;
        return {wouldBlock() ? IoStatus::WouldBlock : IoStatus::Failed, 0};
    }
}

IoResult sendBytes(const Socket& socket, const char* bytes, std::size_t count) {
    while (true) {
        const auto n =
            send(native(socket), bytes, static_cast<int>(std::min<std::size_t>(count, 1 << 20)), kSendFlags);
        if (n >= 0)
            return {IoStatus::Done, static_cast<std::size_t>(n)};
        if (interrupted())
            continue;
        return {wouldBlock() ? IoStatus::WouldBlock : IoStatus::Failed, 0};
    }
}

bool pollSockets(std::vector<PollEntry>& entries, std::chrono::microseconds timeout) {
#if defined(_WIN32)
    std::vector<WSAPOLLFD> fds(entries.size());
#else
    std::vector<pollfd> fds(entries.size());
#endif
    for (std::size_t i = 0; i < entries.size(); ++i) {
        fds[i].fd = native(*entries[i].socket);
        fds[i].events =
            static_cast<short>((entries[i].wantRead ? POLLIN : 0) | (entries[i].wantWrite ? POLLOUT : 0));
        fds[i].revents = 0;
    }
    timeout = std::max(timeout, std::chrono::microseconds(0));
#if defined(_WIN32)
    // Milliseconds, rounded up so that a timer is never woken early.
    const int n =
        WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), static_cast<INT>((timeout.count() + 999) / 1000));
    if (n == SOCKET_ERROR)
        return false;
#else
    const timespec wait{static_cast<time_t>(timeout.count() / 1000000),
                        static_cast<long>(timeout.count() % 1000000) * 1000};
    if (ppoll(fds.data(), fds.size(), &wait, nullptr) < 0 && errno != EINTR)
        return false;
#endif
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const short got = fds[i].revents;
        entries[i].readable = (got & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
        entries[i].writable = (got & POLLOUT) != 0;
    }
    return true;
}

Waker::Waker(std::string& error) {
    constexpr std::uint32_t kLoopback = 0x7F000001;
    Socket socket = boundSocket(SOCK_DGRAM, {kLoopback, 0}, error);
    if (!socket.valid())
        return;
    const sockaddr_in self = toSockaddr(localEndpoint(socket));
    if (connect(native(socket), reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0) {
        error = "cannot connect a loopback socket to itself: " + lastErrorText();
        return;
    }
    socket_ = std::move(socket);
}

void Waker::wake() const {
    const char byte = 1;
    send(native(socket_), &byte, 1, kSendFlags);  // a full buffer already holds a wake-up
}

void Waker::drain() const {
    char bytes[256];
    while (recv(native(socket_), bytes, sizeof bytes, 0) > 0) {
    }
}

std::vector<Subnet> broadcastSubnets(std::string& error) {
    std::vector<Subnet> subnets;
#if defined(_WIN32)
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        result = GetAdaptersAddresses(
            AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER, nullptr,
            reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (result != NO_ERROR) {
        error = "cannot list the network adapters (" + std::to_string(result) + ")";
        return subnets;
    }
    for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter != nullptr;
         adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp || adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK)
            continue;
        for (auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr; unicast = unicast->Next) {
            const auto* address = reinterpret_cast<const sockaddr_in*>(unicast->Address.lpSockaddr);
            const unsigned prefix = unicast->OnLinkPrefixLength;
            if (address->sin_family != AF_INET || prefix == 0 || prefix >= 31)
                continue;
            const std::uint32_t ip = ntohl(address->sin_addr.s_addr);
            subnets.push_back({ip, ip | (0xFFFFFFFFu >> prefix)});
        }
    }
#else
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        error = "cannot list the network interfaces: " + lastErrorText();
        return subnets;
    }
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_UP) == 0 ||
            (i->ifa_flags & IFF_LOOPBACK) != 0 || (i->ifa_flags & IFF_BROADCAST) == 0 ||
            i->ifa_broadaddr == nullptr) {
            continue;
        }
        subnets.push_back({ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr),
                           ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_broadaddr)->sin_addr.s_addr)});
    }
    freeifaddrs(list);
#endif
    return subnets;
}

Socket broadcastSender(std::uint32_t local, std::string& error) {
    Socket socket = boundSocket(SOCK_DGRAM, {local, 0}, error);
    if (socket.valid())
        setInt(native(socket), SOL_SOCKET, SO_BROADCAST, 1);
    return socket;
}

bool sendDatagram(const Socket& socket, const Endpoint& to, const std::string& bytes, std::string& error) {
    const sockaddr_in address = toSockaddr(to);
    const auto n = sendto(native(socket), bytes.data(), static_cast<int>(bytes.size()), kSendFlags,
                          reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (n < 0) {
        error = "cannot send to " + formatEndpoint(to) + ": " + lastErrorText();
        return false;
    }
    return true;
}

std::string hostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "quilvane";
    return name;
}

}  // namespace toolnet
