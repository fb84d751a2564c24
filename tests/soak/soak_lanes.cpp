// The lanes: simulators with seeded faults against a TCP client, a TCP
// server (two to four devices at once) and UDP, every frame they send
// checked; an application thread opening and closing connections of its
// own; searches and probes on the private network.
#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "common/log_lines.h"
#include "open_params.h"
#include "sim_process.h"
#include "soak.h"
#include "test_wire.h"

namespace {

using namespace std::chrono_literals;

bool sanitizerReport(const std::string& err) {
    return err.find("Sanitizer") != std::string::npos || err.find("runtime error") != std::string::npos;
}

int between(std::mt19937& random, int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
}

const std::string kLinkNames[3] = {"tcp-client", "tcp-server", "udp"};

// What one simulator sends (its options name the run in messages), and
// which of its frames must, may or must not arrive given its fault.
struct RunPlan {
    Link link;
    std::uint32_t id;  // the only identifier it sends: tells its frames apart
    int count;         // frame s has timestamp s
    int perPacket, dataLength;
    int faultAt;  // the packet, from 1, that the fault acts on
    std::vector<int> channels;
    std::string record, fault, options;
    bool clearMidway;  // the application clears the handle's queues once

    // Unless a drop line, a clear or a kernel drop explains its loss.
    bool mustArrive(int s) const {
        const int p = s / perPacket + 1;
        const bool tcp = link != Link::Udp;
        if (fault == "cut" || fault == "byte-at-a-time")
            return tcp;  // a datagram holding part of a packet decodes to nothing
        if (fault == "bad-sync")
            return p != faultAt;
        if (fault == "bad-checksum")
            return tcp ? p < faultAt : p != faultAt;  // on TCP it holds up the rest of the stream
        if (fault == "close" || fault == "reset")
            return p < faultAt + (fault == "close");
        return true;
    }
    std::string name() const { return kLinkNames[static_cast<int>(link)] + " " + options; }
};

// The same seed gives the same runs; only timing differs.
RunPlan nextPlan(std::mt19937& random, Link link, std::uint32_t id) {
    const auto r = [&](int low, int high) { return between(random, low, high); };
    const char* const faults[] = {"none",         "none",  "cut",   "byte-at-a-time", "bad-sync",
                                  "bad-checksum", "flood", "reset", "close"};
    const std::string fault = faults[r(0, link == Link::Udp ? 6 : 8)];  // no reset or close on UDP
    // A byte at a time costs a write per byte: fewer frames, paced. UDP at
    // once would overrun the socket's buffer: that is not what is tested.
    const bool slow = fault == "byte-at-a-time";
    const int count = slow ? r(20, 200) : r(50, 3000);
    const int rates[] = {0, 1000, 5000, 20000};
    int rate = rates[r(0, 3)];
    if (slow || (link == Link::Udp && rate == 0))
        rate = 1000;
    std::vector<int> channels;
    for (int c = 0; c < 8; ++c)
        if (r(0, 3) == 0)
            channels.push_back(c);
    if (channels.empty())
        channels.push_back(r(0, 7));
    const char* const records[] = {"classic", "fd", "mixed"};
    const std::string record = records[r(0, 2)];
    const int perPackets[] = {1, 1, 2, 3, 7};
    const int perPacket = perPackets[r(0, 4)];
    const int dataLength = r(0, 64);
    const int faultAt = r(1, (count + perPacket - 1) / perPacket);
    std::ostringstream o;
    o << "--generate " << count << " --rate " << rate << " --channels " << channels[0];
    for (std::size_t i = 1; i < channels.size(); ++i)
        o << ',' << channels[i];
    // Long enough for a flood's pause and a slow start; the simulator ends once it has sent all.
    o << " --ids " << id << '-' << id << " --record " << record << " --records-per-packet " << perPacket
      << " --data-length " << dataLength << " --fault " << fault << " --fault-at " << faultAt << " --seed "
      << r(1, 1 << 30) << " --duration " << 20 + (rate > 0 ? count / rate : 0);
    const bool clearMidway = link == Link::TcpClient && r(0, 9) == 0;
    return {link, id, count, perPacket, dataLength, faultAt, channels, record, fault, o.str(), clearMidway};
}

std::vector<std::string> words(std::vector<std::string> first, const std::string& text) {
    std::istringstream in(text);
    for (std::string w; in >> w;)
        first.push_back(w);
    return first;
}

// One simulator playing one device, and its frames as the application reads
// them: each checked against what the simulator generates for its
// timestamp, for duplicates and for order per channel.
class Device {
  public:
    Device(const RunPlan& runPlan, const std::vector<std::string>& mode)
        : plan(runPlan), sim(words(mode, plan.options)), seen_(static_cast<std::size_t>(plan.count)) {
        for (int s = 0; s < plan.count; ++s)
            mustLeft_ += plan.mustArrive(s);
    }

    void receive(const CanFrame& f) {
        ++received;
        const int s = static_cast<int>(std::min<std::uint64_t>(f.timestamp, 1u << 30));
        bool ok = s < plan.count && f.flags == (s & 0xFFFF) &&
                  f.channel == plan.channels[static_cast<std::size_t>(s) % plan.channels.size()] &&
                  ((plan.record != "classic" && f.dataLength == plan.dataLength) ||
                   (plan.record != "fd" && f.dataLength == std::min(plan.dataLength, 8)));
        for (int i = 0; ok && i < f.dataLength; ++i)
            ok = f.data[i] == ((s + i) & 0xFF);
        if (!ok)
            return note("content differs from what was sent", s);
        if (seen_[static_cast<std::size_t>(s)])
            return note("arrived twice", s);
        seen_[static_cast<std::size_t>(s)] = true;
        if (!plan.mustArrive(s) && plan.fault != "flood")
            return note("arrived although its packet was spoiled or never sent whole", s);
        mustLeft_ -= plan.mustArrive(s);
        if (s < lastOnChannel_[f.channel])
            note("out of order on channel " + std::to_string(f.channel), s);
        lastOnChannel_[f.channel] = std::max(lastOnChannel_[f.channel], s);
    }
    bool complete() const { return mustLeft_ == 0; }

    // True once the simulator has printed its summary and ended.
    bool ended() {
        // A few milliseconds: a shorter time-out may end before the output is looked at.
        if (!ended_ && !sim.readUntil([&] { return sim.out().find("summary ") != std::string::npos; }, 5) &&
            sim.streamsOpen())
            return false;
        if (!ended_)
            sent_ = sim.summary()["sent_frames"];
        return ended_ = true;
    }

    // Once the connection is closed. One not seen to end (its connection failed) gets a few seconds more.
    void judge(int dropLines, std::uint64_t kernelDrops, Tally& tally) {
        const int status = sim.finish(5000);
        const auto problem = [&](const std::string& what) { tally.violation(plan.name() + ": " + what); };
        if (!ended() || sim.out().find("summary ") == std::string::npos)
            problem("the simulator did not end in time");
        else if (status != 0 || sanitizerReport(sim.err()))
            problem("the simulator ended with status " + std::to_string(status) + ": " + sim.err());
        for (const std::string& p : problems_)
            problem(p);
        if (problemCount_ > 3)
            problem(std::to_string(problemCount_ - 3) + " more frame problems");
        // A flood is more than a connection's cache may hold: the library must say that it cleared it.
        if (plan.fault == "flood" && plan.link != Link::Udp && dropLines == 0)
            problem("a flood without an overflow or drop line");
        for (const std::string& counter :
             {std::string("runs"), "runs " + kLinkNames[static_cast<int>(plan.link)], "fault " + plan.fault})
            tally.add(counter);
        tally.add("frames sent by devices", sent_);
        tally.add("frames received", static_cast<std::uint64_t>(received));
        const auto missing = static_cast<std::uint64_t>(mustLeft_);
        if (missing == 0 && plan.fault == "none" && dropLines == 0 && !cleared)
            tally.add("runs without fault or drop line, every frame once and in order");
        if (missing == 0)
            return tally.add("runs with every frame that must arrive, once and in order");
        // A reset discards what the device had not yet handed on: the end of the stream only.
        int firstMissing = plan.count;
        int lastSeen = -1;
        for (int s = 0; s < plan.count; ++s) {
            if (plan.mustArrive(s) && !seen_[static_cast<std::size_t>(s)])
                firstMissing = std::min(firstMissing, s);
            lastSeen = seen_[static_cast<std::size_t>(s)] ? s : lastSeen;
        }
        if (dropLines > 0)
            tally.add("frames missing, covered by drop lines", missing);
        else if (cleared)
            tally.add("frames missing after an application clear", missing);
        else if (kernelDrops > 0)
            tally.add("frames missing, covered by UDP datagrams the system dropped", missing);
        else if (plan.fault == "reset" && lastSeen < firstMissing)
            tally.add("frames lost with a reset (end of the stream)", missing);
        else
            problem(std::to_string(missing) + " frames missing (first timestamp " +
                    std::to_string(firstMissing) + ") with no drop line to explain it");
    }

    const RunPlan plan;
    SimProcess sim;
    int received = 0;
    bool cleared = false;  // by the application

  private:
    void note(const std::string& what, int s) {
        if (++problemCount_ <= 3)
            problems_.push_back(what + " (frame timestamp " + std::to_string(s) + ")");
    }

    std::vector<bool> seen_;
    std::vector<int> lastOnChannel_ = std::vector<int>(256, -1);
    int mustLeft_ = 0;
    std::vector<std::string> problems_;  // the first few
    int problemCount_ = 0;
    bool ended_ = false;
    std::uint64_t sent_ = 0;
};

// The "RcvbufErrors" column of the Udp lines.
std::uint64_t udpBufferDrops() {
    std::ifstream snmp("/proc/net/snmp");
    std::string names, values;
    while (std::getline(snmp, names) && !names.starts_with("Udp: ")) {
    }
    std::getline(snmp, values);
    std::istringstream n(names), v(values);
    for (std::string name, value; n >> name && v >> value;)
        if (name == "RcvbufErrors")
            return std::stoull(value);
    return 0;
}

void sendApplicationFrame(int handle, std::uint32_t n, Tally& tally) {
    CanFrame f{};
    f.id = 0x7F0 + n % 8;
    f.channel = static_cast<std::uint8_t>(n % 4);
    f.dataLength = 4;
    std::memcpy(f.data, &n, 4);
    QUILVANE_Send_CAN(handle, &f);
    tally.add("frames sent by the application");
}

}  // namespace

// One connection after another, to its device(s) with their faults. The
// application sends and reads (a TCP client sometimes clears midway) until
// every device has ended and every frame that must arrive has come (then a
// little longer, for frames that should not come), or nothing came for 3 s
// after the devices ended; then it closes and the frames are accounted for.
void connectionLane(const Soak& soak, Link link) {
    std::mt19937 random(soak.seed * 7919u + static_cast<std::uint32_t>(link));
    std::uint32_t id = 0x100000u * (static_cast<std::uint32_t>(link) + 1);  // apart per lane
    const bool server = link == Link::TcpServer;
    std::vector<CanFrame> buffer(1024);
    for (std::uint32_t sent = 0; soak.running();) {
        std::vector<RunPlan> plans(1, nextPlan(random, link, ++id));
        for (int more = server ? between(random, 1, 3) : 0; more > 0; --more)
            plans.push_back(nextPlan(random, link, ++id));
        std::set<int> channels;
        for (const RunPlan& p : plans)
            channels.insert(p.channels.begin(), p.channels.end());
        const std::uint16_t port = link == Link::TcpClient ? 0 : freePort(link == Link::Udp);
        const std::uint16_t local = link == Link::Udp ? freePort(true) : 0;
        const std::string what = server ? "tcp-server on port " + std::to_string(port) : plans[0].name();
        std::vector<std::unique_ptr<Device>> devices;
        const auto start = [&](const std::vector<std::string>& mode) {
            devices.push_back(std::make_unique<Device>(plans[devices.size()], mode));
        };
        OpenParams params = openParams(QUILVANE_UDP, "127.0.0.1", local, "127.0.0.1", port);
        if (server) {
            params = openParams(QUILVANE_TCP_SERVER, "", port);
        } else if (link == Link::TcpClient) {
            start({"--tcp-listen", "127.0.0.1:0"});
            params = openParams(QUILVANE_TCP_CLIENT, "", 0, "127.0.0.1", devices[0]->sim.readyPort());
            if (params.remotePort == 0) {
                soak.tally.violation(what + ": the simulator did not get ready");
                continue;
            }
        }
        const std::uint64_t kernelDropsBefore = udpBufferDrops();
        long offset = soak.log.mark(what);
        const int handle = QUILVANE_Open(&params);
        soak.tally.add("application opens");
        if (handle < 0) {
            // A device that resets at once can do so before the connect is complete.
            if (link == Link::TcpClient && plans[0].fault == "reset")
                soak.tally.add("opens failed: the device reset before the connect was complete");
            else
                soak.tally.violation(what + ": open failed");
            for (auto& d : devices)
                d->judge(0, 0, soak.tally);
            continue;
        }
        std::vector<std::string> lines = soak.log.linesSince(offset);
        // A port found free a moment before was taken meanwhile (by any lane: a false alarm costs a retry).
        if (link != Link::TcpClient && std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
                return l.find(quilvane::log_lines::kBindFailed) != std::string::npos;
            })) {
            QUILVANE_Close(handle);
            soak.tally.add("opens again: the port was taken meanwhile");
            continue;
        }
        if (link == Link::Udp)  // after the open, so that no datagram finds the port closed
            start({"--udp", "127.0.0.1:" + std::to_string(port), "--peer",
                   "127.0.0.1:" + std::to_string(local)});
        const int readHandle = link == Link::Udp ? 0 : handle;  // UDP frames are filed under handle 0
        const auto begin = Clock::now();
        auto lastFrame = begin, settledSince = Clock::time_point::max();
        std::size_t connected = 0;
        bool settled = false;
        bool clearPending = plans[0].clearMidway;
        while (!settled && Clock::now() - begin < (server ? 120s : 60s)) {
            for (std::string& line : soak.log.linesSince(offset)) {
                connected += server && numberAfter(line, quilvane::log_lines::kClientThreadStarted);
                lines.push_back(std::move(line));
            }
            // The next device once the one before has its client thread: drop lines name sockets.
            if (server && devices.size() < plans.size() && connected >= devices.size())
                start({"--tcp-connect", "127.0.0.1:" + std::to_string(port)});
            if (clearPending && devices[0]->received >= plans[0].count / 3) {
                QUILVANE_Clear_Buffer(handle);
                devices[0]->cleared = true;
                soak.tally.add("application clears midway");
                clearPending = false;
            }
            if (sent++ % 16 == 0)
                sendApplicationFrame(handle, sent, soak.tally);
            for (const int channel : channels) {
                const int n =
                    QUILVANE_Recv_CAN(readHandle, channel, buffer.data(), static_cast<int>(buffer.size()));
                if (n < 0)
                    soak.tally.violation("reading handle " + std::to_string(readHandle) +
                                         " failed while open");
                for (int i = 0; i < n; ++i) {
                    const CanFrame& f = buffer[static_cast<std::size_t>(i)];
                    const auto d = std::find_if(devices.begin(), devices.end(),
                                                [&](const auto& e) { return e->plan.id == f.id; });
                    if (d == devices.end())
                        soak.tally.violation(what + ": a frame of no running device, id " +
                                             std::to_string(f.id));
                    else
                        (*d)->receive(f);
                }
                lastFrame = n > 0 ? Clock::now() : lastFrame;
            }
            bool allEnded = devices.size() == plans.size() && (!server || connected >= plans.size());
            bool allComplete = true;
            for (auto& d : devices) {
                allEnded = d->ended() && allEnded;
                allComplete = allComplete && d->complete();
            }
            const auto now = Clock::now();
            if (allEnded && allComplete)
                settledSince = std::min(settledSince, now);
            settled = (allEnded && now - lastFrame > 3s) || now - settledSince > 300ms;
            std::this_thread::sleep_for(2ms);
        }
        if (!settled)
            soak.tally.violation(what + ": not settled in time");
        // Nothing arrives any more: clearing leaves nothing for the next owner of the number.
        QUILVANE_Clear_Buffer(readHandle);
        if (QUILVANE_Close(handle) != 0)
            soak.tally.violation(what + ": close failed");
        soak.tally.add("application closes");
        for (std::string& line : soak.log.linesSince(offset))
            lines.push_back(std::move(line));
        const std::uint64_t kernelDrops = link == Link::Udp ? udpBufferDrops() - kernelDropsBefore : 0;
        soak.tally.add("UDP datagrams dropped by the system", kernelDrops);
        const std::vector<int> drops = dropLinesPerDevice(lines, link, devices.size());
        for (std::size_t i = 0; i < devices.size(); ++i)
            devices[i]->judge(drops[i], kernelDrops, soak.tally);
    }
}

// Connections of its own as fast as it can (a TCP server nobody connects
// to, UDP towards a port nobody reads, a handle without transport),
// sending, reading and clearing on them while the others carry traffic.
void churnLane(const Soak& soak) {
    std::mt19937 random(soak.seed * 7919u + 4);
    CanFrame frames[8];
    for (std::uint32_t n = 0; soak.running(); ++n) {
        const int kind = between(random, 0, 2);
        const OpenParams params =
            kind == 0   ? openParams(QUILVANE_TCP_SERVER, "", freePort())
            : kind == 1 ? openParams(QUILVANE_UDP, "127.0.0.1", freePort(true), "127.0.0.1", freePort(true))
                        : openParams(4);  // a type without transport
        const int handle = QUILVANE_Open(&params);
        soak.tally.add("application opens");
        const std::string what = "churn: type " + std::to_string(params.type) + ": ";
        if (handle < 0) {
            soak.tally.violation(what + "open failed");
            continue;
        }
        for (int i = between(random, 0, 5); i > 0; --i)
            sendApplicationFrame(handle, n, soak.tally);
        // No frame is ever sent to these connections: UDP frames go to handle 0.
        if (QUILVANE_Recv_CAN(handle, between(random, 0, 3), frames, 8) != 0)
            soak.tally.violation(what + "a frame arrived on a connection nobody sends to");
        QUILVANE_Clear_Buffer(handle);
        QUILVANE_Clear_Send_Buffer(handle);
        QUILVANE_Get_Send_Queue_Size(handle);
        const int closed = QUILVANE_Close(handle);
        soak.tally.add("application closes");
        if (closed != (kind == 2 ? -1 : 0))
            soak.tally.violation(what + "close gave " + std::to_string(closed));
        std::this_thread::sleep_for(std::chrono::milliseconds(between(random, 0, 50)));
    }
}

// Searches and probes against responders on the device side of the private
// network's two adapters, with a reply fault that changes now and then.
void discoveryLane(const Soak& soak) {
    std::mt19937 random(soak.seed * 7919u + 3);
    const char* const faults[] = {"none",    "none",  "wrong-id",       "bad-crc",
                                  "bad-xor", "short", "malformed-json", "oversized-json"};
    const std::uint8_t addresses[2][4] = {{198, 51, 100, 2}, {198, 51, 100, 130}};  // on qa1, qb1
    const std::uint8_t ids[2][6] = {{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x01},
                                    {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x02}};
    std::vector<DeviceInfo> infos(QUILVANE_MAX_SEARCH_RESULTS);
    std::vector<PelixDeviceRecord> pelix(QUILVANE_MAX_SEARCH_RESULTS);
    while (soak.running()) {
        std::vector<std::unique_ptr<SimProcess>> sims;
        std::string fault[2];
        for (int d = 0; d < 2; ++d) {
            fault[d] = faults[between(random, 0, 7)];
            soak.tally.add("reply fault " + fault[d]);
            sims.push_back(std::make_unique<SimProcess>(std::vector<std::string>{
                "--respond", "search-json,search-pelix,probe-pelix,probe-vci", "--device",
                d == 0 ? "qa1" : "qb1", "--device-id", d == 0 ? "001A2B3C4D01" : "001A2B3C4D02",
                "--reply-fault", fault[d], "--reply-count", std::to_string(between(random, 1, 3)),
                "--duration", "60"}));
            if (sims.back()->ready().empty())
                soak.tally.violation("responder " + std::to_string(d) + " did not get ready");
        }
        for (int round = 0; round < 6 && soak.running(); ++round) {
            const int found = QUILVANE_Search(infos.data());
            const int foundPelix = QUILVANE_SearchPELIX(pelix.data());
            if (std::min(found, foundPelix) < 0 || std::max(found, foundPelix) > QUILVANE_MAX_SEARCH_RESULTS)
                soak.tally.violation("a search gave " + std::to_string(found) + " and " +
                                     std::to_string(foundPelix));
            soak.tally.add("searches", 2);
            soak.tally.add("search results",
                           static_cast<std::uint64_t>(std::max(found, 0) + std::max(foundPelix, 0)));
            for (int d = 0; d < 2; ++d) {
                const int vci = QUILVANE_ProbeVCIDevice(ids[d], addresses[d], 100);
                const int pel = QUILVANE_ProbePELIXDevice(ids[d], addresses[d], 100);
                soak.tally.add("probes", 2);
                soak.tally.add("probes answered", (vci == 1) + (pel == 1));
                // Replies that are never valid for the probe sent.
                if (vci == 1 &&
                    std::set<std::string>{"wrong-id", "bad-crc", "bad-xor", "short"}.contains(fault[d]))
                    soak.tally.violation("a VCI probe took a reply with fault " + fault[d] + " as an answer");
                if (vci < 0 || pel < 0)
                    soak.tally.violation("a probe failed: " + std::to_string(vci) + " " +
                                         std::to_string(pel));
            }
        }
        for (int d = 0; d < 2; ++d) {
            SimProcess& sim = *sims[static_cast<std::size_t>(d)];
            sim.interrupt(SIGTERM);
            if (const int status = sim.finish(5000); status != 0 || sanitizerReport(sim.err()))
                soak.tally.violation("responder with reply fault " + fault[d] + " ended with status " +
                                     std::to_string(status) + ": " + sim.err());
        }
    }
}
