#include "net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sim {

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.release();
    }
    return *this;
}

int Socket::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void Socket::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

sockaddr_in toSockaddr(const Endpoint& endpoint) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(endpoint.port);
    inet_pton(AF_INET, endpoint.host.c_str(), &address.sin_addr);  // checked when parsing options
    return address;
}

std::string formatAddress(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

std::string localAddress(const Socket& socket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&address), &length);
    return formatAddress(address);
}

namespace {

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
    setInt(socket.fd(), SOL_SOCKET, SO_REUSEADDR, 1);
    sockaddr_in address = toSockaddr(endpoint);
    if (bind(socket.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        error = describe("cannot bind", endpoint, errno);
        return {};
    }
    return socket;
}

}  // namespace

Socket listenTcp(const Endpoint& endpoint, std::string& error) {
    Socket socket = bound(SOCK_STREAM, endpoint, error);
    if (socket.valid() && listen(socket.fd(), 64) != 0) {
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
    sockaddr_in address = toSockaddr(endpoint);
    if (connect(socket.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS) {
            error = describe("cannot connect to", endpoint, errno);
            return {};
        }
        pollfd entry{socket.fd(), POLLOUT, 0};
        if (poll(&entry, 1, timeoutMs) <= 0) {
            error = describe("cannot connect to", endpoint, ETIMEDOUT);
            return {};
        }
        int code = 0;
        socklen_t length = sizeof code;
        getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &code, &length);
        if (code != 0) {
            error = describe("cannot connect to", endpoint, code);
            return {};
        }
    }
    setInt(socket.fd(), IPPROTO_TCP, TCP_NODELAY, 1);
    return socket;
}

Socket bindUdp(const Endpoint& endpoint, std::string& error) {
    return bound(SOCK_DGRAM, endpoint, error);
}

Socket acceptTcp(const Socket& listener) {
    Socket socket(accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (socket.valid()) {
        setInt(socket.fd(), IPPROTO_TCP, TCP_NODELAY, 1);
    }
    return socket;
}

namespace {

// After a failed send: true when it is worth trying again.
bool waitForRoom(int fd, const GiveUp& giveUp) {
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS) {
        return false;
    }
    if (giveUp()) {
        return false;
    }
    pollfd entry{fd, POLLOUT, 0};
    poll(&entry, 1, 50);
    return true;
}

}  // namespace

bool sendAll(int fd, const uint8_t* bytes, size_t count, const GiveUp& giveUp) {
    while (count > 0) {
        ssize_t sent = send(fd, bytes, count, MSG_NOSIGNAL);
        if (sent < 0) {
            if (waitForRoom(fd, giveUp)) {
                continue;
            }
            return false;
        }
        bytes += sent;
        count -= static_cast<size_t>(sent);
    }
    return true;
}

bool sendDatagram(int fd, const uint8_t* bytes, size_t count, const sockaddr_in& to, const GiveUp& giveUp,
                  unsigned interfaceIndex) {
    iovec data{const_cast<uint8_t*>(bytes), count};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr message{};
    message.msg_name = const_cast<sockaddr_in*>(&to);
    message.msg_namelen = sizeof to;
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
    while (sendmsg(fd, &message, 0) < 0) {
        if (!waitForRoom(fd, giveUp)) {
            return false;
        }
    }
    return true;
}

void enableArrivalInterface(const Socket& socket) {
    setInt(socket.fd(), IPPROTO_IP, IP_PKTINFO, 1);
}

void allowBroadcast(const Socket& socket) {
    setInt(socket.fd(), SOL_SOCKET, SO_BROADCAST, 1);
}

ssize_t receiveDatagram(int fd, std::vector<uint8_t>& buffer, sockaddr_in& source, unsigned& interfaceIndex) {
    iovec data{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message{};
    message.msg_name = &source;
    message.msg_namelen = sizeof source;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(fd, &message, 0);
    interfaceIndex = 0;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); n >= 0 && header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(header), sizeof info);
            interfaceIndex = static_cast<unsigned>(info.ipi_ifindex);
        }
    }
    return n;
}

void resetConnection(Socket& socket) {
    linger option{1, 0};
    setsockopt(socket.fd(), SOL_SOCKET, SO_LINGER, &option, sizeof option);
    socket.close();
}

}  // namespace sim
