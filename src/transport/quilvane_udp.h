// The library's UDP endpoint: a connection of type 3, and also the discovery
// socket of device searches. One receive thread sorts each datagram into a
// search reply (JSON or PELIX, kept in the result lists) or CAN traffic
// (decoded into the receive frame store under handle 0).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/net.h"
#include "platform/thread.h"
#include "quilvane_sdk.h"

namespace quilvane {

class QuilvaneUdp {
  public:
    QuilvaneUdp();
    ~QuilvaneUdp();
    QuilvaneUdp(const QuilvaneUdp&) = delete;
    QuilvaneUdp& operator=(const QuilvaneUdp&) = delete;

    // Binds a new broadcast-capable socket; an empty localIp means any address.
    bool initialize(const std::string& localIp, std::uint16_t localPort);
    void setTarget(const std::string& ip, std::uint16_t port);
    // One datagram to the target.
    bool send(const std::uint8_t* data, int length);
    bool startReceive(bool startPaused);
    // Tells the receive thread to end, without waiting for it; stop() still
    // joins it. Lets several endpoints wind down at once.
    void requestStop();
    void stop();

    // Used by device searches.
    void setPaused(bool paused);
    void clearResults();
    std::vector<DeviceInfo> deviceInfoResults();
    std::vector<PelixDeviceRecord> pelixResults();

    // One datagram as the receive thread read it (at most 2048 bytes): a
    // search reply goes to the result lists, anything else is decoded into
    // the receive frame store under handle 0. Open to tests, which feed it
    // without a socket.
    void classify(const std::uint8_t* datagram, int length);

  private:
    void receiveLoop();

    std::atomic<net::Socket> udpSocket{net::kInvalidSocket};
    net::Endpoint targetAddress;
    std::string targetIp;
    std::uint16_t targetPort = 0;
    platform::Thread receiveThread;
    std::atomic<bool> running{false};
    std::mutex stateMutex;
    std::condition_variable stateChanged;
    bool paused = true;
    std::mutex sendMutex;
    std::mutex resultMutex;
    std::vector<DeviceInfo> deviceInfos;
    std::vector<PelixDeviceRecord> pelixRecords;
};

}  // namespace quilvane
