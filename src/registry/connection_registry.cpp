#include "registry/connection_registry.h"

#include "common/singleton.h"
#include "discovery/device_search.h"
#include "transport/quilvane_tcp_client.h"
#include "transport/quilvane_tcp_server.h"
#include "transport/quilvane_udp.h"

namespace quilvane {

ConnectionRegistry* ConnectionRegistry::instance() {
    return Singleton<ConnectionRegistry>::instance();
}
void ConnectionRegistry::destroyInstance() {
    Singleton<ConnectionRegistry>::destroy();
}

ConnectionRegistry::ConnectionRegistry() {
    std::vector<std::string> addresses;
    if (listAdapterAddresses(addresses) == 0)
        return;
    const std::uint16_t port = randomDiscoveryPort();
    for (const auto& address : addresses) {
        auto socket = std::make_shared<QuilvaneUdp>();
        socket->initialize(address, port);
        socket->setTarget(kSearchBroadcastAddress, kSearchPort);
        socket->startReceive(true);
        std::lock_guard lock(discoveryMutex);
        discoverySockets.push_back(std::move(socket));
    }
}

ConnectionRegistry::~ConnectionRegistry() {
    pauseDiscovery();
    {
        std::lock_guard lock(discoveryMutex);
        for (auto& socket : discoverySockets)
            socket->stop();
    }
    {
        std::lock_guard lock(registryMutex);
        for (auto& [handle, client] : tcpClients)
            client->disconnect();
        for (auto& [handle, server] : tcpServers)
            server->stop();
        for (auto& [handle, udp] : udpTransports)
            udp->stop();
        keyToHandle.clear();
        tcpClients.clear();
        tcpServers.clear();
        udpTransports.clear();
        handleTypes.clear();
    }
    discoverySockets.clear();
}

bool ConnectionRegistry::close(std::int32_t handle) {
    std::lock_guard lock(registryMutex);
    bool stopped = false;
    if (auto it = tcpClients.find(handle); it != tcpClients.end()) {
        it->second->disconnect();
        tcpClients.erase(it);
        stopped = true;
    }
    if (auto it = tcpServers.find(handle); it != tcpServers.end()) {
        it->second->stop();
        tcpServers.erase(it);
        stopped = true;
    }
    if (auto it = udpTransports.find(handle); it != udpTransports.end()) {
        it->second->stop();
        udpTransports.erase(it);
        stopped = true;
    }
    for (auto it = keyToHandle.begin(); it != keyToHandle.end(); ++it) {
        if (it->second == handle) {
            keyToHandle.erase(it);
            break;
        }
    }
    handleTypes.erase(handle);
    return stopped;
}

bool ConnectionRegistry::isOpen(std::int32_t handle) {
    std::lock_guard lock(registryMutex);
    for (const auto& [key, value] : keyToHandle) {
        if (value == handle)
            return true;
    }
    return false;
}

std::uint32_t ConnectionRegistry::typeOf(std::int32_t handle) {
    std::lock_guard lock(registryMutex);
    auto it = handleTypes.find(handle);
    return it == handleTypes.end() ? 0 : it->second;
}

namespace {
template <class Map>
typename Map::mapped_type lookup(Map& map, std::int32_t handle) {
    auto it = map.find(handle);
    return it == map.end() ? nullptr : it->second;
}
}  // namespace

std::shared_ptr<QuilvaneTcpClient> ConnectionRegistry::tcpClientOf(std::int32_t handle) {
    std::lock_guard lock(registryMutex);
    return lookup(tcpClients, handle);
}

std::shared_ptr<QuilvaneUdp> ConnectionRegistry::udpOf(std::int32_t handle) {
    std::lock_guard lock(registryMutex);
    return lookup(udpTransports, handle);
}

std::shared_ptr<QuilvaneTcpServer> ConnectionRegistry::tcpServerOf(std::int32_t handle) {
    std::lock_guard lock(registryMutex);
    return lookup(tcpServers, handle);
}

}  // namespace quilvane
