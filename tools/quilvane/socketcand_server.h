// quilvane serve --socketcand: one device connection offered to any number
// of socketcand clients. One network thread accepts clients, reads their
// commands, times their cyclic jobs and statistics, writes to them and to
// the device, and sends the beacon; DeviceFanout's threads bring the
// device's frames to the clients' queues.
#pragma once

#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "socketcand_beacon.h"
#include "socketcand_fanout.h"
#include "socketcand_frame_queue.h"
#include "socketcand_reader.h"
#include "socketcand_session.h"
#include "tool_sockets.h"

class LinkSession;

namespace socketcand {

// Frames waiting for one client.
constexpr std::size_t kClientQueueFrames = 8192;
// Text written to a client but not yet taken by its socket; past it the
// client's frames stay in its queue and its commands are not read.
constexpr std::size_t kClientBacklogBytes = 64 * 1024;

struct Bus {
    std::string name;
    int channel = 0;
};

struct ServerOptions {
    toolnet::Endpoint listen;
    std::vector<Bus> buses;
    bool beacon = false;
    std::string deviceUrl;  // for messages and the beacon
};

struct ServerTotals {
    std::uint64_t clients = 0;
    std::uint64_t framesFromDevice = 0;
    std::uint64_t framesToDevice = 0;
    std::uint64_t refused = 0;  // sends the library refused
    std::uint64_t dropped = 0;
    std::uint64_t fdSkipped = 0;
    std::uint64_t otherChannels = 0;
    std::uint64_t lateCycles = 0;
};

class Server {
  public:
    Server(LinkSession& link, ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Listens and starts reading the device; false, said why, when it cannot.
    bool start();
    // Until Ctrl-C or the end of the device connection: kExitOk or kExitFailed.
    int run();
    ServerTotals totals() const;

  private:
    struct Client;

    int findBus(std::string_view name) const;
    void accept();
    void readFrom(Client& client, Clock::time_point now);
    void service(Client& client, Clock::time_point now);
    void apply(Client& client, SessionOutput& out);
    void flush(Client& client);
    void leave(Client& client);
    std::size_t backlog(const Client& client) const;

    LinkSession& link_;
    ServerOptions options_;
    toolnet::SocketSystem system_;
    std::string wakerError_;
    toolnet::Waker waker_;
    toolnet::Socket listener_;
    DeviceFanout fanout_;
    std::optional<Beacon> beacon_;
    std::list<std::unique_ptr<Client>> clients_;
    std::vector<QueuedFrame> batch_;
    ServerTotals totals_;
};

}  // namespace socketcand
