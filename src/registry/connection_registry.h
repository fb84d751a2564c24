// Owns every open connection: hands out handles, keeps each handle's key,
// type and transport, and owns the discovery sockets of device searches.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "quilvane_sdk.h"

namespace quilvane {

class QuilvaneTcpClient;
class QuilvaneTcpServer;
class QuilvaneUdp;

class ConnectionRegistry {
  public:
    ConnectionRegistry();
    ~ConnectionRegistry();
    ConnectionRegistry(const ConnectionRegistry&) = delete;
    ConnectionRegistry& operator=(const ConnectionRegistry&) = delete;

    // The process's registry, created on first use; nullptr after destroyInstance.
    static ConnectionRegistry* instance();
    static void destroyInstance();

    // The new handle, or -1. A TCP client's attempts run without the lock:
    // other calls go on meanwhile, a second open of the same key gets -1
    // at once, and a close of the handle (or the registry's end) stops them.
    std::int32_t open(const OpenParams& params);
    // True when a transport was found for the handle and stopped. The
    // handle is gone at once; its transport stops after the lock is
    // released, so other calls never wait for it.
    bool close(std::int32_t handle);

    bool isOpen(std::int32_t handle);
    std::uint32_t typeOf(std::int32_t handle);
    std::shared_ptr<QuilvaneTcpClient> tcpClientOf(std::int32_t handle);
    std::shared_ptr<QuilvaneUdp> udpOf(std::int32_t handle);
    std::shared_ptr<QuilvaneTcpServer> tcpServerOf(std::int32_t handle);

    void clearDiscoveryResults();
    // Lets every discovery socket read and sends the search request on each.
    void resumeDiscovery();
    void pauseDiscovery();
    std::vector<DeviceInfo> gatherDeviceInfos();
    std::vector<PelixDeviceRecord> gatherPelixRecords();

  private:
    template <class Record>
    std::vector<Record> gather(std::vector<Record> (QuilvaneUdp::*results)());
    // Called with `lock` held on registryMutex; releases it during the attempts.
    std::int32_t openTcpClient(std::int32_t handle, const OpenParams& params, const std::string& key,
                               std::unique_lock<std::mutex>& lock);

    std::map<std::string, std::int32_t> keyToHandle;
    std::mutex registryMutex;
    std::map<std::int32_t, std::uint32_t> handleTypes;
    std::map<std::int32_t, std::shared_ptr<QuilvaneTcpClient>> tcpClients;
    std::map<std::int32_t, std::shared_ptr<QuilvaneUdp>> udpTransports;
    std::map<std::int32_t, std::shared_ptr<QuilvaneTcpServer>> tcpServers;
    std::mutex discoveryMutex;
    std::vector<std::shared_ptr<QuilvaneUdp>> discoverySockets;
    std::atomic<std::int32_t> nextLocalPort{0};
    // Closes whose transports are still stopping. Opens wait for them, so a
    // handle number or a port is never reused while its old connection
    // might still file frames or hold the port.
    int closesUnderWay = 0;
    std::condition_variable closesDone;
    // TCP client opens making their attempts. The registry's destruction
    // stops their clients and waits for them.
    int opensUnderWay = 0;
    std::condition_variable opensDone;
    // Set when destruction begins: no open starts after it.
    bool ending = false;
};

}  // namespace quilvane
