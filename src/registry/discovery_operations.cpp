// The registry's side of a device search: the discovery sockets it owns are
// cleared, let run, paused and read here, always under discoveryMutex.
#include "common/log.h"
#include "common/log_lines.h"
#include "discovery/device_search.h"
#include "registry/connection_registry.h"
#include "transport/quilvane_udp.h"

namespace quilvane {

void ConnectionRegistry::clearDiscoveryResults() {
    std::lock_guard lock(discoveryMutex);
    for (auto& socket : discoverySockets)
        socket->clearResults();
}

void ConnectionRegistry::resumeDiscovery() {
    std::lock_guard lock(discoveryMutex);
    for (auto& socket : discoverySockets) {
        socket->setPaused(false);
        logInfo(log_lines::kUdpReceiveResumed);
        socket->send(kSearchRequest.data(), static_cast<int>(kSearchRequest.size()));
    }
}

void ConnectionRegistry::pauseDiscovery() {
    std::lock_guard lock(discoveryMutex);
    for (auto& socket : discoverySockets) {
        socket->setPaused(true);
        logInfo(log_lines::kUdpReceivePaused);
    }
}

// Every discovery socket's list, in list order, as one snapshot.
template <class Record>
std::vector<Record> ConnectionRegistry::gather(std::vector<Record> (QuilvaneUdp::*results)()) {
    std::vector<Record> all;
    std::lock_guard lock(discoveryMutex);
    for (auto& socket : discoverySockets) {
        auto some = ((*socket).*results)();
        all.insert(all.end(), some.begin(), some.end());
    }
    return all;
}

std::vector<DeviceInfo> ConnectionRegistry::gatherDeviceInfos() {
    return gather(&QuilvaneUdp::deviceInfoResults);
}

std::vector<PelixDeviceRecord> ConnectionRegistry::gatherPelixRecords() {
    return gather(&QuilvaneUdp::pelixResults);
}

}  // namespace quilvane
