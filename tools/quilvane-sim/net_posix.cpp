// The socket layer on POSIX systems.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "net.h"

namespace sim {

bool startSystem(std::string&) {
    return true;
}

namespace {

void (*stopRequested)() = nullptr;

extern "C" void onSignal(int) {
    stopRequested();
}

}  // namespace

void onStopRequest(void (*stop)()) {
    stopRequested = stop;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

void Socket::close() {
    if (handle_ != kInvalid) {
        ::close(static_cast<int>(handle_));
        handle_ = kInvalid;
    }
}

namespace {

int fdOf(const Socket& socket) {
    return static_cast<int>(socket.handle());
}

sockaddr_in toSockaddr(const Address& address) {
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_port = htons(address.port);
    out.sin_addr.s_addr = htonl(address.ip);
    return out;
}

Address fromSockaddr(const sockaddr_in& address) {
    return {ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

std::string describe(const char* what, const Endpoint& endpoint, int code) {
    return std::string(what) + " " + endpoint.host + ":" + std::to_string(endpoint.port) + ": " +
           std::strerror(code);
}

void setInt(int fd, int level, int option, int value) {
    setsockopt(fd, level, option, &value, sizeof value);
}

Socket bound(int type, const Endpoint& endpoint, std::string& error) {
    Socket socket(::socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket.valid()) {
        error = describe("cannot create a socket for", endpoint, errno);
        return {};
    }
    setInt(fdOf(socket), SOL_SOCKET, SO_REUSEADDR, 1);
    const sockaddr_in address = toSockaddr(toAddress(endpoint));
    if (bind(fdOf(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = describe("cannot bind", endpoint, errno);
        return {};
    }
    return socket;
}

bool isTransient(int code) {
    return code == EINTR || code == EAGAIN || code == EWOULDBLOCK;
}

}  // namespace

std::string localAddress(const Socket& socket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fdOf(socket), reinterpret_cast<sockaddr*>(&address), &length);
    return formatAddress(fromSockaddr(address));
}

Socket listenTcp(const Endpoint& endpoint, std::string& error) {
    Socket socket = bound(SOCK_STREAM, endpoint, error);
    if (socket.valid() && listen(fdOf(socket), 64) != 0) {
        error = describe("cannot listen on", endpoint, errno);
        return {};
    }
    return socket;
}

Socket connectTcp(const Endpoint& endpoint, int timeoutMs, std::string& error) {
    Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket.valid()) {
        error = describe("cannot create a socket for", endpoint, errno);
        return {};
    }
    const sockaddr_in address = toSockaddr(toAddress(endpoint));
    if (connect(fdOf(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS) {
            error = describe("cannot connect to", endpoint, errno);
            return {};
        }
        if (!waitWritable(socket, timeoutMs)) {
            error = describe("cannot connect to", endpoint, ETIMEDOUT);
            return {};
        }
        int code = 0;
        socklen_t length = sizeof code;
        getsockopt(fdOf(socket), SOL_SOCKET, SO_ERROR, &code, &length);
        if (code != 0) {
            error = describe("cannot connect to", endpoint, code);
            return {};
        }
    }
    setInt(fdOf(socket), IPPROTO_TCP, TCP_NODELAY, 1);
    return socket;
}

Socket bindUdp(const Endpoint& endpoint, const std::string& device, std::string& error) {
    Socket socket = bound(SOCK_DGRAM, endpoint, error);
    if (socket.valid() && !device.empty() &&
        setsockopt(fdOf(socket), SOL_SOCKET, SO_BINDTODEVICE, device.c_str(),
                   static_cast<socklen_t>(device.size())) != 0) {
        error = "cannot listen on interface " + device;
        return {};
    }
    return socket;
}

Socket acceptTcp(const Socket& listener) {
    Socket socket(accept4(fdOf(listener), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (socket.valid()) {
        setInt(fdOf(socket), IPPROTO_TCP, TCP_NODELAY, 1);
    }
    return socket;
}

std::vector<bool> waitReadable(const std::vector<const Socket*>& sockets, int timeoutMs) {
    std::vector<pollfd> entries;
    for (const Socket* socket : sockets) {
        entries.push_back({fdOf(*socket), POLLIN, 0});
    }
    std::vector<bool> ready(sockets.size());
    if (poll(entries.data(), entries.size(), timeoutMs) > 0) {
        for (size_t i = 0; i < entries.size(); ++i) {
            ready[i] = entries[i].revents != 0;
        }
    }
    return ready;
}

bool waitReadable(const Socket& socket, int timeoutMs) {
    pollfd entry{fdOf(socket), POLLIN, 0};
    return poll(&entry, 1, timeoutMs) > 0;
}

bool waitWritable(const Socket& socket, int timeoutMs) {
    pollfd entry{fdOf(socket), POLLOUT, 0};
    return poll(&entry, 1, timeoutMs) > 0;
}

long receive(const Socket& socket, uint8_t* bytes, size_t count) {
    const ssize_t n = recv(fdOf(socket), bytes, count, 0);
    return n >= 0 ? n : isTransient(errno) ? kWouldWait : kFailed;
}

long sendSome(const Socket& socket, const uint8_t* bytes, size_t count) {
    const ssize_t n = send(fdOf(socket), bytes, count, MSG_NOSIGNAL);
    return n >= 0 ? n : isTransient(errno) || errno == ENOBUFS ? kWouldWait : kFailed;
}

long sendDatagramOnce(const Socket& socket, const uint8_t* bytes, size_t count, const Address& to,
                      unsigned interfaceIndex) {
    sockaddr_in destination = toSockaddr(to);
    iovec data{const_cast<uint8_t*>(bytes), count};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr message{};
    message.msg_name = &destination;
    message.msg_namelen = sizeof destination;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    if (interfaceIndex != 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = IPPROTO_IP;
        header->cmsg_type = IP_PKTINFO;
        header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_ifindex = static_cast<int>(interfaceIndex);
        std::memcpy(CMSG_DATA(header), &info, sizeof info);
    }
    const ssize_t n = sendmsg(fdOf(socket), &message, 0);
    return n >= 0 ? n : isTransient(errno) || errno == ENOBUFS ? kWouldWait : kFailed;
}

void enableArrivalInterface(const Socket& socket) {
    setInt(fdOf(socket), IPPROTO_IP, IP_PKTINFO, 1);
}

void allowBroadcast(const Socket& socket) {
    setInt(fdOf(socket), SOL_SOCKET, SO_BROADCAST, 1);
}

long receiveDatagram(const Socket& socket, std::vector<uint8_t>& buffer, Address& source,
                     unsigned& interfaceIndex) {
    sockaddr_in from{};
    iovec data{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(fdOf(socket), &message, 0);
    interfaceIndex = 0;
    if (n < 0) {
        return isTransient(errno) ? kWouldWait : kFailed;
    }
    source = fromSockaddr(from);
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(header), sizeof info);
            interfaceIndex = static_cast<unsigned>(info.ipi_ifindex);
        }
    }
    return n;
}

void shutdownSending(const Socket& socket) {
    shutdown(fdOf(socket), SHUT_WR);
}

void resetConnection(Socket& socket) {
    linger option{1, 0};
    setsockopt(fdOf(socket), SOL_SOCKET, SO_LINGER, &option, sizeof option);
    socket.close();
}

}  // namespace sim
