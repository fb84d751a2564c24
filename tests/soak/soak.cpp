// The soak: simulators with seeded faults against a TCP client, a TCP server
// (two to four devices at once) and UDP, every frame they send checked; an
// application thread opening and closing connections of its own; searches
// and probes on the private network. After the given time every frame must
// be accounted for, threads and descriptors back to where they were.
// scripts/soak.sh runs it in a private network namespace:
//
//   quilvane_soak SECONDS SEED LOG 3>&1 >>LOG 2>&1
//
// The report goes to descriptor 3. Exit status 0 when every check held, 1 on
// a violation, 2 on bad arguments.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "common/log_lines.h"
#include "open_params.h"
#include "process_counts.h"
#include "sim_process.h"
#include "test_wire.h"

namespace {

using namespace std::chrono_literals;
using namespace quilvane::log_lines;
using Clock = std::chrono::steady_clock;

// Counts for the summary and the violations found, from every lane.
struct Tally {
    void add(const std::string& counter, std::uint64_t amount = 1) {
        std::lock_guard lock(mutex);
        counts[counter] += amount;
    }
    void violation(const std::string& what) {
        std::lock_guard lock(mutex);
        violations.push_back(what);
    }
    std::mutex mutex;
    std::map<std::string, std::uint64_t> counts;
    std::vector<std::string> violations;
} tally;

std::uint32_t seed;
Clock::time_point deadline;  // no run starts after it
int logFile = -1;            // the library's standard output and error, read back

bool running() {
    return Clock::now() < deadline;
}

int between(std::mt19937& random, int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
}

// Writes "soak: TEXT" into the log; the offset after it.
long mark(const std::string& text) {
    const std::string line = "soak: " + text + "\n";
    struct stat info {};
    return write(1, line.data(), line.size()) < 0 || fstat(logFile, &info) != 0 ? 0 : info.st_size;
}

// Appends the whole lines from `offset` on and moves past them (a line still
// being written comes next time).
void readLines(long& offset, std::vector<std::string>& into) {
    struct stat info {};
    fstat(logFile, &info);
    std::string text(static_cast<std::size_t>(std::max(0L, info.st_size - offset)), '\0');
    text.resize(static_cast<std::size_t>(std::max(0L, pread(logFile, text.data(), text.size(), offset))));
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        into.push_back(text.substr(start, end - start));
    offset += static_cast<long>(start);
}

std::optional<long> numberAfter(const std::string& line, const std::string& prefix) {
    char* end = nullptr;
    const long n = std::strtol(line.c_str() + std::min(prefix.size(), line.size()), &end, 10);
    return line.starts_with(prefix) && end != line.c_str() + prefix.size() ? std::optional(n) : std::nullopt;
}

// A line that tells of lost received bytes: -1, or for a TCP server the device's socket.
std::optional<long> dropLine(const std::string& line) {
    for (const auto& [whole, ofDevice] : {std::pair(kQueueFullDroppingData, kQueueFullDroppingDataFromClient),
                                          std::pair(kCacheOverflow, kCacheOverflowForClient)}) {
        if (line == whole)
            return -1;
        if (const auto socket = numberAfter(line, ofDevice))
            return socket;
    }
    return std::nullopt;
}

enum class Link { TcpClient, TcpServer, Udp };
const std::string kLinkNames[3] = {"tcp-client", "tcp-server", "udp"};

// How many of a connection's lines cover each of its devices, in the order
// they started. A TCP client's lines name no device: only the lane's one
// device runs. A server's name a device by its socket; a device is started
// only once the one before has its client thread, so the k-th "Client thread
// started" line is the k-th device's. A socket number comes back once its
// device has ended, and the chunks that device left queued are processed
// later still: a line covers every device that had its number. UDP has none.
std::vector<int> dropLinesPerDevice(const std::vector<std::string>& log, Link link, std::size_t devices) {
    std::vector<int> covers(devices);
    std::multimap<long, std::size_t> devicesOf;
    for (const std::string& line : log) {
        const auto drop = dropLine(line);
        if (link == Link::TcpClient && drop == -1)
            for (int& c : covers)
                ++c;
        if (link != Link::TcpServer)
            continue;
        if (const auto socket = numberAfter(line, kClientThreadStarted); socket && devicesOf.size() < devices)
            devicesOf.emplace(*socket, devicesOf.size());
        else if (drop && *drop >= 0)
            for (auto [it, last] = devicesOf.equal_range(*drop); it != last; ++it)
                ++covers[it->second];
    }
    return covers;
}

// "" when the simulator ended well.
std::string simFailure(SimProcess& sim) {
    const int status = sim.finish(5000);
    const std::string& err = sim.err();
    return status == 0 && err.find("Sanitizer") == std::string::npos &&
                   err.find("runtime error") == std::string::npos
               ? ""
               : "ended with status " + std::to_string(status) + ": " + err;
}

// One device of a connection: its seeded run, the simulator that plays it
// (started when the lane says), and its frames as the application reads
// them, each checked against what the simulator generates for its
// timestamp, for duplicates and for order per channel.
struct Device {
    // The same seed gives the same runs; only timing differs.
    Device(std::mt19937& random, Link link, std::uint32_t id) : link(link) {
        const auto r = [&](int low, int high) { return between(random, low, high); };
        const char* const faults[] = {"none",         "none",  "cut",   "byte-at-a-time", "bad-sync",
                                      "bad-checksum", "flood", "reset", "close"};
        fault = faults[r(0, link == Link::Udp ? 6 : 8)];  // no reset or close on UDP
        // A byte at a time costs a write per byte: fewer frames, paced. UDP at
        // once would overrun the socket's buffer: that is not what is tested.
        const bool slow = fault == "byte-at-a-time";
        count = slow ? r(20, 200) : r(50, 3000);
        const int rates[] = {0, 1000, 5000, 20000};
        int rate = rates[r(0, 3)];
        if (slow || (link == Link::Udp && rate == 0))
            rate = 1000;
        std::string list;
        for (int c = 0; c < 8; ++c)
            if (r(0, 3) == 0)
                channels.push_back(c);
        if (channels.empty())
            channels.push_back(r(0, 7));
        for (const int c : channels)
            list += (list.empty() ? "" : ",") + std::to_string(c);
        const char* const records[] = {"classic", "fd", "mixed"};
        record = records[r(0, 2)];
        const int perPackets[] = {1, 1, 2, 3, 7};
        perPacket = perPackets[r(0, 4)];
        dataLength = r(0, 64);
        faultAt = r(1, (count + perPacket - 1) / perPacket);
        // id: the only identifier it sends, which tells its frames apart. The
        // duration is long enough for a flood's pause and a slow start; the
        // simulator ends once it has sent all.
        std::ostringstream o;
        o << "--generate " << count << " --rate " << rate << " --channels " << list << " --ids " << id << '-'
          << id << " --record " << record << " --records-per-packet " << perPacket << " --data-length "
          << dataLength << " --fault " << fault << " --fault-at " << faultAt << " --seed " << r(1, 1 << 30)
          << " --duration " << 20 + (rate > 0 ? count / rate : 0);
        name = kLinkNames[static_cast<int>(link)] + " " + o.str();
        options = o.str();
        clearMidway = link == Link::TcpClient && r(0, 9) == 0;
        seen.resize(static_cast<std::size_t>(count));
        for (int s = 0; s < count; ++s)
            mustLeft += mustArrive(s);
    }

    void start(std::vector<std::string> args) {
        std::istringstream words(options);
        for (std::string w; words >> w;)
            args.push_back(w);
        sim = std::make_unique<SimProcess>(args);
    }

    // Frame s (timestamp s) of packet p, unless a drop line, a clear or a kernel drop explains its loss.
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

    void receive(const CanFrame& f) {
        ++received;
        const int s = static_cast<int>(std::min<std::uint64_t>(f.timestamp, 1u << 30));
        bool ok = s < count && f.flags == (s & 0xFFFF) &&
                  f.channel == channels[static_cast<std::size_t>(s) % channels.size()] &&
                  ((record != "classic" && f.dataLength == dataLength) ||
                   (record != "fd" && f.dataLength == std::min(dataLength, 8)));
        for (int i = 0; ok && i < f.dataLength; ++i)
            ok = f.data[i] == ((s + i) & 0xFF);
        if (!ok)
            return problem("content differs from what was sent", s);
        if (seen[static_cast<std::size_t>(s)])
            return problem("arrived twice", s);
        seen[static_cast<std::size_t>(s)] = true;
        if (!mustArrive(s))
            return problem("arrived although its packet was spoiled or never sent whole", s);
        --mustLeft;
        if (s < lastOnChannel[f.channel])
            problem("out of order on channel " + std::to_string(f.channel), s);
        lastOnChannel[f.channel] = std::max(lastOnChannel[f.channel], s);
    }
    // The first few of a run.
    void problem(const std::string& what, int s = -1) {
        if (s < 0 || ++problems <= 3)
            tally.violation(name + ": " + what +
                            (s < 0 ? "" : " (frame timestamp " + std::to_string(s) + ")"));
    }

    // True once the simulator has printed its summary and ended.
    bool ended() {
        // A few milliseconds: a shorter time-out may end before the output is looked at.
        return sim && (sim->readUntil([&] { return sim->out().find("summary ") != std::string::npos; }, 5) ||
                       !sim->streamsOpen());
    }

    // Once the connection is closed. One not seen to end (its connection failed) gets a few seconds more.
    void judge(int dropLines, std::uint64_t kernelDrops) {
        const std::string failure = sim ? simFailure(*sim) : "";
        if (!sim || sim->out().find("summary ") == std::string::npos)
            problem("the simulator did not end in time");
        else if (!failure.empty())
            problem("the simulator " + failure);
        // A flood is more than a connection's cache may hold: the library must say that it cleared it.
        if (fault == "flood" && link != Link::Udp && dropLines == 0)
            problem("a flood without an overflow or drop line");
        tally.add("runs " + kLinkNames[static_cast<int>(link)]);
        tally.add("runs with fault " + fault);
        tally.add("frames received", static_cast<std::uint64_t>(received));
        if (mustLeft == 0)
            return;
        // A reset discards what the device had not yet handed on: the end of the stream only.
        int firstMissing = count;
        int lastSeen = -1;
        for (int s = 0; s < count; ++s) {
            if (mustArrive(s) && !seen[static_cast<std::size_t>(s)])
                firstMissing = std::min(firstMissing, s);
            lastSeen = seen[static_cast<std::size_t>(s)] ? s : lastSeen;
        }
        if (dropLines > 0 || cleared || kernelDrops > 0 || (fault == "reset" && lastSeen < firstMissing))
            tally.add("frames missing, explained by a drop line, a clear, the system or a reset",
                      static_cast<std::uint64_t>(mustLeft));
        else
            problem(std::to_string(mustLeft) + " frames missing (first timestamp " +
                    std::to_string(firstMissing) + ") with no drop line to explain it");
    }

    const Link link;
    int count, perPacket, dataLength, faultAt;
    std::vector<int> channels;
    std::string record, fault, options, name;
    bool clearMidway;  // the application clears the handle's queues once
    std::unique_ptr<SimProcess> sim;
    std::vector<bool> seen;
    std::vector<int> lastOnChannel = std::vector<int>(256, -1);
    int mustLeft = 0, received = 0, problems = 0;
    bool cleared = false;  // by the application
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

void sendApplicationFrame(int handle, std::uint32_t n) {
    const CanFrame f = makeFrame(0x7F0 + n % 8, {std::uint8_t(n), 0, 0, 0}, static_cast<std::uint8_t>(n % 4));
    QUILVANE_Send_CAN(handle, &f);
    tally.add("frames sent by the application");
}

// One connection after another, to its device(s) with their faults. The
// application sends and reads (a TCP client sometimes clears midway) until
// every device has ended and every frame that must arrive has come (then a
// little longer, for frames that should not come), or nothing came for 3 s
// after the devices ended; then it closes and the frames are accounted for.
void connectionLane(Link link) {
    std::mt19937 random(seed * 7919u + static_cast<std::uint32_t>(link));
    std::uint32_t id = 0x100000u * (static_cast<std::uint32_t>(link) + 1);  // apart per lane
    const bool server = link == Link::TcpServer, udp = link == Link::Udp;
    std::vector<CanFrame> buffer(1024);
    for (std::uint32_t sent = 0; running();) {
        std::vector<std::unique_ptr<Device>> devices;
        const std::uint32_t firstId = id + 1;
        for (int n = server ? between(random, 2, 4) : 1; n > 0; --n)
            devices.push_back(std::make_unique<Device>(random, link, ++id));
        std::set<int> channels;
        for (const auto& d : devices)
            channels.insert(d->channels.begin(), d->channels.end());
        const std::uint16_t port = link == Link::TcpClient ? 0 : freePort(udp);
        const std::uint16_t local = udp ? freePort(true) : 0;
        const std::string what = server ? "tcp-server on port " + std::to_string(port) : devices[0]->name;
        OpenParams params = server ? openParams(QUILVANE_TCP_SERVER, "", port)
                                   : openParams(QUILVANE_UDP, "127.0.0.1", local, "127.0.0.1", port);
        if (link == Link::TcpClient) {
            devices[0]->start({"--tcp-listen", "127.0.0.1:0"});
            params = openParams(QUILVANE_TCP_CLIENT, "", 0, "127.0.0.1", devices[0]->sim->readyPort());
            if (params.remotePort == 0) {
                tally.violation(what + ": the simulator did not get ready");
                continue;
            }
        }
        const std::uint64_t kernelDropsBefore = udpBufferDrops();
        long offset = mark(what);
        const int handle = QUILVANE_Open(&params);
        if (handle < 0) {
            // A device that resets at once can do so before the connect is complete.
            if (link != Link::TcpClient || devices[0]->fault != "reset")
                tally.violation(what + ": open failed");
            for (auto& d : devices)
                d->judge(0, 0);
            continue;
        }
        std::vector<std::string> lines;
        readLines(offset, lines);
        // A port found free a moment before was taken meanwhile (by any lane: a false alarm costs a retry).
        if (link != Link::TcpClient && std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
                return l.find(kBindFailed) != std::string::npos;
            })) {
            QUILVANE_Close(handle);
            tally.add("opens again: the port was taken meanwhile");
            continue;
        }
        std::size_t started = link == Link::TcpClient;
        if (udp && ++started)  // after the open, so that no datagram finds the port closed
            devices[0]->start({"--udp", "127.0.0.1:" + std::to_string(port), "--peer",
                               "127.0.0.1:" + std::to_string(local)});
        const int readHandle = udp ? 0 : handle;  // UDP frames are filed under handle 0
        const auto begin = Clock::now();
        auto lastFrame = begin, settledSince = Clock::time_point::max();
        bool settled = false, clearPending = devices[0]->clearMidway;
        while (!settled && Clock::now() - begin < (server ? 120s : 60s)) {
            readLines(offset, lines);
            const auto connected =
                static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
                    return numberAfter(l, kClientThreadStarted).has_value();
                }));
            // The next device once the one before has its client thread: drop lines name sockets.
            if (server && started < devices.size() && connected >= started)
                devices[started++]->start({"--tcp-connect", "127.0.0.1:" + std::to_string(port)});
            if (clearPending && devices[0]->received >= devices[0]->count / 3) {
                QUILVANE_Clear_Buffer(handle);
                devices[0]->cleared = true;
                clearPending = false;
                tally.add("application clears midway");
            }
            if (sent++ % 16 == 0)
                sendApplicationFrame(handle, sent);
            for (const int channel : channels) {
                const int n = QUILVANE_Recv_CAN(readHandle, channel, buffer.data(), 1024);
                if (n < 0)
                    tally.violation(what + ": reading failed while open");
                for (int i = 0; i < n; ++i) {
                    const CanFrame& f = buffer[static_cast<std::size_t>(i)];
                    if (const std::size_t d = f.id - firstId; d < devices.size())
                        devices[d]->receive(f);
                    else
                        tally.violation(what + ": a frame of no running device, id " + std::to_string(f.id));
                }
                lastFrame = n > 0 ? Clock::now() : lastFrame;
            }
            bool allEnded = !server || connected >= devices.size();
            bool allComplete = true;
            for (auto& d : devices) {
                allEnded = d->ended() && allEnded;
                allComplete = allComplete && d->mustLeft == 0;
            }
            const auto now = Clock::now();
            if (allEnded && allComplete)
                settledSince = std::min(settledSince, now);
            settled = (allEnded && now - lastFrame > 3s) || now - settledSince > 300ms;
            std::this_thread::sleep_for(2ms);
        }
        if (!settled)
            tally.violation(what + ": not settled in time");
        // Nothing arrives any more: clearing leaves nothing for the next owner of the number.
        QUILVANE_Clear_Buffer(readHandle);
        if (QUILVANE_Close(handle) != 0)
            tally.violation(what + ": close failed");
        readLines(offset, lines);
        const std::uint64_t kernelDrops = udp ? udpBufferDrops() - kernelDropsBefore : 0;
        tally.add("UDP datagrams dropped by the system", kernelDrops);
        const std::vector<int> drops = dropLinesPerDevice(lines, link, devices.size());
        for (std::size_t i = 0; i < devices.size(); ++i)
            devices[i]->judge(drops[i], kernelDrops);
    }
}

// Connections of its own as fast as it can (a TCP server nobody connects
// to, UDP towards a port nobody reads, a handle without transport),
// sending, reading and clearing on them while the others carry traffic.
void churnLane() {
    std::mt19937 random(seed * 7919u + 4);
    CanFrame frames[8];
    for (std::uint32_t n = 0; running(); ++n) {
        const int kind = between(random, 0, 2);
        const OpenParams params =
            kind == 0   ? openParams(QUILVANE_TCP_SERVER, "", freePort())
            : kind == 1 ? openParams(QUILVANE_UDP, "127.0.0.1", freePort(true), "127.0.0.1", freePort(true))
                        : openParams(4);  // a type without transport
        const int handle = QUILVANE_Open(&params);
        const std::string what = "churn: type " + std::to_string(params.type) + ": ";
        if (handle < 0) {
            tally.violation(what + "open failed");
            continue;
        }
        for (int i = between(random, 0, 5); i > 0; --i)
            sendApplicationFrame(handle, n);
        // No frame is ever sent to these connections: UDP frames go to handle 0.
        if (QUILVANE_Recv_CAN(handle, between(random, 0, 3), frames, 8) != 0)
            tally.violation(what + "a frame arrived on a connection nobody sends to");
        QUILVANE_Clear_Buffer(handle);
        QUILVANE_Clear_Send_Buffer(handle);
        QUILVANE_Get_Send_Queue_Size(handle);
        if (const int closed = QUILVANE_Close(handle); closed != (kind == 2 ? -1 : 0))
            tally.violation(what + "close gave " + std::to_string(closed));
        tally.add("churn opens and closes");
        std::this_thread::sleep_for(std::chrono::milliseconds(between(random, 0, 50)));
    }
}

// Searches and probes against responders on the device side of the private
// network's two adapters, with a reply fault that changes now and then.
void discoveryLane() {
    std::mt19937 random(seed * 7919u + 3);
    const char* const faults[] = {"none",    "none",  "wrong-id",       "bad-crc",
                                  "bad-xor", "short", "malformed-json", "oversized-json"};
    const std::set<std::string> neverAnswers = {"wrong-id", "bad-crc", "bad-xor", "short"};  // a VCI probe
    const std::uint8_t addresses[2][4] = {{198, 51, 100, 2}, {198, 51, 100, 130}};           // on qa1, qb1
    std::vector<DeviceInfo> infos(QUILVANE_MAX_SEARCH_RESULTS);
    std::vector<PelixDeviceRecord> pelix(QUILVANE_MAX_SEARCH_RESULTS);
    while (running()) {
        std::optional<SimProcess> sims[2];
        std::string fault[2];
        for (int d = 0; d < 2; ++d) {
            fault[d] = faults[between(random, 0, 7)];
            sims[d].emplace(std::vector<std::string>{
                "--respond", "search-json,search-pelix,probe-pelix,probe-vci", "--device",
                d == 0 ? "qa1" : "qb1", "--device-id", "001A2B3C4D0" + std::to_string(d + 1), "--reply-fault",
                fault[d], "--reply-count", std::to_string(between(random, 1, 3)), "--duration", "60"});
            if (sims[d]->ready().empty())
                tally.violation("responder " + std::to_string(d) + " did not get ready");
        }
        for (int round = 0; round < 6 && running(); ++round) {
            const int found = QUILVANE_Search(infos.data());
            const int foundPelix = QUILVANE_SearchPELIX(pelix.data());
            if (std::min(found, foundPelix) < 0 || std::max(found, foundPelix) > QUILVANE_MAX_SEARCH_RESULTS)
                tally.violation("a search gave " + std::to_string(found) + " and " +
                                std::to_string(foundPelix));
            tally.add("searches", 2);
            for (int d = 0; d < 2; ++d) {
                const std::uint8_t id[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, static_cast<std::uint8_t>(d + 1)};
                const int vci = QUILVANE_ProbeVCIDevice(id, addresses[d], 100);
                const int pel = QUILVANE_ProbePELIXDevice(id, addresses[d], 100);
                tally.add("probes answered, of two each round", (vci == 1) + (pel == 1));
                if (vci < 0 || pel < 0 || (vci == 1 && neverAnswers.contains(fault[d])))
                    tally.violation("probes of a responder with reply fault " + fault[d] + " gave " +
                                    std::to_string(vci) + " (VCI) and " + std::to_string(pel));
            }
        }
        for (int d = 0; d < 2; ++d) {
            sims[d]->interrupt(SIGTERM);
            if (const std::string failure = simFailure(*sims[d]); !failure.empty())
                tally.violation("responder with reply fault " + fault[d] + " " + failure);
        }
    }
}

void report(const std::string& line) {
    if (write(3, (line + "\n").data(), line.size() + 1) < 0)
        return;
}

struct Resources {
    std::size_t threads = threadCount();
    std::size_t descriptors = descriptorCount();
    bool operator==(const Resources&) const = default;
    std::string text() const {
        return std::to_string(threads) + " threads and " + std::to_string(descriptors) + " descriptors";
    }
};

// Threads that were joined or ended can stay listed a moment longer.
Resources settledTo(const Resources& expected) {
    Resources now;
    for (int i = 0; i < 100 && now != expected; ++i) {
        std::this_thread::sleep_for(20ms);
        now = Resources();
    }
    return now;
}

}  // namespace

int main(int argc, char** argv) {
    // Appended, so that each write lands whole at the end whatever thread makes it.
    if (argc != 4 || std::atoi(argv[1]) <= 0 || (logFile = open(argv[3], O_RDONLY | O_CLOEXEC)) < 0) {
        std::fprintf(stderr, "usage: %s SECONDS SEED LOG 3>&1 >>LOG 2>&1\n", argv[0]);
        return 2;
    }
    const int seconds = std::atoi(argv[1]);
    seed = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
    deadline = Clock::now() + std::chrono::seconds(seconds);
    setenv("QUILVANE_SIM", QUILVANE_SOAK_SIM, 0);
    const char* network = std::getenv("QUILVANE_NETWORK");
    const bool searches = network != nullptr && std::string(network) == "two-adapters";
    report("soak: seed " + std::to_string(seed) + ", " + std::to_string(seconds) + " s, log " + argv[3] +
           (searches ? "" : "; no private network: no searches or probes"));

    const Resources before;
    QUILVANE_Init();
    // Handle 0, without transport, for the whole run: UDP frames are filed
    // under handle 0, so no other connection may have that number.
    const OpenParams placeholder = openParams(0);
    if (QUILVANE_Open(&placeholder) != 0) {
        report("soak: FAILED: the first handle is not 0");
        return 1;
    }
    const Resources started;
    std::vector<std::thread> lanes;
    for (const Link link : {Link::TcpClient, Link::TcpServer, Link::Udp})
        lanes.emplace_back(connectionLane, link);
    lanes.emplace_back(churnLane);
    if (searches)
        lanes.emplace_back(discoveryLane);
    for (std::thread& t : lanes)
        t.join();

    const Resources closed = settledTo(started);
    QUILVANE_Close(0);
    QUILVANE_Exit();
    const Resources after = settledTo(before);
    for (const auto& [when, expected, now] :
         {std::tuple("after the last close", started, closed), std::tuple("after exit", before, after)})
        if (now != expected)
            tally.violation(std::string(when) + ": " + now.text() + ", started with " + expected.text());
    long offset = 0;
    std::vector<std::string> lines;
    readLines(offset, lines);
    for (const std::string& line : lines)
        if (dropLine(line))
            tally.add(line.starts_with(kQueueFullDroppingData) ? "queue-full lines" : "cache-overflow lines");

    report("soak: summary, seed " + std::to_string(seed) + "; " + before.text() + " at the start, " +
           started.text() + " with the library started");
    for (const auto& [name, value] : tally.counts)
        report("  " + name + ": " + std::to_string(value));
    for (std::size_t i = 0; i < tally.violations.size() && i < 30; ++i)
        report("  VIOLATION: " + tally.violations[i]);
    report(tally.violations.empty()
               ? "soak: PASSED"
               : "soak: FAILED: " + std::to_string(tally.violations.size()) + " violations");
    return tally.violations.empty() ? 0 : 1;
}
