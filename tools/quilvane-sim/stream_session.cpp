#include "stream_session.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "traffic.h"

namespace sim {
namespace {

constexpr size_t kReadSize = 65536;
constexpr auto kDrainTime = std::chrono::milliseconds(250);

}  // namespace

StreamSession::StreamSession(Socket socket, const Options& options, RunControl& control, Stats& stats,
                             FrameLog& log)
    : socket_(std::move(socket)), options_(options), control_(control), stats_(stats), log_(log) {}

void StreamSession::run() {
    const int fd = socket_.fd();
    auto giveUp = [this] { return control_.shouldStop(); };
    Traffic traffic(options_, control_, stats_, log_, [fd, &giveUp](const uint8_t* bytes, size_t count) {
        return sendAll(fd, bytes, count, giveUp);
    });
    std::vector<uint8_t> buffer(kReadSize);
    using Outcome = PacketWriter::Outcome;
    Outcome outcome = Outcome::Sent;
    bool peerGone = false;
    while (outcome == Outcome::Sent && !peerGone && !traffic.done() && !control_.shouldStop()) {
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, traffic.waitMs()) > 0) {
            ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
            if (n > 0) {
                outcome = traffic.received(buffer.data(), static_cast<size_t>(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
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
    shutdown(socket_.fd(), SHUT_WR);
    const auto until = std::chrono::steady_clock::now() + kDrainTime;
    std::vector<uint8_t> buffer(kReadSize);
    while (std::chrono::steady_clock::now() < until) {
        pollfd entry{socket_.fd(), POLLIN, 0};
        if (poll(&entry, 1, 20) <= 0) {
            continue;
        }
        ssize_t n = recv(socket_.fd(), buffer.data(), buffer.size(), 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            break;  // the peer has closed too
        }
    }
    socket_.close();
}

}  // namespace sim
