#include "platform/broadcast_receivers.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <unordered_map>

#include "platform/socket_api.h"

namespace quilvane::net {
namespace {

constexpr int kMaxReceivers = 2;
constexpr std::uint32_t kLimitedBroadcast = 0xFFFFFFFFu;
// Datagrams from other interfaces read and dropped in one call, at most.
constexpr int kMaxDropped = 64;
// What a read found that belongs to no caller.
constexpr int kDropped = -3;

struct Receivers {
    int fds[kMaxReceivers] = {-1, -1};
    int count = 0;
    unsigned interfaceIndex = 0;
};

// Made on first use: the library has no global constructors.
struct Table {
    std::mutex mutex;
    std::unordered_map<int, Receivers> bySocket;
};
Table& table() {
    static Table t;
    return t;
}

struct Interface {
    unsigned index = 0;
    std::uint32_t broadcast = 0;  // 0: none
};

bool findInterface(std::uint32_t address, Interface& found) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return false;
    bool ok = false;
    for (ifaddrs* it = list; it != nullptr && !ok; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET || (it->ifa_flags & IFF_LOOPBACK) ||
            ntohl(reinterpret_cast<sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr) != address)
            continue;
        found.index = ::if_nametoindex(it->ifa_name);
        // From the mask, as Windows has it: an address added without its
        // broadcast address lists itself there.
        const std::uint32_t mask =
            it->ifa_netmask ? ntohl(reinterpret_cast<sockaddr_in*>(it->ifa_netmask)->sin_addr.s_addr) : ~0u;
        if ((it->ifa_flags & IFF_BROADCAST) && mask < 0xFFFFFFFEu)
            found.broadcast = address | ~mask;
        ok = found.index != 0;
    }
    ::freeifaddrs(list);
    return ok;
}

// Shared with the companions of other sockets on the same port; tells the
// interface each datagram came in on.
int openReceiver(std::uint32_t address, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0)
        return -1;
    const int on = 1;
    const sockaddr_in a = toSockaddr(Endpoint{address, port});
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One datagram without waiting. For a companion (interfaceIndex not 0),
// one from another interface is dropped.
int readOne(int fd, unsigned interfaceIndex, void* buffer, int capacity, Endpoint* from) {
    sockaddr_in source{};
    iovec data{buffer, static_cast<size_t>(capacity)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message{};
    message.msg_name = &source;
    message.msg_namelen = sizeof source;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = interfaceIndex != 0 ? control : nullptr;
    message.msg_controllen = interfaceIndex != 0 ? sizeof control : 0;
    const ssize_t n = ::recvmsg(fd, &message, MSG_DONTWAIT);
    if (n < 0)
        return -1;
    if (interfaceIndex != 0) {
        const cmsghdr* c = CMSG_FIRSTHDR(&message);
        while (c != nullptr && !(c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO))
            c = CMSG_NXTHDR(&message, const_cast<cmsghdr*>(c));
        if (c == nullptr || reinterpret_cast<const in_pktinfo*>(CMSG_DATA(c))->ipi_ifindex !=
                                static_cast<int>(interfaceIndex))
            return kDropped;
    }
    // Windows fails a read whose datagram did not fit rather than cut it.
    if (message.msg_flags & MSG_TRUNC) {
        errno = EMSGSIZE;
        return -1;
    }
    if (from)
        *from = fromSockaddr(source);
    return static_cast<int>(n);
}

}  // namespace

void addBroadcastReceivers(int fd, std::uint32_t localAddress) {
    int type = 0;
    socklen_t length = sizeof type;
    if (localAddress == 0 || ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_DGRAM)
        return;
    Interface adapter;
    if (!findInterface(localAddress, adapter))
        return;
    sockaddr_in bound{};
    length = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0)
        return;
    const std::uint16_t port = ntohs(bound.sin_port);

    Receivers receivers;
    receivers.interfaceIndex = adapter.index;
    const bool subnet = adapter.broadcast != 0 && adapter.broadcast != kLimitedBroadcast;
    for (const std::uint32_t address : {subnet ? adapter.broadcast : 0, kLimitedBroadcast}) {
        // Best effort: a port that another socket holds for every address
        // leaves that kind of broadcast unheard, as before.
        if (const int companion = address != 0 ? openReceiver(address, port) : -1; companion >= 0)
            receivers.fds[receivers.count++] = companion;
    }
    if (receivers.count == 0)
        return;
    std::lock_guard lock(table().mutex);
    table().bySocket[fd] = receivers;
}

void forgetBroadcastReceivers(int fd) {
    Receivers receivers;
    {
        std::lock_guard lock(table().mutex);
        auto it = table().bySocket.find(fd);
        if (it == table().bySocket.end())
            return;
        receivers = it->second;
        table().bySocket.erase(it);
    }
    for (int i = 0; i < receivers.count; ++i)
        ::close(receivers.fds[i]);
}

int receiveDatagramWithin(int fd, void* buffer, int capacity, Endpoint* from, int milliseconds) {
    Receivers receivers;
    {
        std::lock_guard lock(table().mutex);
        if (auto it = table().bySocket.find(fd); it != table().bySocket.end())
            receivers = it->second;
    }
    pollfd waits[1 + kMaxReceivers] = {{fd, POLLIN, 0}};
    for (int i = 0; i < receivers.count; ++i)
        waits[1 + i] = pollfd{receivers.fds[i], POLLIN, 0};
    const int count = 1 + receivers.count;

    // Try first, wait only when nothing is there, then try once more.
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < count; ++i) {
            const unsigned only = i == 0 ? 0 : receivers.interfaceIndex;
            for (int dropped = 0; dropped < kMaxDropped; ++dropped) {
                const int n = readOne(waits[i].fd, only, buffer, capacity, from);
                if (n >= 0 || (n == -1 && errno == EMSGSIZE))
                    return n;
                if (n == -1 && (errno == EAGAIN || i != 0))
                    break;  // nothing there; a companion's own failure is none of the caller's
                if (n == -1 && errno != EINTR)
                    return -1;
            }
        }
        if (round == 0) {
            const int ready = ::poll(waits, static_cast<nfds_t>(count), milliseconds);
            if (ready == 0 || (ready < 0 && errno == EINTR))
                return kWaitTimedOut;
            if (ready < 0)
                return -1;
        }
    }
    return kWaitTimedOut;
}

}  // namespace quilvane::net
