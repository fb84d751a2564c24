#include "modes.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "net.h"

namespace sim {
namespace {

// Serves one TCP connection, in either direction of connecting, until the
// peer goes away, a fault ends it, its work is done or the run stops.
class StreamSession {
  public:
    StreamSession(Socket socket, const Options& options, RunControl& control, Stats& stats, FrameLog& log);

    void run();

  private:
    // Half-closes and reads what is still coming for a moment, so that
    // closing with unread bytes does not turn into a reset that could destroy
    // data the peer has not read yet.
    void closeGracefully();

    Socket socket_;
    const Options& options_;
    RunControl& control_;
    Stats& stats_;
    FrameLog& log_;
};

constexpr size_t kReadSize = 65536;
constexpr auto kDrainTime = std::chrono::milliseconds(250);

StreamSession::StreamSession(Socket socket, const Options& options, RunControl& control, Stats& stats,
                             FrameLog& log)
    : socket_(std::move(socket)), options_(options), control_(control), stats_(stats), log_(log) {}

void StreamSession::run() {
    auto giveUp = [this] { return control_.shouldStop(); };
    Traffic traffic(options_, control_, stats_, log_, [this, &giveUp](const uint8_t* bytes, size_t count) {
        return sendAll(socket_, bytes, count, giveUp);
    });
    std::vector<uint8_t> buffer(kReadSize);
    using Outcome = PacketWriter::Outcome;
    Outcome outcome = Outcome::Sent;
    bool peerGone = false;
    while (outcome == Outcome::Sent && !peerGone && !traffic.done() && !control_.shouldStop()) {
        if (waitReadable(socket_, traffic.waitMs())) {
            const long n = receive(socket_, buffer.data(), buffer.size());
            if (n > 0) {
                outcome = traffic.received(buffer.data(), static_cast<size_t>(n));
            } else if (n != kWouldWait) {
                peerGone = true;
            }
        }
        if (outcome == Outcome::Sent && !peerGone) {
            outcome = traffic.sendDue();
        }
    }
    if (outcome == Outcome::Reset) {
        resetConnection(socket_);
    } else if (!peerGone) {
        closeGracefully();
    }
}

void StreamSession::closeGracefully() {
    shutdownSending(socket_);
    const auto until = std::chrono::steady_clock::now() + kDrainTime;
    std::vector<uint8_t> buffer(kReadSize);
    while (std::chrono::steady_clock::now() < until) {
        if (!waitReadable(socket_, 20)) {
            continue;
        }
        const long n = receive(socket_, buffer.data(), buffer.size());
        if (n == 0 || n == kFailed) {
            break;  // the peer has closed too
        }
    }
    socket_.close();
}

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

constexpr size_t kDatagramSize = 65536;
constexpr int kDatagramsPerWake = 64;

}  // namespace

// --tcp-listen: the library connects to us, as to a device that listens.
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
        if (!waitReadable(listener, 50)) {
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

// --tcp-connect: we connect to the library's TCP server, as devices do.
int runTcpConnect(const Options& options, RunControl& control, Stats& stats, FrameLog& log) {
    printReady("tcp-connect " + options.endpoint.host + ":" + std::to_string(options.endpoint.port));
    std::vector<std::jthread> connections;
    for (unsigned i = 0; i < options.connections; ++i) {
        connections.emplace_back([&] { connectAndServe(options, control, stats, log); });
    }
    return 0;
}

// --udp: datagrams to and from the library's UDP connection. Replies and
// generated frames go to --peer, or else to whoever sent the last datagram.
int runUdp(const Options& options, RunControl& control, Stats& stats, FrameLog& log) {
    std::string error;
    Socket socket = bindUdp(options.endpoint, "", error);
    if (!socket.valid()) {
        std::fprintf(stderr, "quilvane-sim: %s\n", error.c_str());
        return 1;
    }
    printReady("udp " + localAddress(socket));

    bool haveDestination = options.hasPeer;
    Address destination = options.hasPeer ? toAddress(options.peer) : Address{};
    auto giveUp = [&control] { return control.shouldStop(); };
    Traffic traffic(options, control, stats, log, [&](const uint8_t* bytes, size_t count) {
        return sendDatagram(socket, bytes, count, destination, giveUp);
    });

    std::vector<uint8_t> buffer(kDatagramSize);
    PacketWriter::Outcome outcome = PacketWriter::Outcome::Sent;
    while (outcome == PacketWriter::Outcome::Sent && !traffic.done() && !control.shouldStop()) {
        if (waitReadable(socket, haveDestination ? traffic.waitMs() : 50)) {
            for (int i = 0; i < kDatagramsPerWake && outcome == PacketWriter::Outcome::Sent; ++i) {
                Address source;
                unsigned arrival = 0;
                const long n = receiveDatagram(socket, buffer, source, arrival);
                if (n < 0) {
                    break;
                }
                if (!options.hasPeer) {
                    destination = source;
                    haveDestination = true;
                }
                outcome = traffic.received(buffer.data(), static_cast<size_t>(n));
                traffic.endDatagram();
            }
        }
        if (outcome == PacketWriter::Outcome::Sent && haveDestination) {
            outcome = traffic.sendDue();
        }
    }
    if (outcome == PacketWriter::Outcome::Failed && !control.shouldStop()) {
        std::fprintf(stderr, "quilvane-sim: cannot send to %s\n", formatAddress(destination).c_str());
        return 1;
    }
    return 0;
}

}  // namespace sim
