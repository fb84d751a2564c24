#include "discovery/device_search.h"

#include <mutex>
#include <random>

#include "platform/net.h"

namespace quilvane {

int listAdapterAddresses(std::vector<std::string>& addresses) {
    addresses.clear();
    for (auto& adapter : net::listAdapters())
        addresses.push_back(std::move(adapter.address));
    return static_cast<int>(addresses.size());
}

std::uint16_t randomDiscoveryPort() {
    // Seeded once per process, on first use; guarded since registries may be
    // built from several threads' first calls.
    static std::mutex engineMutex;
    static std::mt19937 engine{std::random_device{}()};
    std::lock_guard lock(engineMutex);
    return static_cast<std::uint16_t>(std::uniform_int_distribution<int>(30000, 50000)(engine));
}

}  // namespace quilvane
