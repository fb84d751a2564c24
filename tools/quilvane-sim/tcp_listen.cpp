// --tcp-listen: the library connects to us, as to a device that listens.
#include <poll.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "modes.h"
#include "net.h"
#include "stream_session.h"

namespace sim {

int runTcpListen(const Options& options, RunControl& control, Stats& stats, FrameLog& log) {
    std::string error;
    Socket listener = listenTcp(options.endpoint, error);
    if (!listener.valid()) {
        std::fprintf(stderr, "quilvane-sim: %s\n", error.c_str());
        return 1;
    }
    printReady("tcp-listen " + localAddress(listener));

    std::atomic<unsigned> ended{0};
    std::vector<std::jthread> sessions;
    while (!control.shouldStop()) {
        if (!listener.valid()) {
            if (ended == sessions.size()) {
                break;  // every connection we were to serve is over
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        pollfd entry{listener.fd(), POLLIN, 0};
        if (poll(&entry, 1, 50) <= 0) {
            continue;
        }
        Socket socket = acceptTcp(listener);
        if (!socket.valid()) {
            continue;
        }
        ++stats.connections;
        sessions.emplace_back([&, s = std::move(socket)]() mutable {
            StreamSession(std::move(s), options, control, stats, log).run();
            ++ended;
        });
        if (sessions.size() == options.connections) {
            listener.close();  // later attempts are refused rather than left waiting
        }
    }
    return 0;  // the sessions are joined here, after they noticed the stop
}

}  // namespace sim
