#include "discovery_lane.h"

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "quilvane_sdk.h"
#include "run_schedule.h"
#include "sim_process.h"

namespace {

struct Device {
    const char* interface;
    std::uint8_t address[4];
    std::uint8_t id[6];
    const char* hexId;
};

const Device kDevices[2] = {
    {"qa1", {198, 51, 100, 2}, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x01}, "001A2B3C4D01"},
    {"qb1", {198, 51, 100, 130}, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x02}, "001A2B3C4D02"}};

// Replies that are never valid for the probe sent.
bool spoilsVciReply(const std::string& fault) {
    return fault == "wrong-id" || fault == "bad-crc" || fault == "bad-xor" || fault == "short";
}

void endResponder(SimProcess& sim, const std::string& fault, SoakTally& tally) {
    sim.interrupt(SIGTERM);
    const int status = sim.finish(5000);
    if (status != 0)
        tally.violation("responder with reply fault " + fault + " ended with status " +
                        std::to_string(status));
    if (sim.err().find("Sanitizer") != std::string::npos ||
        sim.err().find("runtime error") != std::string::npos)
        tally.violation("sanitizer report from a responder: " + sim.err());
}

}  // namespace

void discoveryLane(const SoakContext& context) {
    RunSchedule schedule(context.seed, 3);
    const std::vector<std::string> faults = {"none",    "none",  "wrong-id",       "bad-crc",
                                             "bad-xor", "short", "malformed-json", "oversized-json"};
    std::vector<DeviceInfo> infos(QUILVANE_MAX_SEARCH_RESULTS);
    std::vector<PelixDeviceRecord> pelix(QUILVANE_MAX_SEARCH_RESULTS);
    while (context.running()) {
        std::vector<std::unique_ptr<SimProcess>> sims;
        std::string fault[2];
        for (int d = 0; d < 2; ++d) {
            fault[d] = schedule.pick(faults);
            context.tally.add("reply fault " + fault[d]);
            sims.push_back(std::make_unique<SimProcess>(std::vector<std::string>{
                "--respond", "search-json,search-pelix,probe-pelix,probe-vci", "--device",
                kDevices[d].interface, "--device-id", kDevices[d].hexId, "--reply-fault", fault[d],
                "--reply-count", std::to_string(schedule.between(1, 3)), "--duration", "60"}));
            if (sims.back()->ready().empty())
                context.tally.violation(std::string("responder on ") + kDevices[d].interface +
                                        " did not get ready");
        }
        for (int round = 0; round < 6 && context.running(); ++round) {
            const int found = QUILVANE_Search(infos.data());
            const int foundPelix = QUILVANE_SearchPELIX(pelix.data());
            if (found < 0 || found > QUILVANE_MAX_SEARCH_RESULTS || foundPelix < 0 ||
                foundPelix > QUILVANE_MAX_SEARCH_RESULTS)
                context.tally.violation("a search gave " + std::to_string(found) + " and " +
                                        std::to_string(foundPelix));
            context.tally.add("searches", 2);
            context.tally.add("search results",
                              static_cast<std::uint64_t>(std::max(found, 0) + std::max(foundPelix, 0)));
            for (int d = 0; d < 2; ++d) {
                const int vci = QUILVANE_ProbeVCIDevice(kDevices[d].id, kDevices[d].address, 100);
                const int pel = QUILVANE_ProbePELIXDevice(kDevices[d].id, kDevices[d].address, 100);
                context.tally.add("probes", 2);
                context.tally.add("probes answered", (vci == 1) + (pel == 1));
                if (vci == 1 && spoilsVciReply(fault[d]))
                    context.tally.violation("a VCI probe took a reply with fault " + fault[d] +
                                            " as an answer");
                if (vci < 0 || pel < 0)
                    context.tally.violation("a probe failed: " + std::to_string(vci) + " " +
                                            std::to_string(pel));
            }
        }
        for (int d = 0; d < 2; ++d)
            endResponder(*sims[static_cast<std::size_t>(d)], fault[d], context.tally);
    }
}
