// Network interfaces from IP Helper's GetAdaptersAddresses. The friendly
// name is what --device matches (wine gives the Linux name, e.g. "eth0").
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which it needs.
#include <iphlpapi.h>

#include "net.h"

namespace sim {
namespace {

std::string utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
        out.pop_back();  // the terminating zero
    }
    return out;
}

}  // namespace

std::vector<Adapter> listAdapters() {
    std::vector<Adapter> adapters;
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    // The size the call asks for, asked again if adapters came between two calls.
    std::vector<unsigned char> buffer;
    ULONG size = 16384;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.assign(size, 0);
        result = GetAdaptersAddresses(AF_INET, flags, nullptr,
                                      reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (result != NO_ERROR) {
        return adapters;
    }
    for (const auto* it = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data()); it != nullptr;
         it = it->Next) {
        Adapter& adapter = adapters.emplace_back();
        adapter.index = it->IfIndex;
        adapter.name = utf8(it->FriendlyName);
        adapter.broadcasts = it->IfType != IF_TYPE_SOFTWARE_LOOPBACK && it->IfType != IF_TYPE_PPP &&
                             it->IfType != IF_TYPE_TUNNEL;
        for (const IP_ADAPTER_UNICAST_ADDRESS* address = it->FirstUnicastAddress; address != nullptr;
             address = address->Next) {
            if (address->Address.lpSockaddr->sa_family != AF_INET) {
                continue;
            }
            const auto* in = reinterpret_cast<const sockaddr_in*>(address->Address.lpSockaddr);
            const unsigned prefix = address->OnLinkPrefixLength > 32 ? 32 : address->OnLinkPrefixLength;
            adapter.ipv4.push_back(
                {ntohl(in->sin_addr.s_addr), prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix)});
        }
    }
    return adapters;
}

}  // namespace sim
