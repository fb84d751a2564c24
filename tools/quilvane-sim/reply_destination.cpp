#include "reply_destination.h"

#include <ifaddrs.h>
#include <net/if.h>

#include <cstdint>

namespace sim {
namespace {

// The subnet's broadcast address of the interface's first IPv4 address,
// from its netmask as a device computes it: Linux reports an address added
// without "brd" as its own broadcast address. None for /31 and /32.
std::optional<in_addr> broadcastAddressOf(unsigned interfaceIndex) {
    ifaddrs* list = nullptr;
    if (interfaceIndex == 0 || getifaddrs(&list) != 0) {
        return std::nullopt;
    }
    std::optional<in_addr> found;
    for (const ifaddrs* it = list; it != nullptr && !found; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET || it->ifa_netmask == nullptr ||
            !(it->ifa_flags & IFF_BROADCAST) || if_nametoindex(it->ifa_name) != interfaceIndex) {
            continue;
        }
        const uint32_t address = ntohl(reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr);
        const uint32_t hosts = ~ntohl(reinterpret_cast<const sockaddr_in*>(it->ifa_netmask)->sin_addr.s_addr);
        if (hosts >= 3) {
            found = in_addr{htonl(address | hosts)};
        }
    }
    freeifaddrs(list);
    return found;
}

}  // namespace

std::optional<ReplyDestination> replyDestination(ReplyTo replyTo, const sockaddr_in& source,
                                                 unsigned interfaceIndex, std::string& error) {
    if (replyTo == ReplyTo::Unicast) {
        return ReplyDestination{source, 0};
    }
    // The limited broadcast too needs an interface that broadcasts: it must
    // never leave by a route the request did not come from.
    const std::optional<in_addr> subnet = broadcastAddressOf(interfaceIndex);
    if (!subnet) {
        char name[IF_NAMESIZE] = "?";
        if_indextoname(interfaceIndex, name);
        error = std::string("no broadcast reply: interface ") + name + " has no broadcast address";
        return std::nullopt;
    }
    ReplyDestination destination{source, interfaceIndex};
    destination.to.sin_addr.s_addr = replyTo == ReplyTo::Broadcast ? htonl(INADDR_BROADCAST) : subnet->s_addr;
    return destination;
}

}  // namespace sim
