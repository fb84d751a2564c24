// The registry's side of a device search: the discovery sockets it owns are
// cleared, let run, paused and read here, always under discoveryMutex.
#include "common/log.h"
#include "discovery/device_search.h"
#include "registry/connection_registry.h"
#include "transport/quilvane_udp.h"

namespace quilvane {

void ConnectionRegistry::clearDiscoveryResults() {
    std::lock_guard lock(discoveryMutex);
    for (auto& socket : discoverySockets) socket->clearResults();
}

void ConnectionRegistry::resumeDiscovery() {
    std::lock_guard lock(discoveryMutex);
    for (auto& socket : discoverySockets) {
        socket->setPaused(false);
        logInfo("UDP receive thread resumed");
        socket->send(kSearchRequest.data(), static_cast<int>(kSearchRequest.size()));
    }
}

void ConnectionRegistry::pauseDiscovery() {
    std::lock_guard lock(discoveryMutex);
    for (auto& socket : discoverySockets) {
        socket->setPaused(true);
        logInfo("UDP receive thread paused");
    }
}

std::vector<DeviceInfo> ConnectionRegistry::gatherDeviceInfos() {
    std::vector<DeviceInfo> all;
    std::lock_guard lock(discoveryMutex);
    for (auto& socket : discoverySockets) {
        auto some = socket->deviceInfoResults();
        all.insert(all.end(), some.begin(), some.end());
    }
    return all;
}

std::vector<PelixDeviceRecord> ConnectionRegistry::gatherPelixRecords() {
    std::vector<PelixDeviceRecord> all;
    std::lock_guard lock(discoveryMutex);
    for (auto& socket : discoverySockets) {
        auto some = socket->pelixResults();
        all.insert(all.end(), some.begin(), some.end());
    }
    return all;
}

}  // namespace quilvane
