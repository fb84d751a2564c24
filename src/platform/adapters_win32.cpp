// Adapter listing from IP Helper's adapter table.
#include <iphlpapi.h>
#include <winsock2.h>
#include <cstdlib>
#include <cstring>

#include "platform/net.h"

namespace quilvane::net {

std::vector<AdapterAddress> listAdapters() {
    std::vector<AdapterAddress> result;
    // One adapter record first, then the size the call asks for; asked
    // again if adapters came between two calls.
    ULONG size = 648;
    IP_ADAPTER_INFO* info = nullptr;
    DWORD rc = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 3 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
        std::free(info);
        info = static_cast<IP_ADAPTER_INFO*>(std::calloc(1, size));
        if (info == nullptr)
            return result;
        rc = GetAdaptersInfo(info, &size);
    }
    if (rc == NO_ERROR) {
        for (IP_ADAPTER_INFO* adapter = info; adapter != nullptr; adapter = adapter->Next) {
            for (IP_ADDR_STRING* entry = &adapter->IpAddressList; entry != nullptr; entry = entry->Next) {
                if (std::strcmp(entry->IpAddress.String, "0.0.0.0") == 0)
                    continue;
                result.push_back({entry->IpAddress.String, entry->IpMask.String});
            }
        }
    }
    std::free(info);
    return result;
}

}  // namespace quilvane::net
