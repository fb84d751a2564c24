#include "registry/connection_registry.h"

#include <stdexcept>
#include <string>

#include "common/singleton.h"
#include "discovery/device_search.h"
#include "platform/net.h"
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
    // Every socket of the library is made after this, and closed before
    // the registry goes.
    if (const int error = net::startup(); error != 0)
        throw std::runtime_error("Windows Sockets start-up failed: " + std::to_string(error));
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

namespace {

// A connection's transport, out of the registry's maps.
struct Transports {
    std::shared_ptr<QuilvaneTcpClient> client;
    std::shared_ptr<QuilvaneTcpServer> server;
    std::shared_ptr<QuilvaneUdp> udp;

    void requestStop() const {
        if (client)
            client->requestStop();
        if (server)
            server->requestStop();
        if (udp)
            udp->requestStop();
    }
    bool stop() const {
        if (client)
            client->disconnect();
        if (server)
            server->stop();
        if (udp)
            udp->stop();
        return client || server || udp;
    }
};

template <class Map>
typename Map::mapped_type takeOut(Map& map, std::int32_t handle) {
    auto node = map.extract(handle);
    return node ? std::move(node.mapped()) : nullptr;
}

}  // namespace

ConnectionRegistry::~ConnectionRegistry() {
    pauseDiscovery();
    {
        std::lock_guard lock(discoveryMutex);
        for (auto& socket : discoverySockets)
            socket->requestStop();
        for (auto& socket : discoverySockets)
            socket->stop();
    }
    // Every connection is told to end first and joined afterwards, so they
    // all wind down at once.
    std::vector<Transports> all;
    {
        std::lock_guard lock(registryMutex);
        ending = true;
        for (auto& [handle, client] : tcpClients)
            all.push_back({client, nullptr, nullptr});
        for (auto& [handle, server] : tcpServers)
            all.push_back({nullptr, server, nullptr});
        for (auto& [handle, udp] : udpTransports)
            all.push_back({nullptr, nullptr, udp});
        keyToHandle.clear();
        tcpClients.clear();
        tcpServers.clear();
        udpTransports.clear();
        handleTypes.clear();
    }
    for (const auto& transports : all)
        transports.requestStop();
    for (const auto& transports : all)
        transports.stop();
    all.clear();
    {
        // Their clients were stopped above, so each ends within one wait.
        std::unique_lock lock(registryMutex);
        opensDone.wait(lock, [&] { return opensUnderWay == 0; });
    }
    discoverySockets.clear();
    net::cleanup();
}

bool ConnectionRegistry::close(std::int32_t handle) {
    Transports taken;
    {
        std::lock_guard lock(registryMutex);
        taken = {takeOut(tcpClients, handle), takeOut(tcpServers, handle), takeOut(udpTransports, handle)};
        for (auto it = keyToHandle.begin(); it != keyToHandle.end(); ++it) {
            if (it->second == handle) {
                keyToHandle.erase(it);
                break;
            }
        }
        handleTypes.erase(handle);
        ++closesUnderWay;
    }
    // Counted down however the stop ends, or opens would wait for ever.
    struct UnderWay {
        ConnectionRegistry& registry;
        ~UnderWay() {
            {
                std::lock_guard lock(registry.registryMutex);
                --registry.closesUnderWay;
            }
            registry.closesDone.notify_all();
        }
    } underWay{*this};
    const bool stopped = taken.stop();
    taken = {};  // the transports go here, unless a sender still holds one
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
