// --udp: datagrams to and from the library's UDP connection. Replies and
// generated frames go to --peer, or else to whoever sent the last datagram.
#include <poll.h>
#include <sys/socket.h>

#include <cstdio>
#include <vector>

#include "modes.h"
#include "net.h"
#include "traffic.h"

namespace sim {
namespace {

constexpr size_t kDatagramSize = 65536;
constexpr int kDatagramsPerWake = 64;

}  // namespace

int runUdp(const Options& options, RunControl& control, Stats& stats, FrameLog& log) {
    std::string error;
    Socket socket = bindUdp(options.endpoint, error);
    if (!socket.valid()) {
        std::fprintf(stderr, "quilvane-sim: %s\n", error.c_str());
        return 1;
    }
    printReady("udp " + localAddress(socket));

    const int fd = socket.fd();
    bool haveDestination = options.hasPeer;
    sockaddr_in destination = options.hasPeer ? toSockaddr(options.peer) : sockaddr_in{};
    auto giveUp = [&control] { return control.shouldStop(); };
    Traffic traffic(options, control, stats, log, [&](const uint8_t* bytes, size_t count) {
        return sendDatagram(fd, bytes, count, destination, giveUp);
    });

    std::vector<uint8_t> buffer(kDatagramSize);
    PacketWriter::Outcome outcome = PacketWriter::Outcome::Sent;
    while (outcome == PacketWriter::Outcome::Sent && !traffic.done() && !control.shouldStop()) {
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, haveDestination ? traffic.waitMs() : 50) > 0) {
            for (int i = 0; i < kDatagramsPerWake && outcome == PacketWriter::Outcome::Sent; ++i) {
                sockaddr_in source{};
                socklen_t length = sizeof source;
                ssize_t n = recvfrom(fd, buffer.data(), buffer.size(), 0,
                                     reinterpret_cast<sockaddr*>(&source), &length);
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
