#include "socketcand_server.h"

#include <algorithm>

#include "command_line.h"
#include "connection.h"

namespace socketcand {

namespace {

// Loopback clients keep up with a much smaller socket buffer than the
// system would grow to; a small one lets drops start when a client falls
// behind, not seconds later.
constexpr int kClientSendBuffer = 256 * 1024;
constexpr std::size_t kReadChunk = 4096;
constexpr int kReadsPerTurn = 16;
constexpr std::size_t kFramesPerTurn = 256;
// Waits end this often to notice Ctrl-C (delivered to any thread).
constexpr auto kLongestWait = std::chrono::milliseconds(50);

std::vector<int> channelsOf(const std::vector<Bus>& buses) {
    std::vector<int> channels;
    for (const Bus& bus : buses)
        channels.push_back(bus.channel);
    return channels;
}

std::string count(std::uint64_t n, const char* what) {
    return std::to_string(n) + " " + what;
}

}  // namespace

struct Server::Client {
    Client(toolnet::Socket s, std::string n, std::function<int(std::string_view)> findBus)
        : socket(std::move(s)), name(std::move(n)), session(std::move(findBus)) {}

    toolnet::Socket socket;
    std::string name;  // ADDRESS:PORT
    Reader reader;
    Session session;
    std::shared_ptr<FrameQueue> queue = std::make_shared<FrameQueue>(kClientQueueFrames);
    Interest interest;
    bool attached = false;
    std::string output;
    std::size_t written = 0;  // of output
    bool closing = false;     // once its output is written
    bool gone = false;
    bool dropsReported = false;
    bool fdReported = false;

    std::string label() const {
        return "client " + name + (session.bus().empty() ? "" : " (" + session.bus() + ")");
    }
};

Server::Server(LinkSession& link, ServerOptions options)
    : link_(link),
      options_(std::move(options)),
      waker_(wakerError_),
      fanout_(link, channelsOf(options_.buses), waker_) {
    batch_.reserve(kFramesPerTurn);
}

Server::~Server() {
    fanout_.stop();
}

bool Server::start() {
    if (!system_.error().empty() || !waker_.valid()) {
        report("serve", system_.error().empty() ? wakerError_ : system_.error());
        return false;
    }
    std::string error;
    listener_ = toolnet::listenTcp(options_.listen, error);
    if (!listener_.valid()) {
        report("serve", error);
        return false;
    }
    const toolnet::Endpoint at = toolnet::localEndpoint(listener_);
    std::string buses;
    std::vector<std::string> names;
    for (const Bus& bus : options_.buses) {
        buses += " " + bus.name + "=" + std::to_string(bus.channel);
        names.push_back(bus.name);
    }
    report("serve", "socketcand server on " + toolnet::formatEndpoint(at) + " for " + options_.deviceUrl +
                        ", buses" + buses);
    if (options_.beacon) {
        beacon_.emplace(options_.listen.address, at.port, "quilvane bridge to " + options_.deviceUrl, names);
    }
    fanout_.start();
    return true;
}

int Server::findBus(std::string_view name) const {
    for (const Bus& bus : options_.buses) {
        if (bus.name == name)
            return bus.channel;
    }
    return -1;
}

int Server::run() {
    int status = kExitOk;
    std::vector<toolnet::PollEntry> entries;
    while (!stopRequested()) {
        if (fanout_.failed() || link_.deviceClosed()) {
            report("serve", fanout_.failed() ? "the device connection is no longer open"
                                             : "the device closed the connection");
            status = kExitFailed;
            break;
        }
        auto now = Clock::now();
        auto due = now + kLongestWait;
        for (auto& client : clients_) {
            service(*client, now);
            due = std::min(due, client->session.nextDue());
            if (!client->session.takesFrames(now))
                due = std::min(due, client->session.framesFrom());
        }
        if (beacon_) {
            beacon_->sendIfDue(now);
            due = std::min(due, beacon_->nextDue());
        }

        entries.clear();
        entries.push_back({&waker_.socket(), true, false});
        entries.push_back({&listener_, true, false});
        for (const auto& client : clients_) {
            entries.push_back({&client->socket, !client->closing && backlog(*client) < kClientBacklogBytes,
                               backlog(*client) > 0});
        }
        const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(due - Clock::now());
        if (!toolnet::pollSockets(entries, wait)) {
            report("serve", "waiting for the sockets failed");
            status = kExitFailed;
            break;
        }
        if (entries[0].readable) {
            fanout_.clearWake();
            waker_.drain();
        }
        if (entries[1].readable)
            accept();
        now = Clock::now();
        std::size_t i = 2;
        for (auto& client : clients_) {
            if (i >= entries.size())
                break;  // accepted just now
            const toolnet::PollEntry& entry = entries[i++];
            if (entry.readable && !client->closing)
                readFrom(*client, now);
            if (entry.writable || backlog(*client) > 0)
                flush(*client);
        }
        for (auto it = clients_.begin(); it != clients_.end();) {
            if ((*it)->gone) {
                leave(**it);
                it = clients_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& client : clients_)
        leave(*client);
    clients_.clear();
    fanout_.stop();
    return status;
}

void Server::accept() {
    // A bounded number per turn, so that a storm of connections does not
    // starve the clients already there.
    for (int n = 0; n < 16; ++n) {
        toolnet::Endpoint peer;
        toolnet::Socket socket = toolnet::acceptTcp(listener_, peer, kClientSendBuffer);
        if (!socket.valid())
            return;
        auto client = std::make_unique<Client>(std::move(socket), toolnet::formatEndpoint(peer),
                                               [this](std::string_view name) { return findBus(name); });
        client->output = Session::greeting();
        ++totals_.clients;
        report("serve", "client " + client->name + " connected");
        flush(*client);
        clients_.push_back(std::move(client));
    }
}

void Server::readFrom(Client& client, Clock::time_point now) {
    char bytes[kReadChunk];
    for (int n = 0; n < kReadsPerTurn && !client.closing && backlog(client) < kClientBacklogBytes; ++n) {
        const toolnet::IoResult got = toolnet::receiveBytes(client.socket, bytes, sizeof bytes);
        if (got.status == toolnet::IoStatus::WouldBlock)
            return;
        if (got.status != toolnet::IoStatus::Done) {
            client.gone = true;
            return;
        }
        client.reader.feed(std::string_view(bytes, got.count));
        Command command;
        while (!client.closing && client.reader.next(command)) {
            SessionOutput out;
            client.session.receive(command, now, out);
            apply(client, out);
        }
        // The new interest takes effect before the next device frames.
        service(client, now);
    }
}

void Server::service(Client& client, Clock::time_point now) {
    if (client.gone || client.closing)
        return;
    if (const Interest interest = client.session.interest(); !(interest == client.interest)) {
        client.queue->setInterest(interest);
        client.interest = interest;
    }
    if (!client.attached && client.session.channel() >= 0) {
        fanout_.attach(client.session.channel(), client.queue);
        client.attached = true;
        report("serve", "client " + client.name + " opened " + client.session.bus() + " (device channel " +
                            std::to_string(client.session.channel()) + ")");
    }
    SessionOutput out;
    if (client.attached && client.session.takesFrames(now)) {
        while (backlog(client) + out.text.size() < kClientBacklogBytes) {
            batch_.clear();
            client.queue->pop(batch_, kFramesPerTurn);
            if (batch_.empty())
                break;
            for (const QueuedFrame& f : batch_)
                client.session.deviceFrame(f.frame, f.micros, now, out);
        }
    }
    if (client.session.nextDue() <= now) {
        client.session.tick(now, fanout_.counters(client.session.channel()),
                            backlog(client) + out.text.size() < kClientBacklogBytes, out);
    }
    apply(client, out);
    const QueueCounts counts = client.queue->counts();
    if (counts.dropped > 0 && !client.dropsReported) {
        client.dropsReported = true;
        report("serve", client.label() + " reads too slowly: its queue of " +
                            std::to_string(kClientQueueFrames) +
                            " frames is full; frames for it are dropped from now on, and counted");
    }
    if (counts.fdSkipped > 0 && !client.fdReported) {
        client.fdReported = true;
        report("serve",
               client.label() +
                   ": CAN FD frames are not forwarded (socketcand's frame message cannot carry them); "
                   "they are counted");
    }
}

void Server::apply(Client& client, SessionOutput& out) {
    client.output += out.text;
    for (const CanFrame& frame : out.toDevice) {
        if (link_.send(frame)) {
            ++totals_.framesToDevice;
            fanout_.noteSent(frame);
        } else {
            ++totals_.refused;
        }
    }
    if (out.close)
        client.closing = true;
}

void Server::flush(Client& client) {
    while (client.written < client.output.size()) {
        const toolnet::IoResult sent = toolnet::sendBytes(
            client.socket, client.output.data() + client.written, client.output.size() - client.written);
        if (sent.status == toolnet::IoStatus::WouldBlock)
            break;
        if (sent.status != toolnet::IoStatus::Done) {
            client.gone = true;
            return;
        }
        client.written += sent.count;
    }
    if (client.written == client.output.size()) {
        client.output.clear();
        client.written = 0;
        client.gone = client.gone || client.closing;
    } else if (client.written > kClientBacklogBytes) {
        client.output.erase(0, client.written);
        client.written = 0;
    }
}

std::size_t Server::backlog(const Client& client) const {
    return client.output.size() - client.written;
}

void Server::leave(Client& client) {
    if (client.attached)
        fanout_.detach(client.queue);
    const QueueCounts counts = client.queue->counts();
    totals_.dropped += counts.dropped;
    totals_.fdSkipped += counts.fdSkipped;
    totals_.lateCycles += client.session.lateCycles();
    report("serve", client.label() + " left: " + count(client.session.framesForwarded(), "frames forwarded") +
                        ", " + count(counts.dropped, "dropped") + ", " +
                        count(counts.fdSkipped, "CAN FD frames not forwarded"));
}

ServerTotals Server::totals() const {
    ServerTotals totals = totals_;
    totals.framesFromDevice = fanout_.framesFromDevice();
    totals.otherChannels = fanout_.framesOnOtherChannels();
    return totals;
}

}  // namespace socketcand
