// Network interfaces from getifaddrs, which lists each interface (once per
// address family) with its flags and each IPv4 address with its netmask.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include "net.h"

namespace sim {

std::vector<Adapter> listAdapters() {
    std::vector<Adapter> adapters;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return adapters;
    }
    for (const ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        const unsigned index = if_nametoindex(it->ifa_name);
        Adapter* adapter = nullptr;
        for (Adapter& known : adapters) {
            adapter = known.index == index ? &known : adapter;
        }
        if (adapter == nullptr) {
            adapter = &adapters.emplace_back();
            adapter->index = index;
            adapter->name = it->ifa_name;
            adapter->broadcasts = (it->ifa_flags & IFF_BROADCAST) != 0;
        }
        if (it->ifa_addr != nullptr && it->ifa_addr->sa_family == AF_INET && it->ifa_netmask != nullptr) {
            adapter->ipv4.push_back(
                {ntohl(reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr),
                 ntohl(reinterpret_cast<const sockaddr_in*>(it->ifa_netmask)->sin_addr.s_addr)});
        }
    }
    freeifaddrs(list);
    return adapters;
}

}  // namespace sim
