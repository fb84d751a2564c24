// --tcp-connect: we connect to the library's TCP server, as devices do.
#include <thread>
#include <vector>

#include "modes.h"
#include "net.h"
#include "stream_session.h"

namespace sim {
namespace {

constexpr int kConnectTimeoutMs = 1000;
constexpr auto kRetryPause = std::chrono::milliseconds(100);

// Retries until the server is there, so the simulator may start first.
void connectAndServe(const Options& options, RunControl& control, Stats& stats, FrameLog& log) {
    while (!control.shouldStop()) {
        std::string error;
        Socket socket = connectTcp(options.endpoint, kConnectTimeoutMs, error);
        if (socket.valid()) {
            ++stats.connections;
            StreamSession(std::move(socket), options, control, stats, log).run();
            return;
        }
        std::this_thread::sleep_for(kRetryPause);
    }
}

}  // namespace

int runTcpConnect(const Options& options, RunControl& control, Stats& stats, FrameLog& log) {
    printReady("tcp-connect " + options.endpoint.host + ":" + std::to_string(options.endpoint.port));
    std::vector<std::jthread> connections;
    for (unsigned i = 0; i < options.connections; ++i) {
        connections.emplace_back([&] { connectAndServe(options, control, stats, log); });
    }
    return 0;
}

}  // namespace sim
