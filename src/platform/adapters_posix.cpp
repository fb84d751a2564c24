// Adapter listing from getifaddrs, in the shape the Windows adapter table gives:
// loopback is no adapter there, so it is left out here too.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include "platform/net.h"

namespace quilvane::net {

std::vector<AdapterAddress> listAdapters() {
    std::vector<AdapterAddress> result;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return result;
    for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET)
            continue;
        if (it->ifa_flags & IFF_LOOPBACK)
            continue;
        auto address = ntohl(reinterpret_cast<sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr);
        if (address == 0)
            continue;
        std::uint32_t mask = 0;
        if (it->ifa_netmask != nullptr)
            mask = ntohl(reinterpret_cast<sockaddr_in*>(it->ifa_netmask)->sin_addr.s_addr);
        result.push_back({formatAddress(address), formatAddress(mask)});
    }
    ::freeifaddrs(list);
    return result;
}

}  // namespace quilvane::net
