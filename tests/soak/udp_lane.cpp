#include "udp_lane.h"

#include <fstream>
#include <sstream>

#include "open_params.h"
#include "run_schedule.h"
#include "sim_device.h"
#include "test_wire.h"

namespace {

// The "RcvbufErrors" column of the Udp lines.
std::uint64_t udpBufferDrops() {
    std::ifstream snmp("/proc/net/snmp");
    std::string names;
    std::string values;
    while (std::getline(snmp, names) && !names.starts_with("Udp: "))
        continue;
    std::getline(snmp, values);
    std::istringstream n(names);
    std::istringstream v(values);
    std::string name;
    std::string value;
    while (n >> name && v >> value)
        if (name == "RcvbufErrors")
            return std::stoull(value);
    return 0;
}

}  // namespace

void udpLane(const SoakContext& context) {
    RunSchedule schedule(context.seed, 2);
    std::uint32_t sent = 0;
    while (context.running()) {
        const RunPlan plan = schedule.next(Link::Udp);
        const std::uint16_t local = freePort(true);
        const std::uint16_t remote = freePort(true);
        const std::uint64_t dropsBefore = udpBufferDrops();
        const long from = context.log.mark("udp run " + plan.describe());
        const OpenParams params = openParams(QUILVANE_UDP, "127.0.0.1", local, "127.0.0.1", remote);
        const int handle = QUILVANE_Open(&params);
        context.tally.add("application opens");
        if (handle < 0) {
            context.tally.violation(plan.describe() + ": open failed");
            continue;
        }
        if (bindFailedSince(context.log, from)) {
            QUILVANE_Close(handle);
            context.tally.add("opens again: the port was taken meanwhile");
            continue;
        }
        // Started after the open, so that no datagram finds the port closed.
        SimDevice device(plan, {"--udp", "127.0.0.1:" + std::to_string(remote), "--peer",
                                "127.0.0.1:" + std::to_string(local)});
        FrameReader reader(0, context.tally);
        reader.add(device.run());
        const bool settled = readUntilSettled(
            reader, {&device},
            [&] {
                if (sent++ % 16 == 0) {
                    const CanFrame f = applicationFrame(sent);
                    QUILVANE_Send_CAN(handle, &f);
                    context.tally.add("frames sent by the application");
                }
                return true;
            },
            std::chrono::seconds(60));
        if (!settled)
            context.tally.violation(plan.describe() + ": not settled within 60 s");
        QUILVANE_Clear_Buffer(0);
        if (QUILVANE_Close(handle) != 0)
            context.tally.violation(plan.describe() + ": close failed");
        context.tally.add("application closes");
        LossCover cover;
        cover.kernelDrops = udpBufferDrops() - dropsBefore;
        context.tally.add("UDP datagrams dropped by the system", cover.kernelDrops);
        device.judge(cover, context.tally);
    }
}
