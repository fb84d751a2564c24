#include "tcp_server_lane.h"

#include <map>
#include <memory>

#include "drop_lines.h"
#include "open_params.h"
#include "run_schedule.h"
#include "sim_device.h"
#include "test_wire.h"

namespace {

// The server's lines name a device by its socket. A device is started only
// once the one before has its client thread, so the k-th "Client thread
// started" line is the k-th device's. A socket number comes back once its
// device has ended, and the chunks that device left queued are processed
// later still: a line covers every device that had its number.
std::vector<LossCover> coversBySocket(const std::vector<std::string>& lines, std::size_t devices) {
    std::vector<LossCover> covers(devices);
    std::multimap<long, std::size_t> devicesOf;
    std::size_t started = 0;
    for (const std::string& line : lines) {
        if (const auto socket = clientThreadStarted(line); socket && started < devices) {
            devicesOf.emplace(*socket, started++);
        } else if (const auto drop = dropLine(line); drop && drop->socket) {
            const auto [first, last] = devicesOf.equal_range(*drop->socket);
            for (auto it = first; it != last; ++it)
                ++covers[it->second].dropLines;
        }
    }
    return covers;
}

}  // namespace

void tcpServerLane(const SoakContext& context) {
    RunSchedule schedule(context.seed, 1);
    std::uint32_t sent = 0;
    while (context.running()) {
        const std::uint16_t port = freePort();
        const long from = context.log.mark("tcp server on port " + std::to_string(port));
        const OpenParams params = openParams(QUILVANE_TCP_SERVER, "", port);
        const int handle = QUILVANE_Open(&params);
        context.tally.add("application opens");
        if (handle < 0) {
            context.tally.violation("tcp server on port " + std::to_string(port) + ": open failed");
            continue;
        }
        if (bindFailedSince(context.log, from)) {
            QUILVANE_Close(handle);
            context.tally.add("opens again: the port was taken meanwhile");
            continue;
        }
        const std::size_t count = static_cast<std::size_t>(schedule.between(2, 4));
        std::vector<std::unique_ptr<SimDevice>> devices;
        std::vector<SimDevice*> started;
        FrameReader reader(handle, context.tally);
        LogTail tail(context.log, from);
        std::vector<std::string> lines;
        std::size_t connected = 0;
        auto waitingSince = SoakClock::now();
        const bool settled = readUntilSettled(
            reader, started,
            [&] {
                for (std::string& line : tail.newLines()) {
                    connected += clientThreadStarted(line).has_value();
                    lines.push_back(std::move(line));
                }
                if (devices.size() < count && connected >= devices.size()) {
                    const std::string to = "127.0.0.1:" + std::to_string(port);
                    devices.push_back(std::make_unique<SimDevice>(
                        schedule.next(Link::TcpServer), std::vector<std::string>{"--tcp-connect", to}));
                    started.push_back(devices.back().get());
                    reader.add(devices.back()->run());
                    waitingSince = SoakClock::now();
                } else if (connected < devices.size() &&
                           SoakClock::now() - waitingSince > std::chrono::seconds(20)) {
                    context.tally.violation(devices.back()->run().plan().describe() + ": never connected");
                    connected = devices.size();  // judged as it is
                }
                if (sent++ % 16 == 0) {
                    const CanFrame f = applicationFrame(sent);
                    QUILVANE_Send_CAN(handle, &f);
                    context.tally.add("frames sent by the application");
                }
                return devices.size() == count && connected >= count;
            },
            std::chrono::seconds(120));
        if (!settled)
            context.tally.violation("tcp server on port " + std::to_string(port) +
                                    ": not settled within 120 s");
        QUILVANE_Clear_Buffer(handle);
        if (QUILVANE_Close(handle) != 0)
            context.tally.violation("tcp server on port " + std::to_string(port) + ": close failed");
        context.tally.add("application closes");
        for (std::string& line : tail.newLines())
            lines.push_back(std::move(line));
        const std::vector<LossCover> covers = coversBySocket(lines, devices.size());
        for (std::size_t i = 0; i < devices.size(); ++i)
            devices[i]->judge(covers[i], context.tally);
    }
}
