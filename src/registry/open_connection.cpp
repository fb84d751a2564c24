// Opening a connection: the key check, the handle, and the transport of the
// requested type. The key and the handle are taken under registryMutex; a TCP
// client's connection attempts run without it, so that a device that does
// not answer holds up no other call.
#include <cstdio>
#include <cstring>
#include <iterator>

#include "common/log.h"
#include "common/log_lines.h"
#include "registry/connection_registry.h"
#include "transport/quilvane_tcp_client.h"
#include "transport/quilvane_tcp_server.h"
#include "transport/quilvane_udp.h"

namespace quilvane {
namespace {

constexpr int kConnectAttempts = 3;

// A text field of OpenParams, never read beyond its 16 bytes.
std::string fieldText(const char (&field)[16]) {
    return std::string(field, strnlen(field, sizeof field));
}

std::string connectionKey(const OpenParams& params) {
    char key[150] = {};
    std::snprintf(key, sizeof key, "%d:%s:%u", static_cast<int>(params.type),
                  fieldText(params.localIp).c_str(), static_cast<unsigned>(params.localPort));
    return key;
}

}  // namespace

std::int32_t ConnectionRegistry::open(const OpenParams& params) {
    const std::string key = connectionKey(params);
    std::unique_lock lock(registryMutex);
    closesDone.wait(lock, [&] { return closesUnderWay == 0; });
    if (ending)
        return -1;
    if (keyToHandle.count(key) != 0)
        return -1;

    const std::int32_t handle = keyToHandle.empty() ? 0 : std::prev(handleTypes.end())->first + 1;
    keyToHandle[key] = handle;
    handleTypes[handle] = params.type;

    switch (params.type) {
        case QUILVANE_UDP: {
            auto udp = std::make_shared<QuilvaneUdp>();
            udpTransports[handle] = udp;
            udp->initialize(fieldText(params.localIp), params.localPort);
            udp->setTarget(fieldText(params.remoteIp), params.remotePort);
            udp->startReceive(false);
            return handle;
        }
        case QUILVANE_TCP_CLIENT:
            return openTcpClient(handle, params, key, lock);
        case QUILVANE_TCP_SERVER: {
            auto server = std::make_shared<QuilvaneTcpServer>(handle);
            server->start(params.localPort);
            tcpServers[handle] = std::move(server);
            return handle;
        }
        default:
            return handle;
    }
}

std::int32_t ConnectionRegistry::openTcpClient(std::int32_t handle, const OpenParams& params,
                                               const std::string& key, std::unique_lock<std::mutex>& lock) {
    auto client = std::make_shared<QuilvaneTcpClient>(handle);
    client->serverIp = fieldText(params.remoteIp);
    client->serverPort = params.remotePort;
    tcpClients[handle] = client;
    ++opensUnderWay;
    lock.unlock();

    // Counted down last, however the open ends: the registry's destruction
    // waits for it. The caller's lock is left held.
    struct UnderWay {
        ConnectionRegistry& registry;
        std::unique_lock<std::mutex>& lock;
        ~UnderWay() {
            if (!lock.owns_lock())
                lock.lock();
            --registry.opensUnderWay;
            registry.opensDone.notify_all();
        }
    } underWay{*this, lock};

    bool connected = false;
    for (int attempt = 0; attempt < kConnectAttempts && !connected && !client->closing(); ++attempt) {
        client->localIp = fieldText(params.localIp);
        client->localPort = static_cast<std::uint16_t>(nextLocalPort.load() & 0xFFFF);
        if (client->connectToServer() >= 0) {
            connected = true;
        } else if (client->closing()) {
            break;  // the attempt was given up, not failed: the port stays
        } else if (++nextLocalPort > 65535) {
            nextLocalPort = 50000;
        }
    }

    lock.lock();
    // A close (or the registry's end) during the attempts took the client
    // out; the handle may even belong to another connection by now.
    const auto entry = tcpClients.find(handle);
    const bool stillOurs = entry != tcpClients.end() && entry->second == client;
    if (stillOurs && connected) {
        logInfo(log_lines::kConnectClient, nextLocalPort.load());
        return handle;
    }
    if (stillOurs) {
        tcpClients.erase(entry);
        keyToHandle.erase(key);
        handleTypes.erase(handle);
    }
    lock.unlock();
    client->disconnect();  // a connection made after its close began
    return -1;
}

}  // namespace quilvane
