// --respond: answers searches and probes on their UDP ports, to the
// request's source or by broadcast (--reply-to). Kinds that share a port
// share a socket; all sockets are served by one poll loop.
#include <poll.h>
#include <sys/socket.h>

#include <cstdio>
#include <deque>
#include <optional>
#include <vector>

#include "device_replies.h"
#include "modes.h"
#include "net.h"
#include "reply_destination.h"

namespace sim {
namespace {

struct Listener {
    Socket socket;
    uint16_t port = 0;
    std::vector<ResponderKind> kinds;
};

struct PendingReply {
    RunControl::Clock::time_point due;
    size_t listener = 0;
    ReplyDestination destination;
    std::vector<uint8_t> bytes;
};

const char* kindName(ResponderKind kind) {
    switch (kind) {
        case ResponderKind::SearchJson:
            return "search-json";
        case ResponderKind::SearchPelix:
            return "search-pelix";
        case ResponderKind::ProbePelix:
            return "probe-pelix";
        case ResponderKind::ProbeVci:
            return "probe-vci";
    }
    return "?";
}

uint16_t portOf(ResponderKind kind, const Options& options) {
    switch (kind) {
        case ResponderKind::SearchJson:
        case ResponderKind::SearchPelix:
            return options.searchPort;
        case ResponderKind::ProbePelix:
            return options.pelixPort;
        case ResponderKind::ProbeVci:
            return options.vciPort;
    }
    return 0;
}

// One socket per distinct port; port 0 always gets a socket of its own.
bool openListeners(const Options& options, std::vector<Listener>& listeners) {
    for (ResponderKind kind : options.respond) {
        const uint16_t port = portOf(kind, options);
        Listener* shared = nullptr;
        for (Listener& listener : listeners) {
            shared = port != 0 && listener.port == port ? &listener : shared;
        }
        if (shared != nullptr) {
            shared->kinds.push_back(kind);
            continue;
        }
        std::string error;
        Socket socket = bindUdp({options.bindAddress, port}, error);
        if (!socket.valid()) {
            std::fprintf(stderr, "quilvane-sim: %s\n", error.c_str());
            return false;
        }
        // Several devices of a test network share one host: each listens on
        // its own interface only, so a broadcast reaches each once.
        if (!options.device.empty() &&
            setsockopt(socket.fd(), SOL_SOCKET, SO_BINDTODEVICE, options.device.c_str(),
                       static_cast<socklen_t>(options.device.size())) != 0) {
            std::fprintf(stderr, "quilvane-sim: cannot listen on interface %s\n", options.device.c_str());
            return false;
        }
        enableArrivalInterface(socket);
        if (options.replyTo != ReplyTo::Unicast) {
            allowBroadcast(socket);
        }
        listeners.push_back({std::move(socket), port, {kind}});
    }
    return true;
}

}  // namespace

int runResponders(const Options& options, RunControl& control, Stats& stats) {
    std::vector<Listener> listeners;
    if (!openListeners(options, listeners)) {
        return 1;
    }
    std::string ready = "respond";
    for (const Listener& listener : listeners) {
        for (ResponderKind kind : listener.kinds) {
            ready += std::string(" ") + kindName(kind) + "=" + localAddress(listener.socket);
        }
    }
    printReady(ready);

    // Replies wait here for --reply-delay-ms; every reply has the same delay,
    // so the queue stays in order of due time.
    std::deque<PendingReply> pending;
    std::vector<uint8_t> buffer(65536);
    auto giveUp = [&control] { return control.shouldStop(); };
    while (!control.shouldStop()) {
        int waitMs = 50;
        if (!pending.empty()) {
            auto until = pending.front().due - RunControl::Clock::now();
            waitMs = static_cast<int>(std::clamp<int64_t>(
                std::chrono::duration_cast<std::chrono::milliseconds>(until).count(), 0, 50));
        }
        std::vector<pollfd> entries;
        for (const Listener& listener : listeners) {
            entries.push_back({listener.socket.fd(), POLLIN, 0});
        }
        poll(entries.data(), entries.size(), waitMs);
        for (size_t i = 0; i < listeners.size(); ++i) {
            if ((entries[i].revents & POLLIN) == 0) {
                continue;
            }
            sockaddr_in source{};
            unsigned arrival = 0;
            const ssize_t n = receiveDatagram(listeners[i].socket.fd(), buffer, source, arrival);
            if (n < 0) {
                continue;
            }
            control.noteTraffic();
            ++stats.receivedPackets;
            const std::vector<uint8_t> request(buffer.begin(), buffer.begin() + n);
            std::vector<std::vector<uint8_t>> replies;
            for (ResponderKind kind : listeners[i].kinds) {
                if (auto reply = replyTo(kind, request, options)) {
                    replies.push_back(std::move(*reply));
                }
            }
            std::string error;
            std::optional<ReplyDestination> destination;
            if (!replies.empty() &&
                !(destination = replyDestination(options.replyTo, source, arrival, error))) {
                std::fprintf(stderr, "quilvane-sim: %s\n", error.c_str());
                continue;
            }
            const auto due = RunControl::Clock::now() + std::chrono::milliseconds(options.replyDelayMs);
            for (const auto& reply : replies) {
                for (unsigned copy = 0; copy < options.replyCount; ++copy) {
                    pending.push_back({due, i, *destination, reply});
                }
            }
        }
        while (!pending.empty() && pending.front().due <= RunControl::Clock::now()) {
            const PendingReply& reply = pending.front();
            if (sendDatagram(listeners[reply.listener].socket.fd(), reply.bytes.data(), reply.bytes.size(),
                             reply.destination.to, giveUp, reply.destination.interfaceIndex)) {
                ++stats.replies;
            }
            pending.pop_front();
        }
    }
    return 0;
}

}  // namespace sim
